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

void BHandler::MessageReceived(BMessage*)
{
    // The end of every handler chain: an unknown message is dropped.
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
