#include <Handler.h>
#include <TokenSpace.h>

#include <limits>
#include <unordered_map>

namespace {

struct Slot
{
    BHandler* handler;
    BLooper* looper; // the same object, once it is known to be a looper
};

std::mutex sLock;
std::unordered_map<int32, Slot> sSlots;
// Tokens are never reused while the program runs: a stale one stays stale.
int32 sNextToken = 1;

} // namespace

std::mutex& TokenSpace::Lock()
{
    return sLock;
}

int32 TokenSpace::Add(BHandler* handler)
{
    std::lock_guard<std::mutex> guard(sLock);
    if (sNextToken == std::numeric_limits<int32>::max())
        return kNullToken; // two thousand million handlers: such a one is unreachable
    int32 token = sNextToken++;
    sSlots.emplace(token, Slot{handler, nullptr});
    return token;
}

void TokenSpace::Remove(int32 token)
{
    sSlots.erase(token);
}

void TokenSpace::SetLooper(int32 token, BLooper* looper)
{
    std::lock_guard<std::mutex> guard(sLock);
    auto it = sSlots.find(token);
    if (it != sSlots.end())
        it->second.looper = looper;
}

BHandler* TokenSpace::HandlerFor(int32 token)
{
    auto it = sSlots.find(token);
    return it != sSlots.end() ? it->second.handler : nullptr;
}

BLooper* TokenSpace::LooperFor(int32 token)
{
    auto it = sSlots.find(token);
    return it != sSlots.end() ? it->second.looper : nullptr;
}

int32 TokenSpace::TokenOf(const BHandler* handler)
{
    return handler->fToken;
}

BLooper* TokenSpace::LooperOf(const BHandler* handler)
{
    return handler->fLooper;
}

void TokenSpace::SetLooperOf(BHandler* handler, BLooper* looper)
{
    handler->fLooper = looper;
}
