// Sends messages to a handler of a looper; safe to keep after the looper is
// gone (sending then fails with B_BAD_PORT_ID).
#ifndef _MESSENGER_H
#define _MESSENGER_H

#include <Message.h>

class BHandler;
class BLooper;

enum
{
    B_BAD_PORT_ID = B_GENERAL_ERROR_BASE + 0x2000
};

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
    BHandler* Target(BLooper** looper) const;
    status_t SendMessage(uint32 command) const;
    status_t SendMessage(BMessage* message, BHandler* replyTo = nullptr) const;

    bool operator==(const BMessenger& other) const
    {
        return fLooperSerial == other.fLooperSerial && fHandler == other.fHandler;
    }

private:
    uint32 fLooperSerial;
    BHandler* fHandler; // null: the looper's own handling
};

#endif // _MESSENGER_H
