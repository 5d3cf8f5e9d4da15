#include <LooperPrivate.h>
#include <Messenger.h>

#include <QCoreApplication>

#include <algorithm>

namespace {

// Asks the dispatcher to run one message of the looper with that token.
class DrainEvent : public QEvent
{
public:
    explicit DrainEvent(int32 looperToken) : QEvent(kType), looper(looperToken) {}

    static const QEvent::Type kType;
    const int32 looper;
};

const QEvent::Type DrainEvent::kType = static_cast<QEvent::Type>(QEvent::registerEventType());

// A lock of its own, taken last: a drain asks for the next turn while it
// holds its queue.
std::mutex sDispatcherLock;
LooperDispatcher* sDispatcher = nullptr;

// Runs in the application's destructor, on the GUI thread.
void drop_dispatcher()
{
    LooperDispatcher* dispatcher;
    {
        std::lock_guard<std::mutex> guard(sDispatcherLock);
        dispatcher = sDispatcher;
        sDispatcher = nullptr;
    }
    delete dispatcher;
}

// The caller holds sDispatcherLock; null without an application.
LooperDispatcher* dispatcher_locked()
{
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr)
        return nullptr;
    if (sDispatcher == nullptr) {
        // Built on whatever thread posts first, then handed to the GUI
        // thread, where every looper's messages run.
        sDispatcher = new LooperDispatcher;
        sDispatcher->moveToThread(application->thread());
        qAddPostRoutine(drop_dispatcher);
    }
    return sDispatcher;
}

// Posting is safe from any thread; the event runs on the dispatcher's.
void schedule_drain(int32 looperToken)
{
    std::lock_guard<std::mutex> guard(sDispatcherLock);
    if (LooperDispatcher* dispatcher = dispatcher_locked())
        QCoreApplication::postEvent(dispatcher, new DrainEvent(looperToken));
}

} // namespace

bool LooperDispatcher::event(QEvent* event)
{
    if (event->type() != DrainEvent::kType)
        return QObject::event(event);
    BLooper* looper;
    {
        std::lock_guard<std::mutex> guard(TokenSpace::Lock());
        looper = TokenSpace::LooperFor(static_cast<DrainEvent*>(event)->looper);
    }
    // Loopers end on this thread only, so one found here stays for the call.
    if (looper != nullptr)
        BLooper::Private::Of(looper)->Drain();
    return true;
}

status_t BLooper::Private::Enqueue(const BMessage& message, int32 handlerToken)
{
    if (QCoreApplication::instance() == nullptr)
        return B_NO_INIT;
    bool first;
    {
        std::lock_guard<std::mutex> guard(queueLock);
        first = queue.empty();
        queue.push_back({std::make_unique<BMessage>(message), handlerToken});
    }
    if (first)
        schedule_drain(token);
    return B_OK;
}

void BLooper::Private::ForgetHandler(BLooper* looper, BHandler* handler)
{
    auto& list = looper->fPrivate->handlers;
    list.erase(std::remove(list.begin(), list.end(), handler), list.end());
    TokenSpace::SetLooperOf(handler, nullptr);
}

status_t BLooper::Private::PostTo(int32 looperToken, int32 handlerToken, const BMessage& message)
{
    // Held across the post: neither the looper nor the handler can end on
    // the GUI thread while this looks at them.
    std::lock_guard<std::mutex> guard(TokenSpace::Lock());
    BLooper* looper = TokenSpace::LooperFor(looperToken);
    if (looper == nullptr)
        return B_BAD_PORT_ID;
    if (handlerToken != kNullToken) {
        BHandler* handler = TokenSpace::HandlerFor(handlerToken);
        if (handler == nullptr || TokenSpace::LooperOf(handler) != looper)
            return B_BAD_HANDLER;
    }
    return looper->fPrivate->Enqueue(message, handlerToken);
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
    BHandler* handler = owner;
    if (entry.handlerToken != kNullToken) {
        std::lock_guard<std::mutex> guard(TokenSpace::Lock());
        handler = TokenSpace::HandlerFor(entry.handlerToken);
        if (handler != nullptr && TokenSpace::LooperOf(handler) != owner)
            handler = nullptr;
    }
    if (handler == nullptr) {
        schedule_drain(token);
        return; // its handler left the looper, or ended, after the post
    }
    depth++;
    owner->Lock();
    owner->DispatchMessage(entry.message.get(), handler);
    owner->Unlock();
    depth--;
    if (deleteWhenIdle && depth == 0) {
        delete owner;
        return;
    }
    std::lock_guard<std::mutex> guard(queueLock);
    if (!queue.empty())
        schedule_drain(token);
}

BLooper::BLooper(const char* name) : BHandler(name), fPrivate(new Private)
{
    fPrivate->owner = this;
    fPrivate->token = TokenSpace::TokenOf(this);
    AddHandler(this);
    TokenSpace::SetLooper(fPrivate->token, this);
}

BLooper::~BLooper()
{
    {
        // From here on no messenger finds the looper or its handlers.
        std::lock_guard<std::mutex> guard(TokenSpace::Lock());
        TokenSpace::Remove(fPrivate->token);
        for (BHandler* handler : fPrivate->handlers)
            TokenSpace::SetLooperOf(handler, nullptr);
        fPrivate->handlers.clear();
    }
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
    std::lock_guard<std::mutex> guard(TokenSpace::Lock());
    int32 handlerToken = kNullToken;
    if (handler != nullptr && handler != this) {
        if (TokenSpace::LooperOf(handler) != this)
            return B_MISMATCHED_VALUES;
        handlerToken = TokenSpace::TokenOf(handler);
    }
    return fPrivate->Enqueue(*message, handlerToken);
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
    if (handler == nullptr)
        return;
    std::lock_guard<std::mutex> guard(TokenSpace::Lock());
    BLooper* previous = TokenSpace::LooperOf(handler);
    if (previous == this)
        return;
    if (previous != nullptr)
        Private::ForgetHandler(previous, handler);
    fPrivate->handlers.push_back(handler);
    TokenSpace::SetLooperOf(handler, this);
}

bool BLooper::RemoveHandler(BHandler* handler)
{
    if (handler == nullptr || handler == this)
        return false;
    std::lock_guard<std::mutex> guard(TokenSpace::Lock());
    if (TokenSpace::LooperOf(handler) != this)
        return false;
    Private::ForgetHandler(this, handler);
    return true;
}

int32 BLooper::CountHandlers() const
{
    std::lock_guard<std::mutex> guard(TokenSpace::Lock());
    return static_cast<int32>(fPrivate->handlers.size());
}

BHandler* BLooper::HandlerAt(int32 index) const
{
    std::lock_guard<std::mutex> guard(TokenSpace::Lock());
    if (index < 0 || size_t(index) >= fPrivate->handlers.size())
        return nullptr;
    return fPrivate->handlers[size_t(index)];
}

bool BLooper::HasHandler(const BHandler* handler) const
{
    // Searched by address: the handler may be one that has ended.
    std::lock_guard<std::mutex> guard(TokenSpace::Lock());
    auto& list = fPrivate->handlers;
    return std::find(list.begin(), list.end(), handler) != list.end();
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
