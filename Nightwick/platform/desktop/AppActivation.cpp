#include "AppActivation.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>

namespace {

// How long a launch waits for the running agent to answer Activate. The agent answers before it
// does anything else, so only a spell of other work delays it: a battery refresh, at most half a
// second, a few times over on a loaded machine. Longer than that, the agent is stuck, and a
// launch from a terminal had better say so than keep the user waiting.
constexpr int activateTimeoutMs = 2000;
const QString applicationInterface = QStringLiteral("org.freedesktop.Application");

// The interface desktops use to launch and reopen D-Bus activatable applications.
class ApplicationAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit ApplicationAdaptor(AppActivation* owner)
        : QDBusAbstractAdaptor(owner)
        , m_owner(owner)
    {
    }

public slots:
    void Activate(const QVariantMap& platformData)
    {
        Q_UNUSED(platformData);
        // The caller waits for the answer, which goes out when this returns; what the activation
        // sets off, such as a battery refresh, may take a while and comes after.
        QMetaObject::invokeMethod(m_owner, &AppActivation::activated, Qt::QueuedConnection);
    }
    void Open(const QStringList& uris, const QVariantMap& platformData)
    {
        Q_UNUSED(uris);
        Activate(platformData);
    }
    void ActivateAction(const QString& name, const QVariantList& parameter,
                        const QVariantMap& platformData)
    {
        Q_UNUSED(name);
        Q_UNUSED(parameter);
        Activate(platformData);
    }

private:
    AppActivation* m_owner;
};

} // namespace

AppActivation::AppActivation(QDBusConnection sessionBus, QString appId, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(sessionBus))
    , m_appId(std::move(appId))
{
    new ApplicationAdaptor(this); // owned by this object, as Qt's adaptors are
}

AppActivation::~AppActivation()
{
    if (m_ownsName) {
        m_bus.unregisterObject(objectPath(m_appId));
        m_bus.unregisterService(m_appId);
    }
}

QString AppActivation::objectPath(const QString& appId)
{
    return QLatin1Char('/') + QString(appId).replace(QLatin1Char('.'), QLatin1Char('/'));
}

AppActivation::Role AppActivation::claim(IfRunning ifRunning)
{
    if (!m_bus.isConnected()) {
        return Role::First;
    }
    // The object goes up first, so an Activate that arrives the moment the name is ours finds it.
    m_bus.registerObject(objectPath(m_appId), this, QDBusConnection::ExportAdaptors);
    const auto reply =
        m_bus.interface()->registerService(m_appId, QDBusConnectionInterface::DontQueueService,
                                           QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        m_ownsName = true;
        return Role::First;
    }
    m_bus.unregisterObject(objectPath(m_appId));
    if (!reply.isValid()) {
        // The bus refused to answer at all: behave as if there were none.
        return Role::First;
    }
    if (ifRunning == IfRunning::LeaveAlone) {
        return Role::AlreadyRunning;
    }

    QDBusMessage activate = QDBusMessage::createMethodCall(
        m_appId, objectPath(m_appId), applicationInterface, QStringLiteral("Activate"));
    activate << QVariantMap();
    const QDBusMessage answer = m_bus.call(activate, QDBus::Block, activateTimeoutMs);
    return answer.type() == QDBusMessage::ReplyMessage ? Role::ActivatedRunning
                                                       : Role::RunningSilent;
}

#include "AppActivation.moc"
