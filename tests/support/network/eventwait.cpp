#include "network/eventwait.h"

#include <QEventLoop>
#include <QTimer>

namespace testsupport {

bool waitUntil(const std::function<bool()> &condition, int timeoutMs, int pollMs)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(pollMs);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start();
    deadline.start(timeoutMs);
    loop.exec();
    return condition();
}

void pace(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int scaledTimeout(int ms)
{
    static const int factor = [] {
        const int fromEnv = qEnvironmentVariableIntValue("MIRVALE_E2E_TIME_FACTOR");
        if (fromEnv > 0)
            return fromEnv;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        return 3;
#else
        return 1;
#endif
    }();
    return ms * factor;
}

} // namespace testsupport
