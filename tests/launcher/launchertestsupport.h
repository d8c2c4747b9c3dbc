#pragma once

#include "fixtures/debugcapture.h"
#include "fixtures/fakeplayers.h"
#include "qtprinters.h"

#include <QString>
#include <QStringList>

#include <signal.h>

#include <string>
#include <vector>

// Shared by the launcher tests.
namespace launchertest {

using testsupport::FakePlayer;
using testsupport::PlayerRecord;

QStringList toQStringList(const std::vector<std::string> &texts);

// Collects the qDebug records and the service log entries of the launcher while it lives.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList debugRecords() const { return m_debug.records(); }
    QStringList serviceEntries() const;

private:
    testsupport::DebugCapture m_debug;
};

// The service log's recorder for direct calls of launchGUIApplication: clearLauncherLog empties
// it and installs it; LogCapture does the same and puts the previous writer back.
void recordLauncherLog(const std::string &entry);
QStringList launcherLog();
void clearLauncherLog();

// A descriptor without close-on-exec at this fixed number while it lives; a started program
// must not inherit it.
class StrayDescriptor
{
public:
    static constexpr int kNumber = 47;
    StrayDescriptor();
    ~StrayDescriptor();
    StrayDescriptor(const StrayDescriptor &) = delete;
    StrayDescriptor &operator=(const StrayDescriptor &) = delete;
};

// SIGUSR1 blocked in this thread and SIGUSR2 ignored while it lives; a started program must
// begin with neither.
class OddSignals
{
public:
    OddSignals();
    ~OddSignals();
    OddSignals(const OddSignals &) = delete;
    OddSignals &operator=(const OddSignals &) = delete;

private:
    sigset_t m_previousMask;
    struct sigaction m_previousUsr2;
};

// Runs the current test again in a child process that became user nobody, and records that
// run's result as this test's. Call it as root, then return.
void runCurrentTestAsNobody();

} // namespace launchertest
