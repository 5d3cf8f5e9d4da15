// Receives messages from a looper.
#ifndef _HANDLER_H
#define _HANDLER_H

#include <SupportDefs.h>

class BLooper;
class BMessage;

class BHandler
{
public:
    explicit BHandler(const char* name = nullptr);
    virtual ~BHandler();

    BHandler(const BHandler&) = delete;
    BHandler& operator=(const BHandler&) = delete;

    virtual void MessageReceived(BMessage* message);

    const char* Name() const;
    void SetName(const char* name);
    BLooper* Looper() const;

    // A message nobody along the class chain handles goes on to the next
    // handler, when one is set.
    void SetNextHandler(BHandler* handler);
    BHandler* NextHandler() const { return fNextHandler; }

private:
    friend struct TokenSpace;

    char* fName;
    int32 fToken;
    BLooper* fLooper;
    BHandler* fNextHandler = nullptr;
};

#endif // _HANDLER_H
