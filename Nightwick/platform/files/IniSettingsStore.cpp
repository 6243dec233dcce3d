#include "IniSettingsStore.h"
#include "IniText.h"
#include "WholeFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

QString systemWords(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Makes the folder and those above it; the system's words when that fails.
std::optional<QString> makeFolder(const QString& path)
{
    if (QFileInfo(path).isDir()) {
        return std::nullopt;
    }
    if (const std::optional<QString> problem = makeFolder(QFileInfo(path).absolutePath())) {
        return problem;
    }
    if (::mkdir(QFile::encodeName(path).constData(), 0777) != 0 && errno != EEXIST) {
        return systemWords(errno);
    }
    return std::nullopt;
}

// INI files hold text, so a value read back is a string whatever was written. A value that cannot
// be read as the wanted type counts as unset: a threshold of "ten" reminds at the default, not 0.
std::optional<qint64> parseInteger(const QVariant& value)
{
    if (value.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    bool ok = false;
    const qint64 number = value.toString().trimmed().toLongLong(&ok);
    return ok ? std::optional<qint64>(number) : std::nullopt;
}

std::optional<bool> parseBoolean(const QVariant& value)
{
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

QVariant IniSettingsStore::storedValue(const QString& key) const
{
    // Read afresh each time: the user may have edited the file while the agent runs.
    const QSettings settings(m_filePath, QSettings::IniFormat);
    return settings.value(key);
}

std::optional<qint64> IniSettingsStore::integer(const QString& key) const
{
    return parseInteger(storedValue(key));
}

std::optional<bool> IniSettingsStore::boolean(const QString& key) const
{
    return parseBoolean(storedValue(key));
}

std::optional<QDateTime> IniSettingsStore::date(const QString& key) const
{
    return parseDate(storedValue(key));
}

Outcome IniSettingsStore::failure(const QString& doing, const QString& reason) const
{
    return Outcome::failure(QStringLiteral("Could not %1 %2: %3").arg(doing, m_filePath, reason));
}

Outcome IniSettingsStore::write(const QVariantMap& values)
{
    const QFileInfo existing(m_filePath);
    QByteArray text;
    if (existing.isFile()) {
        QFile current(m_filePath);
        if (!current.open(QIODevice::ReadOnly)) {
            return failure(QStringLiteral("read"), current.errorString());
        }
        text = current.readAll();
    }
    if (const std::optional<QString> problem = makeFolder(existing.absolutePath())) {
        return failure(QStringLiteral("create the folder of"), *problem);
    }
    // A link stays a link: the file it points to is the one replaced.
    if (const std::optional<QString> problem =
            WholeFile::write(m_filePath, iniTextWithValues(text, values))) {
        return failure(QStringLiteral("save the settings to"), *problem);
    }
    return Outcome::success();
}

Outcome IniSettingsStore::removeAll()
{
    // Left by versions that wrote through QSettings, which locks the file while it writes.
    QFile::remove(m_filePath + QStringLiteral(".lock"));
    // A link goes, never the file it points to, which lies outside the agent's folder.
    if (const std::optional<QString> problem = WholeFile::remove(m_filePath, m_removed)) {
        return failure(QStringLiteral("remove"), *problem);
    }
    return Outcome::success();
}

Outcome IniSettingsStore::restoreRemoved()
{
    if (!m_removed) {
        return Outcome::success();
    }
    const WholeFile::Removed removed = *std::exchange(m_removed, std::nullopt);
    if (const std::optional<QString> problem = WholeFile::putBack(m_filePath, removed)) {
        return failure(QStringLiteral("put back"), *problem);
    }
    return Outcome::success();
}
