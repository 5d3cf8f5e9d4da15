// One application for a whole test program, on Qt's offscreen platform, so
// that windows, views and loopers work without a display.
#ifndef PELLARA_TESTS_APP_ENVIRONMENT_H
#define PELLARA_TESTS_APP_ENVIRONMENT_H

#include <Application.h>

#include <QCoreApplication>
#include <QtGlobal>

#include <gtest/gtest.h>

class AppEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        fApplication = new BApplication("application/x-vnd.Ombrix.Pellara-tests");
    }
    void TearDown() override
    {
        delete fApplication;
        fApplication = nullptr;
    }

private:
    BApplication* fApplication = nullptr;
};

// Registered once per program, however many files include this.
inline ::testing::Environment* const kAppEnvironment =
    ::testing::AddGlobalTestEnvironment(new AppEnvironment);

// Runs posted events (loopers' messages, repaints). A looper handles one
// message per turn of the event loop, so a few rounds drain short queues.
inline void process_pending_events(int rounds = 20)
{
    for (int round = 0; round < rounds; round++) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

#endif // PELLARA_TESTS_APP_ENVIRONMENT_H
