#pragma once

#include "launcher/sessionlauncher.h"

#include <systemd/sd-bus.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// Starting a program through a user's own systemd manager, as a transient service unit of
// that manager. The program then belongs to the user's session (its environment, its cgroup)
// instead of the service's sandbox and cgroup. Each call opens, uses and closes its own bus
// connection on the calling thread: nothing is shared between threads.
namespace usermanager {

// Closed without a flush: flushing waits for a silent peer as long as sd-bus's own 90 s
// handshake time-out. Every answer we need has been read before.
struct BusCloser {
    void operator()(sd_bus *bus) const { sd_bus_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

// The manager's private socket: a direct connection that needs no session bus daemon and that
// the manager accepts from root and from its own user.
std::string userManagerAddress(uid_t uid);

// Starts a direct connection to a manager at a D-Bus address ("unix:path=..."). Does not wait
// for the handshake. 0, or a negative errno (-ENOENT: no manager runs there).
int openManagerBus(const std::string &address, Bus *bus);

struct UnitRequest {
    std::string program;                  // the executable's path; argv[0] too
    std::vector<std::string> arguments;   // argv[1...], passed exactly, no shell
    std::vector<std::string> environment; // NAME=value added to the manager's own; may be empty
};

enum class UnitOutcome {
    Started,     // the program was executed
    Unreachable, // no manager took the connection: nothing was asked
    Refused,     // the manager answered the start with an error, or could not be asked
    Failed,      // the start job ended without success (the program could not be executed)
    TimedOut,    // the call went out but its end was not seen in time: the unit may still run
};

struct UnitResult {
    UnitOutcome outcome = UnitOutcome::Unreachable;
    long long pid = 0;                // the unit's main process when Started; 0 when it has
                                      // ended already or does not belong to the user
    std::string unit;                 // the unit's name once chosen
    const char *failedStep = nullptr; // "sd_bus_start", "StartTransientUnit", "JobRemoved"
    std::string error;                // the D-Bus error name, the job's result or an errno

    // Nothing of ours runs: another route may start the program instead.
    bool canFallBack() const
    {
        return outcome != UnitOutcome::Started && outcome != UnitOutcome::TimedOut;
    }
};

constexpr std::chrono::milliseconds kDefaultTimeout{5000};

// Starts the request as a unit "mirvale-player-<random>.service" of the manager on bus and
// waits, at most timeout in all, for its start job to end and for its main pid. The pid is
// taken only when that process belongs to owner.
UnitResult startTransientUnit(sd_bus *bus, uid_t owner, const UnitRequest &request,
                              std::chrono::milliseconds timeout);

// The same through uid's own manager.
UnitResult startUserUnit(uid_t uid, const UnitRequest &request,
                         std::chrono::milliseconds timeout = kDefaultTimeout);

} // namespace usermanager
