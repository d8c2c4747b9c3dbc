#include "launcher/sessionlauncher_linux.h"

#include "base/exectexts.h"
#include "base/servicelog.h"

#include <unistd.h>

namespace sessionlauncher {

namespace {

bool finishLaunch(const SpawnResult &spawned, ProcessIdentity *launched)
{
    if (spawned.dropped)
        writeServiceLog("launchGUIApplication setuid enter");
    if (!spawned.started)
        writeServiceLog(std::string("launchGUIApplication ") + spawned.failedStep
                           + " result:" + std::to_string(spawned.error));
    if (launched)
        *launched = spawned.started ? ProcessIdentity{spawned.pid, spawned.startTime}
                                    : ProcessIdentity{};
    return spawned.started;
}

bool refuseNulBytes(const std::string &program, const std::vector<std::string> &arguments)
{
    // exec would cut the text at the NUL and run something else than was asked.
    if (!holdsNulByte(program, arguments))
        return false;
    writeServiceLog("launchGUIApplication command contains a NUL byte");
    return true;
}

} // namespace

bool launchInUserSession(const std::vector<LogindSession> &sessions, const std::string &program,
                         const std::vector<std::string> &arguments, ProcessIdentity *launched,
                         UnitStarter startUnit)
{
    if (refuseNulBytes(program, arguments))
        return false;

    const LogindSession *session = chooseSession(sessions, readUidMin());
    if (!session) {
        writeServiceLog("launchGUIApplication no active session");
        return false;
    }

    UserAccount account;
    if (const int error = lookUpAccount(session->uid, &account)) {
        writeServiceLog("launchGUIApplication getpwuid_r result:" + std::to_string(error));
        return false;
    }
    writeServiceLog("launchGUIApplication session:" + session->id
                       + " uid:" + std::to_string(account.uid) + " enter");

    long long source = 0;
    const std::vector<std::string> sessionEnvironment =
            sessionProcessEnvironment(*session, account, &source);
    if (source != 0)
        writeServiceLog("launchGUIApplication environ pid:" + std::to_string(source) + " enter");
    const std::string runtimeDir = "/run/user/" + std::to_string(account.uid);

    // The user's own manager runs the player in the user's session, outside this service's
    // sandbox and cgroup, with the environment the desktop gave that manager.
    const usermanager::UnitResult unit = startUnit(
            account.uid,
            {program, arguments,
             buildDisplayEnvironment(account, *session, runtimeDir, sessionEnvironment)},
            usermanager::kDefaultTimeout);
    if (unit.outcome == usermanager::UnitOutcome::Started) {
        if (launched)
            *launched = {unit.pid, unit.pid != 0 ? processStartTime(unit.pid) : 0};
        return true;
    }
    if (!unit.canFallBack()) {
        // The manager may still start it: a second start could show the player twice.
        if (launched)
            *launched = ProcessIdentity{};
        return false;
    }

    Credentials credentials;
    credentials.uid = account.uid;
    credentials.gid = account.gid;
    credentials.groups = supplementaryGroups(account);
    const std::vector<std::string> environment =
            buildUserEnvironment(account, *session, runtimeDir, sessionEnvironment);
    return finishLaunch(spawnDetached(program, arguments, &environment, &credentials),
                        launched);
}

} // namespace sessionlauncher

bool launchGUIApplication(std::string program, std::vector<std::string> arguments,
                          ProcessIdentity *launched)
{
    using namespace sessionlauncher;
    // An ordinary user running the service already is the desktop user.
    if (::geteuid() != 0) {
        if (refuseNulBytes(program, arguments))
            return false;
        return finishLaunch(spawnDetached(program, arguments, nullptr, nullptr), launched);
    }
    return launchInUserSession(listLogindSessions(), program, arguments, launched);
}
