// Shared by the window tests: one offscreen Qt application for the whole
// run, and a way to let posted messages run without waiting.
#ifndef WINDOW_TEST_SUPPORT_H
#define WINDOW_TEST_SUPPORT_H

#include <Message.h>
#include <Window.h>

#include <memory>
#include <vector>

// Runs every posted event (and the messages they carry) until none is left.
void drain_events();

// A window that keeps a copy of every message reaching MessageReceived.
class RecordingWindow : public BWindow
{
public:
    RecordingWindow() : BWindow(BRect(10, 10, 209, 109), "Recorder", B_TITLED_WINDOW, 0) {}

    void MessageReceived(BMessage* message) override
    {
        received.push_back(std::make_unique<BMessage>(*message));
        BWindow::MessageReceived(message);
    }

    std::vector<std::unique_ptr<BMessage>> received;
};

// A handler that keeps a copy of every message it is given.
class RecordingHandler : public BHandler
{
public:
    void MessageReceived(BMessage* message) override
    {
        received.push_back(std::make_unique<BMessage>(*message));
    }

    std::vector<std::unique_ptr<BMessage>> received;
};

#endif // WINDOW_TEST_SUPPORT_H
