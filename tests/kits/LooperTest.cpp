#include "AppEnvironment.h"

#include <Handler.h>
#include <Looper.h>
#include <Messenger.h>

#include <QEventLoop>
#include <QMetaObject>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Log
{
    std::vector<std::string> entries;
    int running = 0;
    int overlaps = 0;
};

class RecordingHandler : public BHandler
{
public:
    RecordingHandler(const char* name, Log* log) : BHandler(name), fLog(log) {}

    void MessageReceived(BMessage* message) override
    {
        if (fLog->running++ > 0)
            fLog->overlaps++;
        int32 n = -1;
        message->FindInt32("n", &n);
        fLog->entries.push_back(std::string(Name()) + ":" + std::to_string(n));
        if (hook)
            hook(message);
        fLog->running--;
    }

    std::function<void(BMessage*)> hook;

private:
    Log* fLog;
};

class RecordingLooper : public BLooper
{
public:
    explicit RecordingLooper(Log* log) : BLooper("looper"), fSelf("looper", log) {}
    void MessageReceived(BMessage* message) override { fSelf.MessageReceived(message); }

private:
    RecordingHandler fSelf;
};

status_t post(BLooper* looper, int32 n, BHandler* handler)
{
    BMessage message('TEST');
    message.AddInt32("n", n);
    return looper->PostMessage(&message, handler);
}

TEST(Looper, DeliversToTheNamedHandlerInOrderOneAtATime)
{
    Log log;
    RecordingHandler first("first", &log), second("second", &log);
    auto* looper = new RecordingLooper(&log);
    looper->AddHandler(&first);
    looper->AddHandler(&second);

    ASSERT_EQ(post(looper, 1, &second), B_OK);
    ASSERT_EQ(post(looper, 2, &first), B_OK);
    ASSERT_EQ(post(looper, 3, nullptr), B_OK);
    ASSERT_EQ(post(looper, 4, &second), B_OK);
    EXPECT_TRUE(log.entries.empty()) << "posting must not dispatch synchronously";
    process_pending_events();

    EXPECT_EQ(log.entries,
              (std::vector<std::string>{"second:1", "first:2", "looper:3", "second:4"}));
    EXPECT_EQ(log.overlaps, 0);
    delete looper;
}

TEST(Looper, RefusesAHandlerOfAnotherLooper)
{
    Log log;
    RecordingHandler stranger("stranger", &log);
    auto* looper = new RecordingLooper(&log);
    EXPECT_EQ(post(looper, 1, &stranger), B_MISMATCHED_VALUES);
    process_pending_events();
    EXPECT_TRUE(log.entries.empty());
    delete looper;
}

TEST(Looper, SkipsAMessageWhoseHandlerLeftAfterThePost)
{
    Log log;
    RecordingHandler leaving("leaving", &log);
    auto* looper = new RecordingLooper(&log);
    looper->AddHandler(&leaving);
    post(looper, 1, &leaving);
    post(looper, 2, nullptr);
    looper->RemoveHandler(&leaving);
    process_pending_events();
    EXPECT_EQ(log.entries, (std::vector<std::string>{"looper:2"}));
    delete looper;
}

// Deleting a handler must take it out of its looper, whatever else is
// queued for it: the looper may neither list it nor deliver to it.
TEST(Looper, ForgetsAHandlerDeletedWhileMessagesWaitForIt)
{
    Log log;
    auto* looper = new RecordingLooper(&log);
    auto* doomed = new RecordingHandler("doomed", &log);
    looper->AddHandler(doomed);
    post(looper, 1, doomed);
    post(looper, 2, nullptr);
    delete doomed;

    EXPECT_EQ(looper->CountHandlers(), 1);
    process_pending_events();
    EXPECT_EQ(log.entries, (std::vector<std::string>{"looper:2"}));
    delete looper;
}

// A messenger is how another thread reaches a looper; the looper may end on
// the GUI thread at any moment meanwhile, and the send must then fail cleanly
// rather than post into a queue being freed.
TEST(Messenger, SendFromAnotherThreadSurvivesTheLoopersEnd)
{
    for (int round = 0; round < 300; round++) {
        auto* looper = new BLooper("short-lived");
        const BMessenger messenger(looper);
        std::atomic<int> sent{0};
        std::atomic<bool> stop{false};
        std::thread sender([&]() {
            while (!stop.load()) {
                messenger.SendMessage('PING');
                sent++;
                std::this_thread::yield(); // a race, not a flood of messages
            }
        });
        while (sent.load() < 2)
            std::this_thread::yield();
        delete looper;
        EXPECT_EQ(messenger.SendMessage('PING'), B_BAD_PORT_ID);
        stop = true;
        sender.join();
        process_pending_events(1);
    }
}

// A messenger names its handler by token: once the handler is gone, a send
// fails, even when a new handler now sits at the old one's address, and
// nothing queued for the old one reaches the new one.
TEST(Messenger, ToADeletedHandlerReachesNoOther)
{
    Log log;
    auto* looper = new RecordingLooper(&log);
    auto* first = new RecordingHandler("first", &log);
    looper->AddHandler(first);
    const BMessenger messenger(first);
    ASSERT_EQ(messenger.SendMessage('TEST'), B_OK); // queued for the first
    delete first;

    // The allocator hands the freed block out again, at least outside ASan.
    std::vector<std::unique_ptr<RecordingHandler>> successors;
    for (int i = 0; i < 8; i++) {
        successors.push_back(std::make_unique<RecordingHandler>("successor", &log));
        looper->AddHandler(successors.back().get());
    }

    EXPECT_EQ(messenger.SendMessage('TEST'), B_BAD_HANDLER);
    EXPECT_EQ(messenger.Target(nullptr), nullptr);
    EXPECT_TRUE(messenger.IsValid()) << "the looper is still there";
    process_pending_events();
    EXPECT_TRUE(log.entries.empty());
    successors.clear();
    delete looper;
}

TEST(Messenger, ToAHandlerThatLeftItsLooperFails)
{
    Log log;
    RecordingHandler handler("handler", &log);
    auto* looper = new RecordingLooper(&log);
    auto* other = new RecordingLooper(&log);
    looper->AddHandler(&handler);
    const BMessenger messenger(&handler);
    other->AddHandler(&handler);
    EXPECT_EQ(messenger.SendMessage('TEST'), B_BAD_HANDLER);
    EXPECT_EQ(BMessenger(&handler).SendMessage('TEST'), B_OK);
    process_pending_events();
    EXPECT_EQ(log.entries, (std::vector<std::string>{"handler:-1"}));
    delete other;
    delete looper;
}

// Handlers come and go on the GUI thread while another thread sends to
// them; every send either reaches a live handler or fails cleanly. Run
// under ASan and TSan, this is what shows the handler/looper link is read
// and written under one lock.
TEST(Messenger, SendsFromAnotherThreadWhileHandlersComeAndGo)
{
    Log log;
    auto* looper = new RecordingLooper(&log);
    std::mutex slotLock;
    BMessenger slot;
    std::atomic<int> generation{0};
    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0}, refused{0}, other{0}, attempts{0};
    // A few sends for each handler, racing its removal and deletion.
    std::thread sender([&]() {
        int done = 0;
        while (!stop.load()) {
            if (generation.load() == done) {
                std::this_thread::yield();
                continue;
            }
            done = generation.load();
            BMessenger target;
            {
                std::lock_guard<std::mutex> guard(slotLock);
                target = slot;
            }
            for (int i = 0; i < 4; i++, attempts++) {
                BMessage message('TEST');
                message.AddInt32("n", 7);
                status_t status = target.SendMessage(&message);
                if (status == B_OK)
                    delivered++;
                else if (status == B_BAD_HANDLER || status == B_BAD_PORT_ID)
                    refused++;
                else
                    other++;
            }
        }
    });

    int received = 0;
    for (int round = 0; round < 400; round++) {
        auto* handler = new RecordingHandler("h", &log);
        handler->hook = [&](BMessage*) { received++; };
        looper->AddHandler(handler);
        {
            std::lock_guard<std::mutex> guard(slotLock);
            slot = BMessenger(handler);
        }
        // Let the sender reach this handler before it goes.
        const int seen = attempts.load();
        generation++;
        while (attempts.load() == seen)
            std::this_thread::yield();
        if (round % 3 == 0)
            process_pending_events(1);
        if (round % 2 == 0)
            looper->RemoveHandler(handler);
        delete handler;
    }
    stop = true;
    sender.join();
    process_pending_events();

    EXPECT_EQ(other.load(), 0);
    EXPECT_GT(delivered.load(), 0);
    EXPECT_LE(received, delivered.load());
    EXPECT_EQ(looper->CountHandlers(), 1) << "only the looper itself is left";
    delete looper;
}

// The GUI thread runs every looper's messages, including those of a looper
// another thread built.
TEST(Looper, BuiltOnAnotherThreadGetsItsMessages)
{
    Log log;
    RecordingLooper* looper = nullptr;
    std::thread builder([&]() {
        looper = new RecordingLooper(&log);
        post(looper, 1, nullptr);
    });
    builder.join();
    ASSERT_NE(looper, nullptr);
    post(looper, 2, nullptr);
    process_pending_events();
    EXPECT_EQ(log.entries, (std::vector<std::string>{"looper:1", "looper:2"}));
    EXPECT_EQ(looper->CountQueuedMessages(), 0);
    delete looper;
}

// A modal alert runs a nested event loop inside a handler; the window must
// still handle nothing else until that handler returns.
TEST(Looper, MessagePostedDuringANestedLoopWaitsForTheHandler)
{
    Log log;
    RecordingHandler handler("handler", &log);
    auto* looper = new RecordingLooper(&log);
    looper->AddHandler(&handler);
    size_t seenInsideNestedLoop = 0;
    bool nestedLoopRan = false;
    handler.hook = [&](BMessage* message) {
        int32 n = 0;
        message->FindInt32("n", &n);
        if (n != 1)
            return;
        post(looper, 2, &handler);
        post(looper, 3, nullptr);
        QEventLoop nested;
        QMetaObject::invokeMethod(
            &nested,
            [&]() {
                nestedLoopRan = true;
                seenInsideNestedLoop = log.entries.size();
                nested.quit();
            },
            Qt::QueuedConnection);
        nested.exec();
    };

    post(looper, 1, &handler);
    process_pending_events();

    EXPECT_TRUE(nestedLoopRan);
    EXPECT_EQ(seenInsideNestedLoop, 1u) << "only the running message may have been handled";
    EXPECT_EQ(log.entries, (std::vector<std::string>{"handler:1", "handler:2", "looper:3"}));
    EXPECT_EQ(log.overlaps, 0);
    delete looper;
}

} // namespace
