#include "IniSettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

// INI files hold text, so a value read back is a string whatever was written; the defaults
// registered in memory keep their own types.
std::optional<qint64> parseInteger(const QVariant& value)
{
    if (value.typeId() == QMetaType::LongLong || value.typeId() == QMetaType::Int) {
        return value.toLongLong();
    }
    if (value.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    bool ok = false;
    const qint64 number = value.toString().trimmed().toLongLong(&ok);
    return ok ? std::optional<qint64>(number) : std::nullopt;
}

std::optional<bool> parseBoolean(const QVariant& value)
{
    if (value.typeId() == QMetaType::Bool) {
        return value.toBool();
    }
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1")) {
        return true;
    }
    if (text == QLatin1String("false") || text == QLatin1String("0")) {
        return false;
    }
    return std::nullopt;
}

std::optional<QDateTime> parseDate(const QVariant& value)
{
    if (value.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    const QDateTime parsed = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    if (!parsed.isValid()) {
        return std::nullopt;
    }
    return parsed.toUTC();
}

} // namespace

IniSettingsStore::IniSettingsStore(const QString& filePath)
    : m_filePath(filePath)
{
}

QString IniSettingsStore::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/nightwick/nightwick.conf");
}

void IniSettingsStore::registerDefaults(const QVariantMap& defaults)
{
    for (auto it = defaults.begin(); it != defaults.end(); ++it) {
        m_defaults.insert(it.key(), it.value());
    }
}

QVariant IniSettingsStore::storedValue(const QString& key) const
{
    // Read afresh each time: the user may have edited the file while the agent runs.
    const QSettings settings(m_filePath, QSettings::IniFormat);
    return settings.value(key);
}

// A value that cannot be read as the wanted type counts as unset, so a garbled line falls back
// to the registered default (a threshold of "ten" reminds at 10, not at 0).
template <typename T>
T IniSettingsStore::typed(const QString& key, std::optional<T> (*parse)(const QVariant&),
                          T fallback) const
{
    if (const std::optional<T> stored = parse(storedValue(key))) {
        return *stored;
    }
    return parse(m_defaults.value(key)).value_or(fallback);
}

qint64 IniSettingsStore::integer(const QString& key) const
{
    return typed<qint64>(key, parseInteger, 0);
}

bool IniSettingsStore::boolean(const QString& key) const
{
    return typed<bool>(key, parseBoolean, false);
}

std::optional<QDateTime> IniSettingsStore::date(const QString& key) const
{
    if (std::optional<QDateTime> stored = parseDate(storedValue(key))) {
        return stored;
    }
    return parseDate(m_defaults.value(key));
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
