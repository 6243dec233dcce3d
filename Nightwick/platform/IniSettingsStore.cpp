#include "IniSettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

// INI files hold text, so a value read back is a string whatever was written.
std::optional<qint64> parseInteger(const QVariant& value)
{
    bool ok = false;
    const qint64 number = value.toString().trimmed().toLongLong(&ok);
    return ok ? std::optional<qint64>(number) : std::nullopt;
}

} // namespace

IniSettingsStore::IniSettingsStore(const QString& filePath)
    : m_filePath(filePath)
{
}

QString IniSettingsStore::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/nightwick/nightwick.conf");
}

void IniSettingsStore::registerDefaults(const QVariantMap& defaults)
{
    for (auto it = defaults.begin(); it != defaults.end(); ++it) {
        m_defaults.insert(it.key(), it.value());
    }
}

QVariant IniSettingsStore::value(const QString& key) const
{
    // Read afresh each time: another copy of the agent, or the user, may have changed the file.
    const QSettings settings(m_filePath, QSettings::IniFormat);
    const QVariant stored = settings.value(key);
    return stored.isValid() ? stored : m_defaults.value(key);
}

qint64 IniSettingsStore::integer(const QString& key) const
{
    const QVariant stored = value(key);
    if (stored.typeId() == QMetaType::LongLong || stored.typeId() == QMetaType::Int) {
        return stored.toLongLong();
    }
    return parseInteger(stored).value_or(0);
}

bool IniSettingsStore::boolean(const QString& key) const
{
    const QVariant stored = value(key);
    if (stored.typeId() == QMetaType::Bool) {
        return stored.toBool();
    }
    const QString text = stored.toString().trimmed();
    if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    return parseInteger(stored).value_or(0) != 0;
}

std::optional<QDateTime> IniSettingsStore::date(const QString& key) const
{
    const QVariant stored = value(key);
    if (stored.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    const QDateTime parsed = QDateTime::fromString(stored.toString(), Qt::ISODateWithMs);
    if (!parsed.isValid()) {
        return std::nullopt;
    }
    return parsed.toUTC();
}

void IniSettingsStore::write(const QString& key, const QVariant& value)
{
    QSettings settings(m_filePath, QSettings::IniFormat);
    settings.setValue(key, value);
    settings.sync();
}

void IniSettingsStore::setInteger(const QString& key, qint64 value)
{
    write(key, QString::number(value));
}

void IniSettingsStore::setBoolean(const QString& key, bool value)
{
    write(key, value ? QStringLiteral("true") : QStringLiteral("false"));
}

void IniSettingsStore::setDate(const QString& key, const QDateTime& value)
{
    write(key, value.toUTC().toString(Qt::ISODateWithMs));
}

Outcome IniSettingsStore::removeAll()
{
    QFile::remove(m_filePath + QStringLiteral(".lock"));
    QFile file(m_filePath);
    if (!file.exists() || file.remove()) {
        return Outcome::success();
    }
    return Outcome::failure(
        QStringLiteral("Could not remove %1: %2").arg(m_filePath, file.errorString()));
}
