#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

// Keeps the agent to one process per session. The first launch owns the application's name on
// the session bus and exports org.freedesktop.Application; a later launch finds it there and
// asks it to activate instead of starting a second agent.
class AppActivation : public QObject {
    Q_OBJECT
public:
    enum class Role {
        First,            // this process is the agent
        ActivatedRunning, // another agent runs and was asked to show itself
        RunningSilent,    // another agent holds the name but did not answer
        AlreadyRunning,   // another agent runs and was left alone
    };
    // What a launch that finds another agent running asks of it.
    enum class IfRunning { Activate, LeaveAlone };

    AppActivation(QDBusConnection sessionBus, QString appId, QObject* parent = nullptr);
    ~AppActivation() override;

    // Without a session bus every launch counts as the first.
    Role claim(IfRunning ifRunning = IfRunning::Activate);

    // org.nightwick.Nightwick -> /org/nightwick/Nightwick
    static QString objectPath(const QString& appId);

signals:
    // Another launch, or the desktop, asked the running agent to show itself.
    void activated();

private:
    QDBusConnection m_bus;
    QString m_appId;
    bool m_ownsName = false;
};
