// A message queue and the handlers it delivers to. Every looper's messages
// run on the GUI thread's event loop, one at a time and in order; a message
// posted while a handler runs (even inside a nested loop such as a modal
// alert) waits until that handler returns.
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

    BMessage* CurrentMessage() const;
    int32 CountQueuedMessages() const;

    bool Lock();
    void Unlock();
    bool IsLocked() const;

    // A live looper's serial number; 0 is never used.
    uint32 _Serial() const;
    static BLooper* _LooperForSerial(uint32 serial);
    // Posts to the live looper with that serial, which cannot end meanwhile:
    // B_BAD_PORT_ID when it is gone, B_BAD_HANDLER when handler left it.
    static status_t _PostToSerial(uint32 serial, BMessage* message, BHandler* handler);

    struct Private;

protected:
    // Deletes the looper once the message being handled has returned.
    void _DeleteWhenIdle();

private:
    friend struct Private;
    friend class LooperProxy;

    Private* fPrivate;
};

#endif // _LOOPER_H
