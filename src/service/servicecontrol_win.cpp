#include "service/servicecontrol.h"
#include "service/servicecontrol_win.h"

#include "base/uniquehandle_win.h"
#include "base/widestring_win.h"

#include <windows.h>
#include <winsvc.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace servicecontrol {
namespace {

// How run() goes on once the dispatcher has answered.
enum class Mode { Undecided, Service, Foreground, Failed };

struct ServiceState {
    std::mutex mutex;
    std::condition_variable changed;
    std::wstring name;
    Hooks hooks;
    Mode mode = Mode::Undecided;
    DWORD failure = NO_ERROR;        // why the dispatcher could not serve (Mode::Failed)
    bool dispatcherReturned = false; // StartServiceCtrlDispatcherW has returned
    bool stopRequested = false;      // requestStop has been called (once at most)
    bool finished = false;           // the event loop has ended; ServiceMain may report STOPPED
    int exitCode = 0;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    SERVICE_STATUS status{};
};

// Shared by run()'s thread (the event loop's), the dispatcher thread, ServiceMain's thread and
// the control handler (on the dispatcher thread); every field is guarded by its mutex.
ServiceState g_state;

// Held by a control or console thread for the whole of its stop request, hook call included, and
// by run()'s thread when it marks the service finished: once run() has returned, no hook is
// running, and none starts. (The hook's context belongs to the caller of run(), which frees it
// then.) Never taken while g_state.mutex is held.
std::mutex g_hookGate;

// Caller holds g_state.mutex. The manager does not call back into the handler from here.
void reportLocked(DWORD state)
{
    SERVICE_STATUS &status = g_state.status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    // The framework's service flags: it can be stopped and suspended (pausing leaves the agents
    // serving, as the framework's default pause() does), and it does not ask to be stopped at
    // shutdown.
    status.dwControlsAccepted = (state == SERVICE_RUNNING || state == SERVICE_PAUSED)
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE
            : 0;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    status.dwWaitHint = pending ? 30000 : 0;
    if (state == SERVICE_STOPPED && g_state.exitCode != 0) {
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(g_state.exitCode);
    } else {
        status.dwWin32ExitCode = NO_ERROR;
        status.dwServiceSpecificExitCode = 0;
    }
    if (g_state.statusHandle)
        SetServiceStatus(g_state.statusHandle, &status);
}

// From a control or console thread: asks the event loop's thread to stop, once, unless the
// service has already finished.
void requestStopOnce()
{
    const std::lock_guard<std::mutex> gate(g_hookGate);
    Hooks hooks;
    {
        const std::lock_guard<std::mutex> lock(g_state.mutex);
        if (g_state.stopRequested || g_state.finished)
            return;
        g_state.stopRequested = true;
        if (g_state.mode == Mode::Service)
            reportLocked(SERVICE_STOP_PENDING);
        hooks = g_state.hooks;
    }
    // Outside the state's lock: the hook may log or post to the event loop.
    if (hooks.requestStop)
        hooks.requestStop(hooks.context);
}

DWORD WINAPI controlHandler(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        requestStopOnce();
        return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: {
        const std::lock_guard<std::mutex> lock(g_state.mutex);
        const DWORD from = control == SERVICE_CONTROL_PAUSE ? SERVICE_RUNNING : SERVICE_PAUSED;
        if (!g_state.stopRequested && g_state.status.dwCurrentState == from)
            reportLocked(control == SERVICE_CONTROL_PAUSE ? SERVICE_PAUSED : SERVICE_RUNNING);
        return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// On a thread of the dispatcher's. Stays until the event loop has ended, so that STOPPED is
// the last thing this process tells the manager.
void WINAPI serviceMain(DWORD, LPWSTR *)
{
    std::wstring name;
    {
        const std::lock_guard<std::mutex> lock(g_state.mutex);
        name = g_state.name;
    }
    const SERVICE_STATUS_HANDLE handle =
            RegisterServiceCtrlHandlerExW(name.c_str(), &controlHandler, nullptr);
    const DWORD error = handle ? NO_ERROR : GetLastError();

    std::unique_lock<std::mutex> lock(g_state.mutex);
    if (!handle) {
        g_state.mode = Mode::Failed;
        g_state.failure = error;
        g_state.changed.notify_all();
        return;
    }
    g_state.statusHandle = handle;
    reportLocked(SERVICE_START_PENDING);
    g_state.mode = Mode::Service;
    g_state.changed.notify_all();
    g_state.changed.wait(lock, [] { return g_state.finished; });
    reportLocked(SERVICE_STOPPED);
}

// StartServiceCtrlDispatcherW blocks its thread for the service's whole life, so it runs here
// and the event loop keeps the thread that called run().
void dispatch()
{
    std::wstring name;
    {
        const std::lock_guard<std::mutex> lock(g_state.mutex);
        name = g_state.name;
    }
    SERVICE_TABLE_ENTRYW table[] = { { name.data(), &serviceMain }, { nullptr, nullptr } };
    const BOOL served = StartServiceCtrlDispatcherW(table);
    const DWORD error = served ? NO_ERROR : GetLastError();

    const std::lock_guard<std::mutex> lock(g_state.mutex);
    g_state.dispatcherReturned = true;
    if (g_state.mode == Mode::Undecided) {
        // Not started by the manager: a developer or a test runs the program by hand.
        g_state.mode = error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT ? Mode::Foreground
                                                                        : Mode::Failed;
        g_state.failure = error;
    }
    g_state.changed.notify_all();
}

BOOL WINAPI consoleHandler(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    requestStopOnce();
    return TRUE;
}

// After exec has returned: waits for a stop request still on its way through the hook, and
// turns away every later one.
void markFinished(int exitCode)
{
    const std::lock_guard<std::mutex> gate(g_hookGate);
    const std::lock_guard<std::mutex> lock(g_state.mutex);
    g_state.exitCode = exitCode;
    g_state.finished = true;
    g_state.changed.notify_all();
}

int runInForeground(const Hooks &hooks)
{
    if (!hooks.start(hooks.context)) {
        markFinished(1);
        return 1;
    }
    SetConsoleCtrlHandler(&consoleHandler, TRUE);
    const int exitCode = hooks.exec(hooks.context);
    // A handler already running on the console's thread is not stopped by this; markFinished
    // waits for it.
    SetConsoleCtrlHandler(&consoleHandler, FALSE);
    markFinished(exitCode);
    return exitCode;
}

WORD eventType(LogType type)
{
    switch (type) {
    case LogType::Success:
        return EVENTLOG_SUCCESS;
    case LogType::Error:
        return EVENTLOG_ERROR_TYPE;
    case LogType::Warning:
        return EVENTLOG_WARNING_TYPE;
    case LogType::Information:
        break;
    }
    return EVENTLOG_INFORMATION_TYPE;
}

using ServiceHandle = UniqueHandle<SC_HANDLE>;

std::wstring thisExecutable()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The event log's sources of the Application log, in the 64-bit view of the registry.
constexpr wchar_t kEventSources[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

} // namespace

int run(const std::string &serviceName, const Hooks &hooks)
{
    if (!hooks.start || !hooks.exec)
        return 1;
    {
        const std::lock_guard<std::mutex> lock(g_state.mutex);
        g_state.name = toWide(serviceName);
        g_state.hooks = hooks;
        g_state.mode = Mode::Undecided;
        g_state.failure = NO_ERROR;
        g_state.dispatcherReturned = false;
        g_state.stopRequested = false;
        g_state.finished = false;
        g_state.exitCode = 0;
        g_state.statusHandle = nullptr;
        g_state.status = SERVICE_STATUS{};
    }

    std::thread dispatcher(&dispatch);
    Mode mode = Mode::Undecided;
    DWORD failure = NO_ERROR;
    {
        std::unique_lock<std::mutex> lock(g_state.mutex);
        g_state.changed.wait(lock, [] { return g_state.mode != Mode::Undecided; });
        mode = g_state.mode;
        failure = g_state.failure;
    }

    if (mode == Mode::Foreground) {
        dispatcher.join();
        return runInForeground(hooks);
    }
    if (mode == Mode::Failed) {
        bool returned = false;
        {
            const std::lock_guard<std::mutex> lock(g_state.mutex);
            returned = g_state.dispatcherReturned;
        }
        // A dispatcher whose ServiceMain could not register never returns; the process ends.
        if (returned)
            dispatcher.join();
        else
            dispatcher.detach();
        log(serviceName,
            "The service could not connect to the service control manager: error "
                    + std::to_string(failure),
            LogType::Error, 0, 0);
        return 1;
    }

    int exitCode = 1;
    if (hooks.start(hooks.context)) {
        {
            const std::lock_guard<std::mutex> lock(g_state.mutex);
            reportLocked(SERVICE_RUNNING);
        }
        exitCode = hooks.exec(hooks.context);
    }
    markFinished(exitCode);
    // Returns once ServiceMain has reported STOPPED.
    dispatcher.join();
    return exitCode;
}

void log(const std::string &serviceName, const std::string &text, LogType type, int id,
         unsigned category)
{
    // A source per entry: no handle to share between threads, and an entry costs little.
    const HANDLE source = RegisterEventSourceW(nullptr, toWide(serviceName).c_str());
    if (!source)
        return;
    const std::wstring wideText = toWide(text);
    LPCWSTR strings[] = { wideText.c_str() };
    ReportEventW(source, eventType(type), static_cast<WORD>(category), static_cast<DWORD>(id),
                 nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

unsigned long install(const std::string &serviceName, const InstallOptions &options)
{
    std::wstring program = toWide(options.binaryPath);
    if (program.empty())
        program = thisExecutable();
    if (program.empty())
        return GetLastError();
    // Quoted: an unquoted path with spaces lets the manager start C:\Program.exe instead.
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!options.arguments.empty())
        commandLine += L" " + toWide(options.arguments);

    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE),
                                CloseServiceHandle);
    if (!manager)
        return GetLastError();
    const std::wstring name = toWide(serviceName);
    const std::wstring displayName =
            toWide(options.displayName.empty() ? serviceName : options.displayName);
    const std::wstring account = toWide(options.account);
    const std::wstring password = toWide(options.password);
    const ServiceHandle service(CreateServiceW(
            manager.get(), name.c_str(), displayName.c_str(), SERVICE_CHANGE_CONFIG,
            SERVICE_WIN32_OWN_PROCESS,
            options.startType == StartType::Automatic ? SERVICE_AUTO_START : SERVICE_DEMAND_START,
            SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr, nullptr,
            account.empty() ? nullptr : account.c_str(),
            password.empty() ? nullptr : password.c_str()), CloseServiceHandle);
    if (!service)
        return GetLastError();
    if (!options.description.empty()) {
        // Cosmetic: the service is installed even if the manager refuses the text.
        std::wstring description = toWide(options.description);
        SERVICE_DESCRIPTIONW info{ description.data() };
        ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &info);
    }
    return NO_ERROR;
}

unsigned long uninstall(const std::string &serviceName)
{
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT),
                                CloseServiceHandle);
    if (!manager)
        return GetLastError();
    const ServiceHandle service(OpenServiceW(manager.get(), toWide(serviceName).c_str(), DELETE),
                                CloseServiceHandle);
    if (!service)
        return GetLastError();
    // A running service is only marked; the manager removes it once it has stopped.
    if (!DeleteService(service.get()))
        return GetLastError();
    return NO_ERROR;
}

unsigned long registerEventSource(const std::string &serviceName, const std::string &messageFile)
{
    std::wstring file = toWide(messageFile);
    if (file.empty())
        file = thisExecutable();
    if (file.empty())
        return GetLastError();
    HKEY created = nullptr;
    const std::wstring key = kEventSources + toWide(serviceName);
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                  nullptr, &created, nullptr);
    if (status != ERROR_SUCCESS)
        return static_cast<unsigned long>(status);
    const UniqueHandle<HKEY> source(created, RegCloseKey);
    // The types the service writes; "Success" entries are shown as information.
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    status = RegSetValueExW(source.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE *>(file.c_str()),
                            static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
    if (status == ERROR_SUCCESS)
        status = RegSetValueExW(source.get(), L"TypesSupported", 0, REG_DWORD,
                                reinterpret_cast<const BYTE *>(&types), sizeof(types));
    return static_cast<unsigned long>(status);
}

unsigned long unregisterEventSource(const std::string &serviceName)
{
    const std::wstring key = kEventSources + toWide(serviceName);
    return static_cast<unsigned long>(
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0));
}

bool runManagerSwitch(const std::string &serviceName, const std::string &description,
                      const std::string &argument, int *exitCode)
{
    // What an installer runs: the service starting with the system, and its event log source
    // (also when the service was registered already, as a reinstall finds it).
    if (argument == "-i" || argument == "-install") {
        InstallOptions options;
        options.description = description;
        options.startType = StartType::Automatic;
        const unsigned long installed = install(serviceName, options);
        const unsigned long registered = registerEventSource(serviceName);
        *exitCode = static_cast<int>(installed != NO_ERROR ? installed : registered);
        return true;
    }
    // The service is removed once it has stopped; its source goes now, it has nothing to log.
    if (argument == "-u" || argument == "-uninstall") {
        const unsigned long removed = uninstall(serviceName);
        const unsigned long unregistered = unregisterEventSource(serviceName);
        *exitCode = static_cast<int>(removed != NO_ERROR ? removed
                                     : unregistered == ERROR_FILE_NOT_FOUND ? NO_ERROR
                                                                            : unregistered);
        return true;
    }
    return false;
}

} // namespace servicecontrol
