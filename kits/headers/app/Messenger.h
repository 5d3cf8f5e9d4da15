// Sends messages to a handler of a looper. It names both by token, so it is
// safe to keep after either is gone: sending then fails with B_BAD_PORT_ID
// when the looper has ended and B_BAD_HANDLER when the handler has ended or
// left the looper. Any thread may send.
#ifndef _MESSENGER_H
#define _MESSENGER_H

#include <Message.h>

class BHandler;
class BLooper;

class BMessenger
{
public:
    BMessenger();
    BMessenger(const BHandler* handler, const BLooper* looper = nullptr,
               status_t* result = nullptr);
    BMessenger(const BMessenger& other) = default;
    BMessenger& operator=(const BMessenger& other) = default;

    bool IsValid() const;
    bool IsTargetLocal() const { return true; }
    // On the GUI thread only: another thread may not keep what this returns.
    BHandler* Target(BLooper** looper) const;
    status_t SendMessage(uint32 command) const;
    status_t SendMessage(BMessage* message, BHandler* replyTo = nullptr) const;

    bool operator==(const BMessenger& other) const
    {
        return fLooperToken == other.fLooperToken && fHandlerToken == other.fHandlerToken;
    }

private:
    int32 fLooperToken;
    int32 fHandlerToken; // the looper's own handling when it has none
};

#endif // _MESSENGER_H
