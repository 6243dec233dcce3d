#include "DbusMock.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QThread>

DbusMock::DbusMock(QString busName, const QStringList& arguments)
    : m_busName(std::move(busName))
{
    m_process.setStandardOutputFile(QProcess::nullDevice()); // dbusmock logs every call there
    m_process.start("/usr/bin/python3", QStringList{"-m", "dbusmock", "--session"} + arguments);
    m_up = waitForName(true);
}

DbusMock::~DbusMock()
{
    m_process.kill();
    m_process.waitForFinished();
    waitForName(false);
}

bool DbusMock::waitForName(bool owned)
{
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        if (QDBusConnection::sessionBus().interface()->isServiceRegistered(m_busName) == owned)
            return true;
        if (owned && m_process.state() == QProcess::NotRunning)
            return false;
        QThread::msleep(10);
    }
    return false;
}
