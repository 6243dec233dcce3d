#pragma once

#include "ConsoleLogins.h"

#include <QDBusConnection>
#include <QString>

// Console logins as the C library's login records tell them, together with the user's
// graphical logind sessions: no Linux login manager writes a "console" record, so each such
// session counts as one.
class UtmpConsoleLogins final : public ConsoleLogins {
public:
    // An empty utmpFile reads the system's records.
    explicit UtmpConsoleLogins(QDBusConnection systemBus, QString utmpFile = {});

    std::optional<qint64> newestLogin() override;

    // The newest USER_PROCESS record on the line "console" in the records.
    static std::optional<qint64> newestConsoleRecord(const QString& utmpFile);

private:
    // The start of the newest x11 or wayland session of this user, in seconds since 1970.
    std::optional<qint64> newestGraphicalSession();

    QDBusConnection m_systemBus;
    QString m_utmpFile;
};
