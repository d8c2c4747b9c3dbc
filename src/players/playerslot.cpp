#include "players/playerslot.h"

#include <utility>

PlayerSlot::PlayerSlot(StopFunction stop)
    : m_pfnLaunch(nullptr), m_pfnStop(stop), m_nPlayerPid(0), m_nPlayerStartTime(0)
{
}

void PlayerSlot::setLaunchCallback(LaunchCallback launch)
{
    m_pfnLaunch = launch;
}

bool PlayerSlot::launch(std::string program, std::vector<std::string> arguments)
{
    if (!m_pfnLaunch)
        return false;
    // The callback writes both halves or neither: debug mode keeps the last player.
    ProcessIdentity launched{m_nPlayerPid, m_nPlayerStartTime};
    const bool started = m_pfnLaunch(std::move(program), std::move(arguments), &launched);
    m_nPlayerPid = launched.pid;
    m_nPlayerStartTime = launched.startTime;
    return started;
}

void PlayerSlot::stopLast()
{
    if (m_nPlayerPid != 0 && m_pfnStop)
        m_pfnStop(m_nPlayerPid, m_nPlayerStartTime);
}
