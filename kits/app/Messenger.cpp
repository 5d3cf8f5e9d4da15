#include <LooperPrivate.h>
#include <Messenger.h>

BMessenger::BMessenger() : fLooperToken(kNullToken), fHandlerToken(kNullToken) {}

BMessenger::BMessenger(const BHandler* handler, const BLooper* looper, status_t* result)
    : fLooperToken(kNullToken), fHandlerToken(kNullToken)
{
    status_t status = B_BAD_VALUE;
    if (handler != nullptr) {
        std::lock_guard<std::mutex> guard(TokenSpace::Lock());
        BLooper* owner = TokenSpace::LooperOf(handler);
        if (owner != nullptr && (looper == nullptr || looper == owner)) {
            fLooperToken = TokenSpace::TokenOf(owner);
            if (handler != owner)
                fHandlerToken = TokenSpace::TokenOf(handler);
            status = B_OK;
        } else {
            status = B_MISMATCHED_VALUES;
        }
    } else if (looper != nullptr) {
        fLooperToken = TokenSpace::TokenOf(looper);
        status = B_OK;
    }
    if (result != nullptr)
        *result = status;
}

bool BMessenger::IsValid() const
{
    std::lock_guard<std::mutex> guard(TokenSpace::Lock());
    return TokenSpace::LooperFor(fLooperToken) != nullptr;
}

BHandler* BMessenger::Target(BLooper** looper) const
{
    std::lock_guard<std::mutex> guard(TokenSpace::Lock());
    BLooper* owner = TokenSpace::LooperFor(fLooperToken);
    BHandler* handler = owner;
    if (owner != nullptr && fHandlerToken != kNullToken) {
        handler = TokenSpace::HandlerFor(fHandlerToken);
        if (handler != nullptr && TokenSpace::LooperOf(handler) != owner)
            handler = nullptr;
    }
    if (looper != nullptr)
        *looper = owner;
    return handler;
}

status_t BMessenger::SendMessage(uint32 command) const
{
    BMessage message(command);
    return SendMessage(&message);
}

status_t BMessenger::SendMessage(BMessage* message, BHandler*) const
{
    if (message == nullptr)
        return B_BAD_VALUE;
    if (fLooperToken == kNullToken)
        return B_BAD_PORT_ID;
    return BLooper::Private::PostTo(fLooperToken, fHandlerToken, *message);
}
