// Something that sends a message to a target when invoked: the base of
// menu items and controls.
#ifndef _INVOKER_H
#define _INVOKER_H

#include <Messenger.h>

class BHandler;
class BLooper;

class BInvoker
{
public:
    BInvoker();
    // The invoker owns the message.
    BInvoker(BMessage* message, const BHandler* handler, const BLooper* looper = nullptr);
    BInvoker(BMessage* message, BMessenger target);
    virtual ~BInvoker();

    BInvoker(const BInvoker&) = delete;
    BInvoker& operator=(const BInvoker&) = delete;

    virtual status_t SetMessage(BMessage* message);
    BMessage* Message() const { return fMessage; }
    uint32 Command() const;

    virtual status_t SetTarget(const BHandler* handler, const BLooper* looper = nullptr);
    virtual status_t SetTarget(BMessenger messenger);
    bool IsTargetLocal() const { return true; }
    BHandler* Target(BLooper** looper = nullptr) const;
    BMessenger Messenger() const { return fMessenger; }

    // Sends a copy of the message (or of the one given) with "when" and
    // "source" added.
    virtual status_t Invoke(BMessage* message = nullptr);

protected:
    // What every Invoke comes down to: sends a copy of the message (or of
    // the invoker's own) with "when" and "source" added to target.
    status_t _InvokeTo(BMessage* message, const BMessenger& target);

private:
    BMessage* fMessage;
    BMessenger fMessenger;
};

#endif // _INVOKER_H
