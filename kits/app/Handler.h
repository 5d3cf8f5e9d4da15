// Receives messages from a looper. The app kit's issue fleshes this out.
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
    BLooper* Looper() const { return fLooper; }

private:
    friend class BLooper;

    char* fName;
    BLooper* fLooper;
};

#endif // _HANDLER_H
