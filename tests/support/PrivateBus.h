#pragma once

#include <QDBusConnection>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <vector>

class QProcess;

// Waits (at most 5 s) until busName is owned, or released; gives up early once its owner died.
bool waitForBusName(const QDBusConnection& bus, const QString& busName, bool owned,
                    QProcess* owner = nullptr);

// One dbus-daemon of the test's own, so tests never touch the machine's buses, plus the
// python3-dbusmock services started on it. Everything it started dies with it.
class PrivateBus {
public:
    enum class Kind { System, Session };

    explicit PrivateBus(Kind kind = Kind::System)
        : m_kind(kind)
    {
    }
    ~PrivateBus();

    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // False, with a warning saying why, when dbus-daemon cannot be started.
    bool start();
    // Ends dbus-daemon, as when the bus goes away under its clients.
    void stop();
    QString address() const { return m_address; }
    QDBusConnection connection(const QString& connectionName) const;

    // Runs a dbusmock template on this bus and waits (at most 5 s) until it owns its bus name.
    bool startTemplate(const QString& templateName, const QVariantMap& parameters = {});
    // Runs a plain dbusmock object and waits until it owns busName.
    bool startMock(const QString& busName, const QString& objectPath, const QString& interface)
    {
        return startDbusmock(busName, {busName, objectPath, interface});
    }
    // Ends the mock that owns busName and waits until the name is released.
    void stopMock(const QString& busName);

    // Points a child process at this bus instead of the machine's.
    void addTo(QProcessEnvironment& environment) const
    {
        environment.insert(m_kind == Kind::System ? "DBUS_SYSTEM_BUS_ADDRESS"
                                                  : "DBUS_SESSION_BUS_ADDRESS",
                           m_address);
    }

    // Empty when dbus-daemon and python3-dbusmock are both there, else what is missing, so a
    // test can skip with a clear reason.
    static QString missingTools();

private:
    bool startDbusmock(const QString& busName, const QStringList& arguments);

    Kind m_kind;
    QString m_address;
    std::unique_ptr<QProcess> m_daemon;
    std::vector<std::pair<QString, std::unique_ptr<QProcess>>> m_mocks;
    mutable QStringList m_connectionNames;
};
