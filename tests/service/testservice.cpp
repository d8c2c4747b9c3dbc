// A minimal service on the framework for the framework's tests. It reports every hook as a
// datagram on the notify socket, in the same stream as the framework's READY=1.
#include "service/qtservice.h"

#include <QApplication>
#include <QByteArray>
#include <QGuiApplication>
#include <QMetaObject>
#include <QThread>

#include <systemd/sd-daemon.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

void report(const QByteArray &text)
{
    sd_notify(0, QByteArray("X_HOOK=" + text).constData());
}

QByteArray onMainThread()
{
    return QThread::currentThread() == QCoreApplication::instance()->thread() ? "1" : "0";
}

} // namespace

class TestService : public QtService<QApplication>
{
public:
    TestService(int argc, char **argv)
        : QtService<QApplication>(argc, argv, QStringLiteral("MirvaleTest")), m_exitCode(-1),
          m_signalInStop(false)
    {
        // "exit-with N" ends the event loop by itself right after start; "signal-in-stop"
        // sends the process another SIGTERM while it is stopping.
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "exit-with") == 0 && i + 1 < argc)
                m_exitCode = std::atoi(argv[i + 1]);
            if (std::strcmp(argv[i], "signal-in-stop") == 0)
                m_signalInStop = true;
        }
    }

protected:
    void createApplication(int &argc, char **argv) override
    {
        report("createApplication app=" + QByteArray(QCoreApplication::instance() ? "1" : "0"));
        QtService<QApplication>::createApplication(argc, argv);
    }

    void start() override
    {
        report("start platform=" + QGuiApplication::platformName().toUtf8()
               + " main=" + onMainThread());
        if (m_exitCode >= 0) {
            const int code = m_exitCode;
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [code] { QCoreApplication::exit(code); },
                Qt::QueuedConnection);
        }
    }

    void stop() override
    {
        report("stop main=" + onMainThread());
        if (m_signalInStop)
            ::kill(::getpid(), SIGTERM);
    }

private:
    int m_exitCode;
    bool m_signalInStop;
};

int main(int argc, char **argv)
{
    TestService service(argc, argv);
    return service.exec();
}
