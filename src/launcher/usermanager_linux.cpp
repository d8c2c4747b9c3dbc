#include "launcher/usermanager_linux.h"

#include "base/exectexts.h"
#include "base/procfs_linux.h"
#include "base/released.h"
#include "base/servicelog.h"

#include <systemd/sd-id128.h>


#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace usermanager {

namespace {

using Clock = std::chrono::steady_clock;

const char kManagerService[] = "org.freedesktop.systemd1";
const char kManagerPath[] = "/org/freedesktop/systemd1";
const char kManagerInterface[] = "org.freedesktop.systemd1.Manager";
const char kUnitPathPrefix[] = "/org/freedesktop/systemd1/unit";

struct MessageUnref {
    void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// Dropping a slot removes its callback, so no callback outlives the stack frame it writes to.
struct SlotUnref {
    void operator()(sd_bus_slot *slot) const { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

UnitResult fail(UnitResult result, UnitOutcome outcome, const char *step, const std::string &error)
{
    result.outcome = outcome;
    result.failedStep = step;
    result.error = error;
    writeServiceLog(std::string("launchGUIApplication ") + step + " result:" + error);
    return result;
}

std::string errnoText(int negativeErrno)
{
    return std::to_string(-negativeErrno);
}

bool hasNulByte(const UnitRequest &request)
{
    return holdsNulByte(request.program, request.arguments) || holdsNulByte({}, request.environment);
}

// A fresh name for every start: a player that still runs keeps its unit, and a second start
// with the same name would be refused.
std::string newUnitName()
{
    sd_id128_t id;
    if (sd_id128_randomize(&id) < 0)
        return {};
    char text[SD_ID128_STRING_MAX];
    return std::string("mirvale-player-") + sd_id128_to_string(id, text) + ".service";
}

// One bus exchange against a deadline. Owned by the calling thread for one start.
class Conversation
{
public:
    Conversation(sd_bus *bus, Clock::time_point deadline) : m_bus(bus), m_deadline(deadline) {}

    // Whether the handshake ever completed: before it, nothing we queued was sent.
    bool reached() const { return m_reached; }

    // Dispatches traffic until done() holds. 0, -ETIMEDOUT at the deadline, or the negative
    // errno of a broken connection.
    template <typename Done>
    int pump(Done done)
    {
        while (!done()) {
            const int processed = sd_bus_process(m_bus, nullptr);
            if (sd_bus_is_ready(m_bus) > 0)
                m_reached = true;
            if (processed < 0)
                return processed;
            if (processed > 0)
                continue;
            const auto now = Clock::now();
            if (now >= m_deadline)
                return -ETIMEDOUT;
            const int waited = sd_bus_wait(m_bus, microsecondsLeft());
            if (waited < 0 && waited != -EINTR)
                return waited;
        }
        return 0;
    }

    // Sends call and waits for its answer (a return or an error message). 0 or a negative errno.
    int call(sd_bus_message *call, Message *reply)
    {
        sd_bus_slot *raw = nullptr;
        const int sent = sd_bus_call_async(m_bus, &raw, call, &Conversation::onReply, reply,
                                           microsecondsLeft());
        if (sent < 0)
            return sent;
        const Slot slot(raw);
        return pump([reply] { return *reply != nullptr; });
    }

private:
    static int onReply(sd_bus_message *message, void *userdata, sd_bus_error *)
    {
        static_cast<Message *>(userdata)->reset(sd_bus_message_ref(message));
        return 1;
    }

    uint64_t microsecondsLeft() const
    {
        const auto left = std::chrono::ceil<std::chrono::microseconds>(m_deadline - Clock::now());
        return left.count() > 0 ? static_cast<uint64_t>(left.count()) : 1;
    }

    sd_bus *m_bus;
    Clock::time_point m_deadline;
    bool m_reached = false;
};

// The results of our unit's finished jobs, by job path. A manager may report the end of a job
// before the answer that names it has been read, so the match is made before the call.
struct JobWatch {
    std::string unit;
    std::vector<std::pair<std::string, std::string>> removed;

    static int onJobRemoved(sd_bus_message *signal, void *userdata, sd_bus_error *)
    {
        auto *watch = static_cast<JobWatch *>(userdata);
        uint32_t id = 0;
        const char *job = nullptr;
        const char *unit = nullptr;
        const char *result = nullptr;
        if (sd_bus_message_read(signal, "uoss", &id, &job, &unit, &result) >= 0
            && watch->unit == unit)
            watch->removed.emplace_back(job, result);
        return 0;
    }

    const std::string *resultOf(const std::string &job) const
    {
        for (const auto &entry : removed) {
            if (entry.first == job)
                return &entry.second;
        }
        return nullptr;
    }
};

int appendExecStart(sd_bus_message *m, const UnitRequest &request)
{
    std::vector<char *> argv = argumentVector(request.arguments, &request.program);

    // (path, argv with argv[0], ignore failure)
    int r = sd_bus_message_open_container(m, 'r', "sv");
    if (r >= 0)
        r = sd_bus_message_append(m, "s", "ExecStart");
    if (r >= 0)
        r = sd_bus_message_open_container(m, 'v', "a(sasb)");
    if (r >= 0)
        r = sd_bus_message_open_container(m, 'a', "(sasb)");
    if (r >= 0)
        r = sd_bus_message_open_container(m, 'r', "sasb");
    if (r >= 0)
        r = sd_bus_message_append(m, "s", request.program.c_str());
    if (r >= 0)
        r = sd_bus_message_append_strv(m, argv.data());
    if (r >= 0)
        r = sd_bus_message_append(m, "b", 0);
    for (int level = 0; level < 4 && r >= 0; ++level)
        r = sd_bus_message_close_container(m);
    return r;
}

int appendEnvironment(sd_bus_message *m, const std::vector<std::string> &environment)
{
    if (environment.empty())
        return 0;
    std::vector<char *> entries = argumentVector(environment);

    int r = sd_bus_message_open_container(m, 'r', "sv");
    if (r >= 0)
        r = sd_bus_message_append(m, "s", "Environment");
    if (r >= 0)
        r = sd_bus_message_open_container(m, 'v', "as");
    if (r >= 0)
        r = sd_bus_message_append_strv(m, entries.data());
    for (int level = 0; level < 2 && r >= 0; ++level)
        r = sd_bus_message_close_container(m);
    return r;
}

int newStartCall(sd_bus *bus, const std::string &unit, const UnitRequest &request, Message *call)
{
    sd_bus_message *raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, kManagerService, kManagerPath,
                                           kManagerInterface, "StartTransientUnit");
    if (r < 0)
        return r;
    call->reset(raw);
    sd_bus_message *m = raw;
    const std::string description = "Mirvale player " + request.program;

    // "fail": never replace a job the manager already has for this name.
    r = sd_bus_message_append(m, "ss", unit.c_str(), "fail");
    if (r >= 0)
        r = sd_bus_message_open_container(m, 'a', "(sv)");
    if (r >= 0)
        r = sd_bus_message_append(m, "(sv)", "Description", "s", description.c_str());
    // "exec": the start job ends only once execve succeeded, so a program that cannot run
    // fails the job instead of being reported as started.
    if (r >= 0)
        r = sd_bus_message_append(m, "(sv)", "Type", "s", "exec");
    // Also a failed unit goes away once its process ended.
    if (r >= 0)
        r = sd_bus_message_append(m, "(sv)", "CollectMode", "s", "inactive-or-failed");
    if (r >= 0)
        r = appendExecStart(m, request);
    if (r >= 0)
        r = appendEnvironment(m, request.environment);
    if (r >= 0)
        r = sd_bus_message_close_container(m);
    if (r >= 0)
        r = sd_bus_message_append(m, "a(sa(sv))", 0);
    return r;
}

// The unit's MainPID, read once its start job is done. 0 when the program ended already.
int readMainPid(Conversation &conversation, sd_bus *bus, const std::string &unit,
                uint32_t *pid, std::string *error)
{
    char *rawPath = nullptr;
    int r = sd_bus_path_encode(kUnitPathPrefix, unit.c_str(), &rawPath);
    if (r < 0) {
        *error = errnoText(r);
        return r;
    }
    const Freed<char> path(rawPath);

    sd_bus_message *rawCall = nullptr;
    r = sd_bus_message_new_method_call(bus, &rawCall, kManagerService, path.get(),
                                       "org.freedesktop.DBus.Properties", "Get");
    const Message call(rawCall);
    if (r >= 0)
        r = sd_bus_message_append(rawCall, "ss", "org.freedesktop.systemd1.Service", "MainPID");
    Message reply;
    if (r >= 0)
        r = conversation.call(rawCall, &reply);
    if (r < 0) {
        *error = errnoText(r);
        return r;
    }
    if (const sd_bus_error *replyError = sd_bus_message_get_error(reply.get())) {
        *error = replyError->name ? replyError->name : "error";
        return -EIO;
    }
    r = sd_bus_message_read(reply.get(), "v", "u", pid);
    if (r < 0)
        *error = errnoText(r);
    return r;
}

} // namespace

std::string userManagerAddress(uid_t uid)
{
    return "unix:path=/run/user/" + std::to_string(uid) + "/systemd/private";
}

int openManagerBus(const std::string &address, Bus *bus)
{
    sd_bus *raw = nullptr;
    int r = sd_bus_new(&raw);
    if (r < 0)
        return r;
    Bus owned(raw);
    r = sd_bus_set_address(raw, address.c_str());
    // A direct connection to the manager: no bus daemon, so no Hello and no well-known names.
    if (r >= 0)
        r = sd_bus_set_bus_client(raw, 0);
    if (r >= 0)
        r = sd_bus_start(raw);
    if (r < 0)
        return r;
    *bus = std::move(owned);
    return 0;
}

UnitResult startTransientUnit(sd_bus *bus, uid_t owner, const UnitRequest &request,
                              std::chrono::milliseconds timeout)
{
    UnitResult result;
    Conversation conversation(bus, Clock::now() + timeout);

    // exec would cut a text at the NUL and run something else than was asked.
    if (hasNulByte(request))
        return fail(result, UnitOutcome::Refused, "StartTransientUnit", errnoText(-EINVAL));
    result.unit = newUnitName();
    if (result.unit.empty())
        return fail(result, UnitOutcome::Refused, "StartTransientUnit", errnoText(-EIO));

    JobWatch watch{result.unit, {}};
    sd_bus_slot *rawMatch = nullptr;
    int r = sd_bus_match_signal(bus, &rawMatch, nullptr, kManagerPath, kManagerInterface,
                                "JobRemoved", &JobWatch::onJobRemoved, &watch);
    if (r < 0)
        return fail(result, UnitOutcome::Refused, "StartTransientUnit", errnoText(r));
    const Slot match(rawMatch);

    Message call;
    r = newStartCall(bus, result.unit, request, &call);
    if (r < 0)
        return fail(result, UnitOutcome::Refused, "StartTransientUnit", errnoText(r));

    Message reply;
    r = conversation.call(call.get(), &reply);
    const sd_bus_error *replyError = reply ? sd_bus_message_get_error(reply.get()) : nullptr;
    // sd-bus answers a call itself with NoReply when it timed out or the connection ended.
    const bool answered =
            r >= 0 && !(replyError && sd_bus_error_has_name(replyError, SD_BUS_ERROR_NO_REPLY));
    if (!conversation.reached() && !answered)
        return fail(result, UnitOutcome::Unreachable, "sd_bus_start",
                    r < 0 ? errnoText(r) : replyError->name);
    if (!answered)
        return fail(result, UnitOutcome::TimedOut, "StartTransientUnit",
                    r < 0 ? errnoText(r) : replyError->name);
    if (replyError)
        return fail(result, UnitOutcome::Refused, "StartTransientUnit",
                    replyError->name ? replyError->name : "error");
    const char *jobPath = nullptr;
    r = sd_bus_message_read(reply.get(), "o", &jobPath);
    if (r < 0)
        return fail(result, UnitOutcome::TimedOut, "StartTransientUnit", errnoText(r));
    const std::string job = jobPath;
    writeServiceLog("launchGUIApplication StartTransientUnit unit:" + result.unit + " enter");

    r = conversation.pump([&] { return watch.resultOf(job) != nullptr; });
    if (r < 0)
        return fail(result, UnitOutcome::TimedOut, "JobRemoved", errnoText(r));
    if (*watch.resultOf(job) != "done")
        return fail(result, UnitOutcome::Failed, "JobRemoved", *watch.resultOf(job));

    // The program has run: whatever happens below, it is not started again elsewhere.
    result.outcome = UnitOutcome::Started;
    uint32_t pid = 0;
    std::string error;
    uid_t actual = owner;
    if (readMainPid(conversation, bus, result.unit, &pid, &error) < 0) {
        writeServiceLog("launchGUIApplication MainPID result:" + error);
        pid = 0;
    } else if (pid != 0 && !processOwner(pid, &actual)) {
        pid = 0; // ended already
    } else if (actual != owner) {
        // That user's manager starts that user's processes only: any other pid is not ours
        // to end later.
        writeServiceLog("launchGUIApplication MainPID:" + std::to_string(pid)
                           + " uid:" + std::to_string(actual) + " refused");
        pid = 0;
    }
    result.pid = pid;
    writeServiceLog("launchGUIApplication unit:" + result.unit + " pid:" + std::to_string(pid)
                       + " enter");
    return result;
}

UnitResult startUserUnit(uid_t uid, const UnitRequest &request,
                         std::chrono::milliseconds timeout)
{
    Bus bus;
    const int r = openManagerBus(userManagerAddress(uid), &bus);
    if (r < 0)
        return fail(UnitResult(), UnitOutcome::Unreachable, "sd_bus_start", errnoText(r));
    return startTransientUnit(bus.get(), uid, request, timeout);
}

} // namespace usermanager
