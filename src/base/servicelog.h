#pragma once

#include <string>

// The service log (the system journal, the Windows event log) of every layer: the service sets
// its writer once at start, before any agent thread exists; tests set a recorder. Entries are
// UTF-8; without a writer they are dropped. Qt-free.
using ServiceLogWriter = void (*)(const std::string &entry);

// Installs writer; returns the one it replaced.
ServiceLogWriter setServiceLogWriter(ServiceLogWriter writer);

// Hands entry to the writer. Any thread.
void writeServiceLog(const std::string &entry);
