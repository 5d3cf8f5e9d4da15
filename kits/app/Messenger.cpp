#include <Looper.h>
#include <Messenger.h>

BMessenger::BMessenger() : fLooperSerial(0), fHandler(nullptr) {}

BMessenger::BMessenger(const BHandler* handler, const BLooper* looper, status_t* result)
    : fLooperSerial(0), fHandler(nullptr)
{
    status_t status = B_BAD_VALUE;
    if (handler != nullptr) {
        BLooper* owner = handler->Looper();
        if (owner != nullptr && (looper == nullptr || looper == owner)) {
            fLooperSerial = owner->_Serial();
            fHandler = handler == owner ? nullptr : const_cast<BHandler*>(handler);
            status = B_OK;
        } else {
            status = B_MISMATCHED_VALUES;
        }
    } else if (looper != nullptr) {
        fLooperSerial = looper->_Serial();
        status = B_OK;
    }
    if (result != nullptr)
        *result = status;
}

bool BMessenger::IsValid() const
{
    return fLooperSerial != 0 && BLooper::_LooperForSerial(fLooperSerial) != nullptr;
}

BHandler* BMessenger::Target(BLooper** looper) const
{
    BLooper* owner = BLooper::_LooperForSerial(fLooperSerial);
    if (looper != nullptr)
        *looper = owner;
    if (owner == nullptr)
        return nullptr;
    return fHandler != nullptr ? fHandler : owner;
}

status_t BMessenger::SendMessage(uint32 command) const
{
    BMessage message(command);
    return SendMessage(&message);
}

status_t BMessenger::SendMessage(BMessage* message, BHandler*) const
{
    if (fLooperSerial == 0)
        return B_BAD_PORT_ID;
    return BLooper::_PostToSerial(fLooperSerial, message, fHandler);
}
