#include <Handler.h>
#include <LooperPrivate.h>
#include <TokenSpace.h>

#include <cstdlib>
#include <cstring>

BHandler::BHandler(const char* name) : fName(nullptr), fToken(kNullToken), fLooper(nullptr)
{
    SetName(name);
    fToken = TokenSpace::Add(this);
}

BHandler::~BHandler()
{
    // Once the token is gone no messenger reaches this handler, and a looper
    // must neither list it nor deliver what is still queued for it. A looper
    // has cleared its own link before this runs.
    {
        std::lock_guard<std::mutex> guard(TokenSpace::Lock());
        if (fLooper != nullptr)
            BLooper::Private::ForgetHandler(fLooper, this);
        TokenSpace::Remove(fToken);
    }
    std::free(fName);
}

BLooper* BHandler::Looper() const
{
    std::lock_guard<std::mutex> guard(TokenSpace::Lock());
    return fLooper;
}

void BHandler::MessageReceived(BMessage* message)
{
    // The end of the class chain: on to the next handler, or dropped.
    if (fNextHandler != nullptr)
        fNextHandler->MessageReceived(message);
}

void BHandler::SetNextHandler(BHandler* handler)
{
    // A loop would pass an unknown message round for ever.
    for (BHandler* h = handler; h != nullptr; h = h->fNextHandler)
        if (h == this)
            return;
    fNextHandler = handler;
}

const char* BHandler::Name() const
{
    return fName;
}

void BHandler::SetName(const char* name)
{
    std::free(fName);
    fName = name != nullptr ? strdup(name) : nullptr;
}
