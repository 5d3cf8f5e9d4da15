#include <LooperPrivate.h>
#include <Messenger.h>

#include <QCoreApplication>

#include <algorithm>
#include <map>

namespace {

std::mutex sRegistryLock;
std::map<uint32, BLooper*> sLoopers;
uint32 sNextSerial = 1;

} // namespace

const QEvent::Type LooperProxy::kDrainEvent =
    static_cast<QEvent::Type>(QEvent::registerEventType());

bool LooperProxy::event(QEvent* event)
{
    if (event->type() != kDrainEvent)
        return QObject::event(event);
    fLooper->fPrivate->Drain();
    return true;
}

void BLooper::Private::ScheduleDrain()
{
    if (QCoreApplication::instance() != nullptr)
        QCoreApplication::postEvent(proxy.get(), new QEvent(LooperProxy::kDrainEvent));
}

// Handles one message, then asks for another turn if more are queued, so that
// other loopers and painting get their share of the event loop.
void BLooper::Private::Drain()
{
    if (depth > 0 || deleteWhenIdle)
        return; // the running handler's return drains the rest
    Entry entry;
    {
        std::lock_guard<std::mutex> guard(queueLock);
        if (queue.empty())
            return;
        entry = std::move(queue.front());
        queue.pop_front();
    }
    BHandler* handler = entry.handler != nullptr ? entry.handler : owner;
    if (handler != owner && !owner->HasHandler(handler)) {
        ScheduleDrain();
        return; // its handler left the looper after the post
    }
    depth++;
    BMessage* previous = current;
    current = entry.message.get();
    owner->Lock();
    owner->DispatchMessage(entry.message.get(), handler);
    owner->Unlock();
    current = previous;
    depth--;
    if (deleteWhenIdle && depth == 0) {
        delete owner;
        return;
    }
    std::lock_guard<std::mutex> guard(queueLock);
    if (!queue.empty())
        ScheduleDrain();
}

BLooper::BLooper(const char* name) : BHandler(name), fPrivate(new Private)
{
    fPrivate->owner = this;
    fPrivate->proxy = std::make_unique<LooperProxy>(this);
    fLooper = this;
    {
        std::lock_guard<std::mutex> guard(sRegistryLock);
        fPrivate->serial = sNextSerial++;
        sLoopers[fPrivate->serial] = this;
    }
    AddHandler(this);
}

BLooper::~BLooper()
{
    {
        std::lock_guard<std::mutex> guard(sRegistryLock);
        sLoopers.erase(fPrivate->serial);
    }
    for (BHandler* handler : fPrivate->handlers)
        handler->fLooper = nullptr;
    delete fPrivate;
}

status_t BLooper::PostMessage(uint32 command)
{
    BMessage message(command);
    return PostMessage(&message);
}

status_t BLooper::PostMessage(BMessage* message, BHandler* handler)
{
    if (message == nullptr)
        return B_BAD_VALUE;
    if (handler != nullptr && handler != this && handler->Looper() != this)
        return B_MISMATCHED_VALUES;
    if (QCoreApplication::instance() == nullptr)
        return B_NO_INIT;
    bool first;
    {
        std::lock_guard<std::mutex> guard(fPrivate->queueLock);
        first = fPrivate->queue.empty();
        fPrivate->queue.push_back({std::make_unique<BMessage>(*message), handler});
    }
    if (first)
        fPrivate->ScheduleDrain();
    return B_OK;
}

void BLooper::DispatchMessage(BMessage* message, BHandler* handler)
{
    if (message->what == B_QUIT_REQUESTED && handler == this) {
        if (QuitRequested())
            Quit();
        return;
    }
    handler->MessageReceived(message);
}

void BLooper::MessageReceived(BMessage* message)
{
    BHandler::MessageReceived(message);
}

bool BLooper::QuitRequested()
{
    return true;
}

void BLooper::Quit()
{
    _DeleteWhenIdle();
}

thread_id BLooper::Run()
{
    return 0; // messages already run on the GUI thread's loop
}

void BLooper::_DeleteWhenIdle()
{
    if (fPrivate->depth > 0)
        fPrivate->deleteWhenIdle = true;
    else
        delete this;
}

void BLooper::AddHandler(BHandler* handler)
{
    if (handler == nullptr || HasHandler(handler))
        return;
    if (handler->fLooper != nullptr && handler->fLooper != this)
        handler->fLooper->RemoveHandler(handler);
    {
        std::lock_guard<std::mutex> guard(fPrivate->handlersLock);
        fPrivate->handlers.push_back(handler);
    }
    handler->fLooper = this;
}

bool BLooper::RemoveHandler(BHandler* handler)
{
    if (handler == this)
        return false;
    {
        std::lock_guard<std::mutex> guard(fPrivate->handlersLock);
        auto& list = fPrivate->handlers;
        auto it = std::find(list.begin(), list.end(), handler);
        if (it == list.end())
            return false;
        list.erase(it);
    }
    handler->fLooper = nullptr;
    return true;
}

int32 BLooper::CountHandlers() const
{
    std::lock_guard<std::mutex> guard(fPrivate->handlersLock);
    return static_cast<int32>(fPrivate->handlers.size());
}

BHandler* BLooper::HandlerAt(int32 index) const
{
    std::lock_guard<std::mutex> guard(fPrivate->handlersLock);
    if (index < 0 || size_t(index) >= fPrivate->handlers.size())
        return nullptr;
    return fPrivate->handlers[size_t(index)];
}

bool BLooper::HasHandler(const BHandler* handler) const
{
    std::lock_guard<std::mutex> guard(fPrivate->handlersLock);
    auto& list = fPrivate->handlers;
    return std::find(list.begin(), list.end(), handler) != list.end();
}

BMessage* BLooper::CurrentMessage() const
{
    return fPrivate->current;
}

int32 BLooper::CountQueuedMessages() const
{
    std::lock_guard<std::mutex> guard(fPrivate->queueLock);
    return static_cast<int32>(fPrivate->queue.size());
}

bool BLooper::Lock()
{
    fPrivate->lock.lock();
    fPrivate->lockCount++;
    return true;
}

void BLooper::Unlock()
{
    if (fPrivate->lockCount == 0)
        return;
    fPrivate->lockCount--;
    fPrivate->lock.unlock();
}

bool BLooper::IsLocked() const
{
    return fPrivate->lockCount > 0;
}

uint32 BLooper::_Serial() const
{
    return fPrivate->serial;
}

BLooper* BLooper::_LooperForSerial(uint32 serial)
{
    std::lock_guard<std::mutex> guard(sRegistryLock);
    auto it = sLoopers.find(serial);
    return it != sLoopers.end() ? it->second : nullptr;
}

status_t BLooper::_PostToSerial(uint32 serial, BMessage* message, BHandler* handler)
{
    // Held across the post: a looper ending on the GUI thread waits in its
    // destructor instead of freeing the queue under this post.
    std::lock_guard<std::mutex> guard(sRegistryLock);
    auto it = sLoopers.find(serial);
    if (it == sLoopers.end())
        return B_BAD_PORT_ID;
    BLooper* looper = it->second;
    if (handler != nullptr && !looper->HasHandler(handler))
        return B_BAD_HANDLER;
    return looper->PostMessage(message, handler);
}
