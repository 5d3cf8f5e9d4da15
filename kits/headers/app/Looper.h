// A message queue and the handlers it delivers to. Every looper's messages
// run on the GUI thread's event loop, whichever thread constructed the looper
// or posts to it, one at a time and in order; a message posted while a
// handler runs (even inside a nested loop such as a modal alert) waits until
// that handler returns. Loopers are deleted on the GUI thread.
#ifndef _LOOPER_H
#define _LOOPER_H

#include <Handler.h>
#include <Message.h>

#include <vector>

class BLooper : public BHandler
{
public:
    explicit BLooper(const char* name = nullptr);
    virtual ~BLooper();

    // The message is copied; the caller keeps its own.
    status_t PostMessage(uint32 command);
    status_t PostMessage(BMessage* message, BHandler* handler = nullptr);

    virtual void DispatchMessage(BMessage* message, BHandler* handler);
    virtual void MessageReceived(BMessage* message);
    virtual bool QuitRequested();
    virtual void Quit();
    virtual thread_id Run();

    void AddHandler(BHandler* handler);
    bool RemoveHandler(BHandler* handler);
    int32 CountHandlers() const;
    BHandler* HandlerAt(int32 index) const;
    bool HasHandler(const BHandler* handler) const;

    int32 CountQueuedMessages() const;

    bool Lock();
    void Unlock();
    bool IsLocked() const;

    struct Private;

protected:
    // Deletes the looper once the message being handled has returned.
    void _DeleteWhenIdle();

private:
    friend struct Private;

    Private* fPrivate;
};

#endif // _LOOPER_H
