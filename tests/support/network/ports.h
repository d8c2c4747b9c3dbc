#pragma once

#include <QtGlobal>

namespace testsupport {

// Bound the way the service binds (all interfaces), then released at once.
bool portIsFree(quint16 port);

// A port that is free on all interfaces now, from 18142 up (spread by process id, so that test
// processes running side by side do not meet), below the range the system hands out for
// outgoing connections.
quint16 freePort();

} // namespace testsupport
