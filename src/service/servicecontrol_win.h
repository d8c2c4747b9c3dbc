#pragma once

#include <string>

// Installing and removing the service with the Windows service control manager: what the
// framework's install and uninstall switches call. Qt-free, Windows only
// (servicecontrol_win.cpp); run() and log() are declared in servicecontrol.h.
namespace servicecontrol {

enum class StartType { Manual, Automatic };

struct InstallOptions {
    std::string displayName; // the service name when empty
    std::string description; // none when empty
    std::string binaryPath;  // UTF-8; this executable when empty. Quoted when registered.
    std::string arguments;   // appended after the quoted path, as given
    std::string account;     // LocalSystem when empty
    std::string password;
    StartType startType = StartType::Manual;
};

// 0 on success, otherwise the Win32 error code (for example ERROR_SERVICE_EXISTS,
// ERROR_ACCESS_DENIED, ERROR_SERVICE_DOES_NOT_EXIST).
unsigned long install(const std::string &serviceName, const InstallOptions &options);
unsigned long uninstall(const std::string &serviceName);

// The service's source in the Application event log
// (HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<name>): its message file
// holds the message table that turns an entry's text into its description, so that Event Viewer
// shows it without a note that the description cannot be found. messageFile is UTF-8; this
// executable when empty. Registering again updates it; 0 or the Win32 error code.
unsigned long registerEventSource(const std::string &serviceName, const std::string &messageFile = {});
// ERROR_FILE_NOT_FOUND when there was none.
unsigned long unregisterEventSource(const std::string &serviceName);

} // namespace servicecontrol
