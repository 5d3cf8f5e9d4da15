#ifndef _LOOPER_PRIVATE_H
#define _LOOPER_PRIVATE_H

#include <Looper.h>
#include <TokenSpace.h>

#include <QEvent>
#include <QObject>

#include <deque>
#include <memory>
#include <mutex>

// One object on the GUI thread turns posted events into dispatches for every
// looper, whichever thread built the looper or posts to it.
class LooperDispatcher : public QObject
{
public:
    bool event(QEvent* event) override;
};

struct BLooper::Private
{
    struct Entry
    {
        std::unique_ptr<BMessage> message;
        int32 handlerToken; // kNullToken: the looper itself
    };

    static Private* Of(BLooper* looper) { return looper->fPrivate; }

    // The caller holds TokenSpace::Lock().
    status_t Enqueue(const BMessage& message, int32 handlerToken);
    static void ForgetHandler(BLooper* looper, BHandler* handler);
    static status_t PostTo(int32 looperToken, int32 handlerToken, const BMessage& message);

    void Drain();

    BLooper* owner = nullptr;
    int32 token = kNullToken;
    std::vector<BHandler*> handlers; // under TokenSpace::Lock()
    std::mutex queueLock;
    std::deque<Entry> queue;
    std::recursive_mutex lock;
    int32 lockCount = 0;
    int32 depth = 0; // handlers running now, nested loops included
    bool deleteWhenIdle = false;
};

#endif // _LOOPER_PRIVATE_H
