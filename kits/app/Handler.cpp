#include <Handler.h>
#include <Looper.h>

#include <cstdlib>
#include <cstring>

BHandler::BHandler(const char* name) : fName(nullptr), fLooper(nullptr)
{
    SetName(name);
}

BHandler::~BHandler()
{
    // A looper must not keep (and deliver to) a handler that is gone; a
    // looper clears fLooper on itself before this runs.
    if (fLooper != nullptr && fLooper != this)
        fLooper->RemoveHandler(this);
    std::free(fName);
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
