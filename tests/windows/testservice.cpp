// A small service on servicecontrol_win.cpp, for the service manager tests.
// Usage: mirvale_win_testservice <name> <journal file> [--fail-start | --exit <code>]
// Each hook appends one line to the journal.

#include "service/servicecontrol.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

struct TestService {
    std::string name;
    std::string journal;
    bool failStart = false;
    int exitAtOnce = -1;
    HANDLE stopEvent = nullptr;
    // The journal is written from the main thread and the manager's control thread.
    std::mutex journalMutex;
};

void note(TestService &service, const char *line)
{
    const std::lock_guard<std::mutex> lock(service.journalMutex);
    if (std::FILE *file = std::fopen(service.journal.c_str(), "ab")) {
        std::fprintf(file, "%s\n", line);
        std::fclose(file);
    }
}

bool start(void *context)
{
    auto &service = *static_cast<TestService *>(context);
    note(service, "start");
    servicecontrol::log(service.name, "test service started", servicecontrol::LogType::Success,
                        0, 0);
    return !service.failStart;
}

int exec(void *context)
{
    auto &service = *static_cast<TestService *>(context);
    note(service, "exec");
    if (service.exitAtOnce >= 0)
        return service.exitAtOnce;
    WaitForSingleObject(service.stopEvent, INFINITE);
    note(service, "exec returns");
    return 0;
}

void requestStop(void *context)
{
    auto &service = *static_cast<TestService *>(context);
    note(service, "requestStop");
    SetEvent(service.stopEvent);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    TestService service;
    service.name = argv[1];
    service.journal = argv[2];
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fail-start") == 0)
            service.failStart = true;
        else if (std::strcmp(argv[i], "--exit") == 0 && i + 1 < argc)
            service.exitAtOnce = std::atoi(argv[++i]);
    }
    service.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    servicecontrol::Hooks hooks;
    hooks.context = &service;
    hooks.start = &start;
    hooks.exec = &exec;
    hooks.requestStop = &requestStop;
    const int exitCode = servicecontrol::run(service.name, hooks);
    CloseHandle(service.stopEvent);
    return exitCode;
}
