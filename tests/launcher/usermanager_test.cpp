#include "launchertestsupport.h"
#include "launcher/usermanager_linux.h"

#include <gtest/gtest.h>

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QRegularExpression>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace launchertest;
using namespace usermanager;
using namespace std::chrono_literals;

namespace {

// How the fake manager answers a start.
enum class Answer {
    Done,         // the reply, then JobRemoved "done"
    SignalFirst,  // JobRemoved "done" before the reply
    JobFailed,    // JobRemoved "failed", as for a program that cannot be executed
    Refuse,       // an error reply
    Collected,    // done, but the unit is gone before its pid is read
    SilentAtAuth, // never accepts the connection
    SilentAtCall, // takes the call and never answers
    SilentAtJob,  // answers, and never ends the job
};

// One StartTransientUnit as the fake manager received it.
struct StartCall {
    std::string unit;
    std::string mode;
    std::map<std::string, std::string> texts; // "s" properties; others as "of type <sig>"
    int execStarts = 0;                       // entries of ExecStart; the last one below
    std::string execPath;
    std::vector<std::string> execArgv;
    int ignoreFailure = 1;
    std::vector<std::string> environment;
};

std::vector<std::string> readStrv(sd_bus_message *m)
{
    char **raw = nullptr;
    std::vector<std::string> texts;
    if (sd_bus_message_read_strv(m, &raw) < 0 || !raw)
        return texts;
    for (char **p = raw; *p; ++p) {
        texts.emplace_back(*p);
        std::free(*p);
    }
    std::free(raw);
    return texts;
}

// A systemd manager's start interface on a Unix socket of its own, served by sd-bus on a
// thread of its own. Everything but the recorded calls stays on that thread.
class FakeManager
{
public:
    FakeManager(Answer answer, uint32_t mainPid) : m_answer(answer), m_mainPid(mainPid)
    {
        char folder[] = "/tmp/usermanager-XXXXXX";
        EXPECT_NE(::mkdtemp(folder), nullptr);
        m_folder = folder;
        m_socketPath = m_folder + "/private";
        m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_socketPath.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(m_listenFd, 8), 0);
        m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_thread = std::thread([this] { serve(); });
    }

    ~FakeManager()
    {
        const uint64_t one = 1;
        EXPECT_EQ(::write(m_stopFd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
        m_thread.join();
        ::close(m_stopFd);
        ::close(m_listenFd);
        ::unlink(m_socketPath.c_str());
        ::rmdir(m_folder.c_str());
    }

    std::string address() const { return "unix:path=" + m_socketPath; }

    std::vector<StartCall> calls() const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    void serve()
    {
        sd_event *event = nullptr;
        EXPECT_GE(sd_event_new(&event), 0);
        sd_event_add_io(event, nullptr, m_stopFd, EPOLLIN, &FakeManager::onStop, nullptr);
        if (m_answer != Answer::SilentAtAuth)
            sd_event_add_io(event, nullptr, m_listenFd, EPOLLIN, &FakeManager::onConnection, this);
        sd_event_loop(event);
        for (sd_bus *bus : m_buses)
            sd_bus_flush_close_unref(bus);
        sd_event_unref(event);
    }

    static int onStop(sd_event_source *source, int, uint32_t, void *)
    {
        return sd_event_exit(sd_event_source_get_event(source), 0);
    }

    static int onConnection(sd_event_source *source, int fd, uint32_t, void *userdata)
    {
        auto *self = static_cast<FakeManager *>(userdata);
        const int connection = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (connection < 0)
            return 0;
        sd_bus *bus = nullptr;
        sd_id128_t id;
        sd_id128_randomize(&id);
        sd_bus_new(&bus);
        sd_bus_set_fd(bus, connection, connection);
        sd_bus_set_server(bus, 1, id);
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/systemd1",
                                 "org.freedesktop.systemd1.Manager", kManagerVtable, self);
        sd_bus_add_fallback_vtable(bus, nullptr, "/org/freedesktop/systemd1/unit",
                                   "org.freedesktop.systemd1.Service", kServiceVtable,
                                   &FakeManager::findUnit, self);
        EXPECT_GE(sd_bus_start(bus), 0);
        sd_bus_attach_event(bus, sd_event_source_get_event(source), 0);
        self->m_buses.push_back(bus);
        return 0;
    }

    static int onStart(sd_bus_message *m, void *userdata, sd_bus_error *)
    {
        auto *self = static_cast<FakeManager *>(userdata);
        StartCall call = readCall(m);
        const std::string unit = call.unit;
        {
            const std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_calls.push_back(std::move(call));
        }
        self->m_unit = unit;
        sd_bus *bus = sd_bus_message_get_bus(m);
        const char job[] = "/org/freedesktop/systemd1/job/42";
        auto jobRemoved = [&](const char *result) {
            return sd_bus_emit_signal(bus, "/org/freedesktop/systemd1",
                                      "org.freedesktop.systemd1.Manager", "JobRemoved", "uoss",
                                      42u, job, unit.c_str(), result);
        };
        switch (self->m_answer) {
        case Answer::Refuse:
            return sd_bus_reply_method_errorf(m, "org.freedesktop.systemd1.UnitExists",
                                              "Unit %s already exists.", unit.c_str());
        case Answer::SilentAtCall:
            return 1;
        case Answer::SignalFirst:
            jobRemoved("done");
            return sd_bus_reply_method_return(m, "o", job);
        default:
            break;
        }
        sd_bus_reply_method_return(m, "o", job);
        // Another unit's job first: only the one for ours counts.
        sd_bus_emit_signal(bus, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager",
                           "JobRemoved", "uoss", 41u, "/org/freedesktop/systemd1/job/41",
                           "other.service", "failed");
        if (self->m_answer == Answer::SilentAtJob)
            return 1;
        return jobRemoved(self->m_answer == Answer::JobFailed ? "failed" : "done");
    }

    static StartCall readCall(sd_bus_message *m)
    {
        StartCall call;
        const char *unit = nullptr;
        const char *mode = nullptr;
        EXPECT_GE(sd_bus_message_read(m, "ss", &unit, &mode), 0);
        call.unit = unit;
        call.mode = mode;
        EXPECT_GE(sd_bus_message_enter_container(m, 'a', "(sv)"), 0);
        while (sd_bus_message_enter_container(m, 'r', "sv") > 0) {
            const char *name = nullptr;
            const char *contents = nullptr;
            sd_bus_message_read(m, "s", &name);
            sd_bus_message_peek_type(m, nullptr, &contents);
            const std::string type = contents;
            sd_bus_message_enter_container(m, 'v', contents);
            if (type == "s") {
                const char *text = nullptr;
                sd_bus_message_read(m, "s", &text);
                call.texts[name] = text;
            } else if (type == "a(sasb)" && std::strcmp(name, "ExecStart") == 0) {
                sd_bus_message_enter_container(m, 'a', "(sasb)");
                while (sd_bus_message_enter_container(m, 'r', "sasb") > 0) {
                    const char *path = nullptr;
                    sd_bus_message_read(m, "s", &path);
                    call.execPath = path;
                    call.execArgv = readStrv(m);
                    sd_bus_message_read(m, "b", &call.ignoreFailure);
                    ++call.execStarts;
                    sd_bus_message_exit_container(m);
                }
                sd_bus_message_exit_container(m);
            } else if (type == "as" && std::strcmp(name, "Environment") == 0) {
                call.environment = readStrv(m);
            } else {
                call.texts[name] = "of type " + type;
                sd_bus_message_skip(m, contents);
            }
            sd_bus_message_exit_container(m);
            sd_bus_message_exit_container(m);
        }
        sd_bus_message_exit_container(m);
        return call;
    }

    // Only the started unit's own object exists, and only while it is not collected.
    static int findUnit(sd_bus *, const char *path, const char *, void *userdata, void **found,
                        sd_bus_error *)
    {
        auto *self = static_cast<FakeManager *>(userdata);
        char *name = nullptr;
        if (sd_bus_path_decode(path, "/org/freedesktop/systemd1/unit", &name) <= 0)
            return 0;
        const bool ours = self->m_unit == name && self->m_answer != Answer::Collected;
        std::free(name);
        *found = self;
        return ours ? 1 : 0;
    }

    static int getMainPid(sd_bus *, const char *, const char *, const char *,
                          sd_bus_message *reply, void *userdata, sd_bus_error *)
    {
        return sd_bus_message_append(reply, "u", static_cast<FakeManager *>(userdata)->m_mainPid);
    }

    static const sd_bus_vtable kManagerVtable[];
    static const sd_bus_vtable kServiceVtable[];

    const Answer m_answer;
    const uint32_t m_mainPid;
    std::string m_folder;
    std::string m_socketPath;
    int m_listenFd = -1;
    int m_stopFd = -1;
    std::thread m_thread;
    std::vector<sd_bus *> m_buses; // the serving thread's only
    std::string m_unit;            // the serving thread's only: the last unit started
    mutable std::mutex m_mutex;    // guards m_calls, read by the test's thread
    std::vector<StartCall> m_calls;
};

const sd_bus_vtable FakeManager::kManagerVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("StartTransientUnit", "ssa(sv)a(sa(sv))", "o", &FakeManager::onStart,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("JobRemoved", "uoss", 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable FakeManager::kServiceVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("MainPID", "u", &FakeManager::getMainPid, 0, 0),
    SD_BUS_VTABLE_END,
};

const UnitRequest kRequest{"/usr/bin/vlc",
                           {"file:///var/lib/Mirvale/playlist/090503042.list", "--video-on-top",
                            "--sub-file=/var/lib/Mirvale/sub files/090503042.srt", "",
                            "caf\xC3\xA9 \"quoted\" $HOME"},
                           {}};

UnitResult startAt(const FakeManager &manager, uid_t owner, const UnitRequest &request,
                   std::chrono::milliseconds timeout)
{
    Bus bus;
    EXPECT_EQ(openManagerBus(manager.address(), &bus), 0);
    return bus ? startTransientUnit(bus.get(), owner, request, timeout)
               : UnitResult();
}

} // namespace

TEST(UserManager, StartsATransientUnitWithTheExactCommand)
{
    FakeManager manager(Answer::Done, static_cast<uint32_t>(::getpid()));
    UnitRequest request = kRequest;
    request.environment = {"DISPLAY=:0", "XAUTHORITY=/run/user/1000/gdm/Xauthority"};
    clearLauncherLog();

    const UnitResult first = startAt(manager, ::getuid(), request, 5s);
    const UnitResult second = startAt(manager, ::getuid(), kRequest, 5s);

    EXPECT_EQ(first.outcome, UnitOutcome::Started);
    EXPECT_EQ(first.pid, ::getpid());
    EXPECT_EQ(first.failedStep, nullptr);
    EXPECT_EQ(second.outcome, UnitOutcome::Started);
    const std::vector<StartCall> calls = manager.calls();
    ASSERT_EQ(calls.size(), 2u);
    const StartCall &call = calls[0];
    EXPECT_TRUE(QRegularExpression("^mirvale-player-[0-9a-f]{32}\\.service$")
                        .match(QString::fromStdString(call.unit))
                        .hasMatch())
            << call.unit;
    EXPECT_EQ(call.unit, first.unit);
    EXPECT_NE(calls[1].unit, call.unit);
    EXPECT_EQ(call.mode, "fail");
    EXPECT_EQ(call.texts.at("Type"), "exec");
    EXPECT_EQ(call.texts.at("CollectMode"), "inactive-or-failed");
    EXPECT_FALSE(call.texts.at("Description").empty());
    EXPECT_EQ(call.execStarts, 1);
    EXPECT_EQ(call.execPath, kRequest.program);
    std::vector<std::string> argv{kRequest.program};
    argv.insert(argv.end(), kRequest.arguments.begin(), kRequest.arguments.end());
    EXPECT_EQ(call.execArgv, argv);
    EXPECT_EQ(call.ignoreFailure, 0);
    EXPECT_EQ(call.environment, request.environment);
    EXPECT_EQ(call.texts.size(), 3u); // Type, CollectMode, Description
    EXPECT_TRUE(calls[1].environment.empty());

    const QStringList log = launcherLog();
    ASSERT_GE(log.size(), 2);
    EXPECT_EQ(log[0], QString::fromStdString("launchGUIApplication StartTransientUnit unit:"
                                             + first.unit + " enter"));
    EXPECT_EQ(log[1], QString::fromStdString("launchGUIApplication unit:" + first.unit + " pid:"
                                             + std::to_string(::getpid()) + " enter"));
}

TEST(UserManager, ReportsEachWayAStartEnds)
{
    struct Row {
        const char *what;
        Answer answer;
        uint32_t mainPid;
        uid_t owner;
        UnitOutcome outcome;
        long long pid;
        const char *step;  // null when started
        const char *error; // the failure's text, "*" for any
        bool fallBack;
        bool nulByte = false; // an argument with a NUL byte, which exec would cut short
    };
    const uint32_t self = static_cast<uint32_t>(::getpid());
    const uid_t me = ::getuid();
    const Row rows[] = {
        {"the job ends before its answer", Answer::SignalFirst, self, me, UnitOutcome::Started,
         self, nullptr, "", false},
        {"the program could not be executed", Answer::JobFailed, self, me, UnitOutcome::Failed, 0,
         "JobRemoved", "failed", true},
        {"the manager refuses", Answer::Refuse, self, me, UnitOutcome::Refused, 0,
         "StartTransientUnit", "org.freedesktop.systemd1.UnitExists", true},
        {"the program ended and its unit is gone", Answer::Collected, self, me,
         UnitOutcome::Started, 0, nullptr, "", false},
        {"the program ended, the unit stays", Answer::Done, 0, me, UnitOutcome::Started, 0,
         nullptr, "", false},
        {"a pid of another user is not taken", Answer::Done, self, me + 1, UnitOutcome::Started,
         0, nullptr, "", false},
        {"no handshake: nothing was asked", Answer::SilentAtAuth, self, me,
         UnitOutcome::Unreachable, 0, "sd_bus_start", "*", true},
        {"no answer to the call", Answer::SilentAtCall, self, me, UnitOutcome::TimedOut, 0,
         "StartTransientUnit", "*", false},
        {"the job never ends", Answer::SilentAtJob, self, me, UnitOutcome::TimedOut, 0,
         "JobRemoved", "110", false},
        {"a NUL byte is never sent", Answer::Done, self, me, UnitOutcome::Refused, 0,
         "StartTransientUnit", "22", true, true},
    };
    for (const Row &row : rows) {
        FakeManager manager(row.answer, row.mainPid);
        const auto begin = std::chrono::steady_clock::now();
        UnitRequest request = kRequest;
        if (row.nulByte)
            request.arguments.back() += std::string("\0--fullscreen", 13);
        const UnitResult result = startAt(manager, row.owner, request, 300ms);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s) << row.what;
        EXPECT_EQ(result.outcome, row.outcome) << row.what;
        EXPECT_EQ(result.pid, row.pid) << row.what;
        EXPECT_EQ(result.canFallBack(), row.fallBack) << row.what;
        if (row.nulByte) {
            EXPECT_TRUE(manager.calls().empty()) << row.what;
        }
        if (!row.step) {
            EXPECT_EQ(result.failedStep, nullptr) << row.what;
            continue;
        }
        EXPECT_STREQ(result.failedStep, row.step) << row.what;
        if (std::strcmp(row.error, "*") != 0) {
            EXPECT_EQ(result.error, row.error) << row.what;
        }
    }
}

TEST(UserManager, UnreachableWithoutAManager)
{
    EXPECT_EQ(userManagerAddress(1000), "unix:path=/run/user/1000/systemd/private");
    clearLauncherLog();
    // No user has this uid, so no manager listens for it.
    const UnitResult result = startUserUnit(3999999999u, kRequest, 300ms);
    EXPECT_EQ(result.outcome, UnitOutcome::Unreachable);
    EXPECT_TRUE(result.canFallBack());
    EXPECT_EQ(launcherLog(), QStringList{"launchGUIApplication sd_bus_start result:2"});
}
