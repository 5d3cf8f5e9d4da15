#include "TestSupport.h"

#include <QApplication>
#include <QCoreApplication>

#include <gtest/gtest.h>

namespace {

int sArgc = 1;
char sName[] = "window_tests";
char* sArgv[] = {sName, nullptr};

class QtEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        fApplication = new QApplication(sArgc, sArgv);
    }
    void TearDown() override
    {
        delete fApplication;
        fApplication = nullptr;
    }

private:
    QApplication* fApplication = nullptr;
};

const auto* sEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace

void drain_events()
{
    // A drained message may post more; a bounded number of rounds ends it.
    for (int round = 0; round < 50; round++) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}
