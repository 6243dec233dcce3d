#include "IniSettingsStore.h"
#include "IniText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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
std::optional<T> IniSettingsStore::typed(const QString& key,
                                         std::optional<T> (*parse)(const QVariant&)) const
{
    if (const std::optional<T> stored = parse(storedValue(key))) {
        return stored;
    }
    return parse(m_defaults.value(key));
}

std::optional<qint64> IniSettingsStore::integer(const QString& key) const
{
    return typed<qint64>(key, parseInteger);
}

std::optional<bool> IniSettingsStore::boolean(const QString& key) const
{
    return typed<bool>(key, parseBoolean);
}

std::optional<QDateTime> IniSettingsStore::date(const QString& key) const
{
    if (std::optional<QDateTime> stored = parseDate(storedValue(key))) {
        return stored;
    }
    return parseDate(m_defaults.value(key));
}

Outcome IniSettingsStore::failure(const QString& doing, const QString& reason) const
{
    return Outcome::failure(QStringLiteral("Could not %1 %2: %3").arg(doing, m_filePath, reason));
}

Outcome IniSettingsStore::write(const QVariantMap& values)
{
    const QFileInfo existing(m_filePath);
    QByteArray text;
    if (existing.isDir()) {
        return failure(QStringLiteral("save the settings to"), systemWords(EISDIR));
    }
    if (existing.exists()) {
        QFile current(m_filePath);
        if (!current.open(QIODevice::ReadOnly)) {
            return failure(QStringLiteral("read"), current.errorString());
        }
        text = current.readAll();
    }
    text = iniTextWithValues(text, values);

    if (const std::optional<QString> problem = makeFolder(existing.absolutePath())) {
        return failure(QStringLiteral("create the folder of"), *problem);
    }
    // QSaveFile would refuse a file it may not write in words of its own.
    if (::access(QFile::encodeName(m_filePath).constData(), W_OK) != 0 && errno != ENOENT) {
        return failure(QStringLiteral("save the settings to"), systemWords(errno));
    }
    // A link stays a link: the file it points to is the one replaced.
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush()) {
        return failure(QStringLiteral("save the settings to"), file.errorString());
    }
    // QSettings, which reads the file, takes it as unchanged while its size and modification time
    // (to the millisecond) are; a write within the millisecond of the one before must show.
    const QDateTime previous = existing.exists() ? existing.lastModified() : QDateTime();
    file.setFileTime(std::max(QDateTime::currentDateTime(), previous.addMSecs(1)),
                     QFileDevice::FileModificationTime);
    if (!file.commit()) {
        return failure(QStringLiteral("save the settings to"), file.errorString());
    }
    // QSaveFile names its copy "<file>.XXXXXX" for a moment before renaming it over the file; a
    // write killed in that moment leaves it behind. (Matched by hand: a name filter would load a
    // regular expression engine into an agent that otherwise has no use for one.)
    const QDir folder = existing.absoluteDir();
    const QString copy = existing.fileName() + QLatin1Char('.');
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden, QDir::NoSort)) {
        if (name.size() == copy.size() + 6 && name.startsWith(copy)) {
            QFile::remove(folder.filePath(name));
        }
    }
    return Outcome::success();
}

Outcome IniSettingsStore::removeAll()
{
    m_removed.reset();
    // Left by versions that wrote through QSettings, which locks the file while it writes.
    QFile::remove(m_filePath + QStringLiteral(".lock"));
    const QFileInfo info(m_filePath);
    Removed removed;
    if (info.isSymLink()) {
        // The link goes, never the file it points to, which lies outside the agent's folder.
        QByteArray target(4096, '\0');
        const ssize_t length =
            ::readlink(QFile::encodeName(m_filePath).constData(), target.data(), target.size());
        if (length < 0) {
            return failure(QStringLiteral("remove"), systemWords(errno));
        }
        target.truncate(length);
        removed.linkTarget = target;
    } else if (!info.exists()) {
        return Outcome::success();
    } else if (info.isFile()) {
        QFile current(m_filePath);
        if (!current.open(QIODevice::ReadOnly)) {
            return failure(QStringLiteral("remove"), current.errorString());
        }
        removed.contents = current.readAll();
    }
    QFile file(m_filePath);
    if (!file.remove()) {
        return failure(QStringLiteral("remove"), file.errorString());
    }
    m_removed = std::move(removed);
    return Outcome::success();
}

Outcome IniSettingsStore::restoreRemoved()
{
    if (!m_removed) {
        return Outcome::success();
    }
    const Removed removed = *std::exchange(m_removed, std::nullopt);
    const QByteArray path = QFile::encodeName(m_filePath);
    if (removed.linkTarget) {
        if (::symlink(removed.linkTarget->constData(), path.constData()) != 0) {
            return failure(QStringLiteral("put back"), systemWords(errno));
        }
        return Outcome::success();
    }
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(removed.contents) != removed.contents.size() || !file.commit()) {
        return failure(QStringLiteral("put back"), file.errorString());
    }
    return Outcome::success();
}
