#include <Handler.h>

#include <cstdlib>
#include <cstring>

BHandler::BHandler(const char* name) : fName(nullptr), fLooper(nullptr)
{
    SetName(name);
}

BHandler::~BHandler()
{
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
