#ifndef _APPLICATION_H
#define _APPLICATION_H

#include <Looper.h>

#include <vector>

class BWindow;

class BApplication : public BLooper
{
public:
    explicit BApplication(const char* signature);
    BApplication(const char* signature, status_t* error);
    virtual ~BApplication();

    status_t InitCheck() const;
    const char* Signature() const;

    // Runs the message loop until Quit(); returns when the application ends.
    virtual thread_id Run();
    virtual void Quit();
    virtual bool QuitRequested();
    virtual void ReadyToRun();
    virtual void MessageReceived(BMessage* message);

    int32 CountWindows() const;
    BWindow* WindowAt(int32 index) const;

    struct Private;

private:
    // Every window alive, in creation order: the application kit keeps the
    // list, the interface kit's windows enter and leave it.
    friend std::vector<BWindow*>& window_list();
    static std::vector<BWindow*>& _WindowList();

    void _SetIdentity();

    Private* fPrivate;
};

extern BApplication* be_app;

#endif // _APPLICATION_H
