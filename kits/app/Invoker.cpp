#include <Handler.h>
#include <Invoker.h>
#include <Looper.h>
#include <OS.h>

BInvoker::BInvoker() : fMessage(nullptr) {}

BInvoker::BInvoker(BMessage* message, const BHandler* handler, const BLooper* looper)
    : fMessage(message)
{
    SetTarget(handler, looper);
}

BInvoker::BInvoker(BMessage* message, BMessenger target) : fMessage(message), fMessenger(target) {}

BInvoker::~BInvoker()
{
    delete fMessage;
}

status_t BInvoker::SetMessage(BMessage* message)
{
    if (message == fMessage)
        return B_OK;
    delete fMessage;
    fMessage = message;
    return B_OK;
}

uint32 BInvoker::Command() const
{
    return fMessage != nullptr ? fMessage->what : 0;
}

status_t BInvoker::SetTarget(const BHandler* handler, const BLooper* looper)
{
    status_t status = B_OK;
    fMessenger = handler == nullptr && looper == nullptr ? BMessenger()
                                                         : BMessenger(handler, looper, &status);
    if (status != B_OK)
        fMessenger = BMessenger();
    return status;
}

status_t BInvoker::SetTarget(BMessenger messenger)
{
    fMessenger = messenger;
    return B_OK;
}

BHandler* BInvoker::Target(BLooper** looper) const
{
    return fMessenger.Target(looper);
}

status_t BInvoker::_InvokeTo(BMessage* message, const BMessenger& target)
{
    if (message == nullptr)
        message = fMessage;
    if (message == nullptr)
        return B_BAD_VALUE;
    BMessage copy(*message);
    copy.AddInt64("when", system_time());
    // The whole object, not this base: a control is a view first, and the
    // receiver reads the pointer back as one.
    copy.AddPointer("source", dynamic_cast<const void*>(this));
    return target.SendMessage(&copy);
}

status_t BInvoker::Invoke(BMessage* message)
{
    return _InvokeTo(message, fMessenger);
}
