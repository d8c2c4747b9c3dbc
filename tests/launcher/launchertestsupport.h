#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <signal.h>

#include <ostream>
#include <string>
#include <vector>

// Readable texts in failure messages.
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList &texts, std::ostream *os)
{
    *os << '{';
    for (int i = 0; i < texts.size(); ++i)
        *os << (i ? ", \"" : "\"") << texts.at(i).toStdString() << '"';
    *os << '}';
}

// Shared by the launcher tests.
namespace launchertest {

// What a fake player wrote about itself once it ran.
struct Record {
    bool present = false;
    QMap<QString, QString> fields; // pid, uid, gid, groups, sid, stdin, stdout, stderr,
                                   // leaked, sigblk, sigign
    QStringList arguments;
    QStringList environment;
};

// A shell script in a folder of its own (with a space in its path) that records its process
// id, identity, session, standard streams, arguments and environment, and publishes the
// record with one rename. The folder is open to every user, so a dropped child can run it.
class FakePlayer
{
public:
    FakePlayer();

    std::string program() const;
    QString programText() const;

    // Waits, on the folder's change signal and a 20 s guard, until the record exists.
    Record waitForRecord() const;
    // The record as it is now.
    Record record() const;

private:
    QTemporaryDir m_dir;
    QString m_folder;
};

// Collects the qDebug records and the service log entries of the launcher while it lives.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList debugRecords() const;
    QStringList serviceEntries() const;
};

// The launcher's log function for direct calls of launchGUIApplication; LogCapture clears it.
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
