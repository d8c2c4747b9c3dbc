#include "base/servicelog.h"

#include <atomic>

namespace {

// Read by every thread that logs; set by the service's start and by tests between cases.
std::atomic<ServiceLogWriter> g_pfnServiceLog{nullptr};

} // namespace

ServiceLogWriter setServiceLogWriter(ServiceLogWriter writer)
{
    return g_pfnServiceLog.exchange(writer);
}

void writeServiceLog(const std::string &entry)
{
    if (const ServiceLogWriter writer = g_pfnServiceLog.load())
        writer(entry);
}
