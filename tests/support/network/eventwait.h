#pragma once

#include <QtGlobal>

#include <functional>

// Waiting in the test thread without blocking it: the event loop keeps running, so sockets,
// signals and the service process are served while a test waits.
namespace testsupport {

// Runs the event loop until condition() holds or timeoutMs passes; true when it held.
// The condition is evaluated after every handled event and at least every pollMs, for
// conditions that no signal announces (a file's content, a process's state, a record written
// by another thread).
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 20000, int pollMs = 25);

// Runs the event loop for ms milliseconds. Only for spreading a client's steps over the
// service's one-second passes; never to wait for a result.
void pace(int ms);

// Test time-outs grow under sanitizers, which slow the service down several times.
int scaledTimeout(int ms);

} // namespace testsupport
