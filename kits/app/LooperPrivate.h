#ifndef _LOOPER_PRIVATE_H
#define _LOOPER_PRIVATE_H

#include <Looper.h>

#include <QEvent>
#include <QObject>

#include <deque>
#include <memory>
#include <mutex>

// Lives on the GUI thread and turns posted events into dispatches.
class LooperProxy : public QObject
{
public:
    explicit LooperProxy(BLooper* looper) : fLooper(looper) {}
    bool event(QEvent* event) override;

    static const QEvent::Type kDrainEvent;

private:
    BLooper* fLooper;
};

struct BLooper::Private
{
    struct Entry
    {
        std::unique_ptr<BMessage> message;
        BHandler* handler; // null: the looper itself
    };

    void ScheduleDrain();
    void Drain();

    BLooper* owner = nullptr;
    uint32 serial = 0;
    std::mutex handlersLock; // messengers check the list from other threads
    std::vector<BHandler*> handlers;
    std::mutex queueLock;
    std::deque<Entry> queue;
    std::recursive_mutex lock;
    int32 lockCount = 0;
    int32 depth = 0; // handlers running now, nested loops included
    bool deleteWhenIdle = false;
    BMessage* current = nullptr;
    std::unique_ptr<LooperProxy> proxy;
};

#endif // _LOOPER_PRIVATE_H
