#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// python3-dbusmock on the session bus, which CTest gives each D-Bus test of its own
// (dbus-run-session). The mock ends with this object, and its bus name is free again by then.
class DbusMock {
public:
    // Arguments as dbusmock takes them: "--template logind", or a bus name, path and interface.
    DbusMock(QString busName, const QStringList& arguments);
    ~DbusMock();
    DbusMock(const DbusMock&) = delete;
    DbusMock& operator=(const DbusMock&) = delete;

    bool isUp() const { return m_up; }

private:
    bool waitForName(bool owned);

    QString m_busName;
    QProcess m_process;
    bool m_up = false;
};
