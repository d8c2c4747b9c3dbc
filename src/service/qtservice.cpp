#include "service/qtservice.h"

#include "base/version.h"
#include "service/servicecontrol.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>

#include <cstdio>
#include <cstring>
#include <mutex>

std::atomic<QtServiceBase *> QtServiceBase::s_instance{nullptr};

// Lives on the main thread, beside the application: a stop request from the platform's
// thread becomes stop() and the end of the event loop there.
class QtServiceStopRequest : public QObject
{
    Q_OBJECT

public:
    explicit QtServiceStopRequest(QtServiceBase *service) : m_service(service) {}
    ~QtServiceStopRequest() override { std::lock_guard<std::mutex> lock(m_postGate); }

    // Any thread. The call is posted under m_postGate, which the main thread takes before it
    // frees what was posted: ThreadSanitizer sees that order. The event list it is appended to
    // stays behind Qt's own lock (named in tests/sanitizers/tsan.supp).
    Q_NEVER_INLINE void post()
    {
        std::lock_guard<std::mutex> lock(m_postGate);
        QMetaObject::invokeMethod(this, "onStopRequested", Qt::QueuedConnection);
    }

public slots:
    void onStopRequested()
    {
        { std::lock_guard<std::mutex> lock(m_postGate); }
        m_service->stop();
        QCoreApplication::exit(0);
    }

private:
    QtServiceBase *m_service;
    std::mutex m_postGate;
};

namespace {
// One run of exec(), handed to the platform's hooks as their context.
struct QtServiceRun {
    QtServiceBase *service = nullptr;
    // Set on the main thread once the application exists; read by the platform's thread.
    std::atomic<QtServiceStopRequest *> stopRequest{nullptr};
};
} // namespace

QtServiceBase::QtServiceBase(int argc, char **argv, const QString &name)
    : m_name(name.toStdString()), m_flags(Default), m_argc(argc > 0 ? argc : 0)
{
    for (int i = 0; i < m_argc; ++i)
        m_argv.push_back(argv[i]);
    m_argv.push_back(nullptr);
    s_instance.store(this);
}

QtServiceBase::~QtServiceBase()
{
    QtServiceBase *self = this;
    s_instance.compare_exchange_strong(self, nullptr);
}

QString QtServiceBase::serviceName() const
{
    return QString::fromStdString(m_name);
}

QString QtServiceBase::serviceDescription() const
{
    return m_description;
}

void QtServiceBase::setServiceDescription(const QString &description)
{
    m_description = description;
}

QtServiceBase::ServiceFlags QtServiceBase::serviceFlags() const
{
    return m_flags;
}

void QtServiceBase::setServiceFlags(ServiceFlags flags)
{
    m_flags = flags;
}

QtServiceBase *QtServiceBase::instance()
{
    return s_instance.load();
}

void QtServiceBase::stop() {}
void QtServiceBase::pause() {}
void QtServiceBase::resume() {}
void QtServiceBase::processCommand(int) {}

int QtServiceBase::exec()
{
    // Only the first argument is ours: later ones belong to the service (its "-e <x>" may
    // well be followed by anything).
    if (m_argc > 1 && m_argv[1]) {
        const char *first = m_argv[1];
        const std::string program = m_argv[0] ? m_argv[0] : m_name.c_str();
        if (std::strcmp(first, "-h") == 0 || std::strcmp(first, "--help") == 0) {
            std::printf("Usage: %s [option]\n"
                        "Runs the service %s in the foreground until SIGTERM, SIGINT or SIGHUP.\n"
                        "%s%s"
                        "Options:\n"
                        "  -h, --help     show this help and exit\n"
                        "  -v, --version  show the version and exit\n",
                        program.c_str(), m_name.c_str(), m_description.toStdString().c_str(),
                        m_description.isEmpty() ? "" : "\n");
            std::fflush(stdout);
            return 0;
        }
        if (std::strcmp(first, "-v") == 0 || std::strcmp(first, "--version") == 0) {
            std::printf("%s %s\n", m_name.c_str(), kServiceVersion);
            std::fflush(stdout);
            return 0;
        }
        int exitCode = 0;
        if (servicecontrol::runManagerSwitch(m_name, m_description.toStdString(), first, &exitCode))
            return exitCode;
    }

    QtServiceRun run;
    run.service = this;
    servicecontrol::Hooks hooks;
    hooks.context = &run;
    hooks.start = &QtServiceBase::startHook;
    hooks.exec = &QtServiceBase::execHook;
    hooks.requestStop = &QtServiceBase::requestStopHook;
    const int code = servicecontrol::run(m_name, hooks);
    // The platform calls requestStop no more once run() has returned.
    delete run.stopRequest.exchange(nullptr);
    return code;
}

bool QtServiceBase::startHook(void *context)
{
    auto *run = static_cast<QtServiceRun *>(context);
    QtServiceBase *service = run->service;
    service->createApplication(service->m_argc, service->m_argv.data());
    run->stopRequest.store(new QtServiceStopRequest(service));
    service->start();
    return true;
}

int QtServiceBase::execHook(void *context)
{
    return static_cast<QtServiceRun *>(context)->service->executeApplication();
}

void QtServiceBase::requestStopHook(void *context)
{
    if (QtServiceStopRequest *receiver = static_cast<QtServiceRun *>(context)->stopRequest.load())
        receiver->post();
}

void QtServiceBase::logMessage(const QString &message, MessageType type, int id, uint category,
                               const QByteArray &)
{
    servicecontrol::log(m_name, message.toStdString(), static_cast<servicecontrol::LogType>(type),
                        id, category);
}

void QtServiceBase::prepareHeadlessPlatform()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // An empty value is no display either; Qt would fail to connect and abort.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
}

#include "qtservice.moc"
