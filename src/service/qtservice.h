#pragma once

#include <QByteArray>
#include <QFlags>
#include <QString>

#include <atomic>
#include <string>
#include <vector>

// Our own small service framework. On Linux the service runs in the foreground as systemd
// expects of a Type=simple or Type=notify unit; on Windows the same class talks to the
// service control manager. The platform half is servicecontrol.h.
class QtServiceBase
{
public:
    enum MessageType { Success = 0, Error, Warning, Information };

    enum ServiceFlag {
        Default = 0x00,
        CanBeSuspended = 0x01,
        CannotBeStopped = 0x02,
        NeedsStopOnShutdown = 0x04
    };
    Q_DECLARE_FLAGS(ServiceFlags, ServiceFlag)

    // argv must stay valid for the life of the service (main's argv does).
    QtServiceBase(int argc, char **argv, const QString &name);
    virtual ~QtServiceBase();

    QtServiceBase(const QtServiceBase &) = delete;
    QtServiceBase &operator=(const QtServiceBase &) = delete;

    QString serviceName() const;
    QString serviceDescription() const;
    void setServiceDescription(const QString &description);
    ServiceFlags serviceFlags() const;
    void setServiceFlags(ServiceFlags flags);

    // Handles -h/--help and -v/--version as the first argument (prints, returns 0 without
    // starting); otherwise createApplication, start, event loop until a stop request, and
    // returns the event loop's code.
    int exec();

    // Safe from any thread.
    void logMessage(const QString &message, MessageType type = Success, int id = 0,
                    uint category = 0, const QByteArray &data = QByteArray());

    static QtServiceBase *instance();

protected:
    virtual void start() = 0;
    virtual void stop();
    virtual void pause();
    virtual void resume();
    virtual void processCommand(int code);

    virtual void createApplication(int &argc, char **argv) = 0;
    virtual int executeApplication() = 0;

    // Picks Qt's offscreen platform when no display is reachable, so that a service on a
    // headless machine can still create a QApplication. Call before creating it.
    static void prepareHeadlessPlatform();

private:
    friend class QtServiceStopRequest;

    static bool startHook(void *context);
    static int execHook(void *context);
    static void requestStopHook(void *context);

    // All fields below are written on the main thread before exec(); afterwards only
    // m_name is read from other threads (logMessage), and it never changes.
    const std::string m_name;
    QString m_description;
    ServiceFlags m_flags;
    int m_argc;                 // QApplication keeps a reference to it
    std::vector<char *> m_argv; // own copy: QApplication removes the switches it consumes

    static std::atomic<QtServiceBase *> s_instance;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(QtServiceBase::ServiceFlags)

template <typename Application>
class QtService : public QtServiceBase
{
public:
    QtService(int argc, char **argv, const QString &name)
        : QtServiceBase(argc, argv, name), m_app(nullptr)
    {
    }

    // Runs after the derived service's members are gone, so nothing of the service still
    // uses the application when it goes.
    ~QtService() override { delete m_app; }

protected:
    Application *application() const { return m_app; }

    void createApplication(int &argc, char **argv) override
    {
        prepareHeadlessPlatform();
        m_app = new Application(argc, argv);
    }

    int executeApplication() override { return Application::exec(); }

private:
    Application *m_app;
};
