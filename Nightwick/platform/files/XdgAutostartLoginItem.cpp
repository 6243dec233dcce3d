#include "XdgAutostartLoginItem.h"
#include "WholeFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStandardPaths>

#include <algorithm>

namespace {

const QString autostartArgument = QStringLiteral("--autostart");

// Characters that oblige an argument to be quoted, and those that must be escaped inside quotes.
const QString reservedCharacters = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
const QString escapedInQuotes = QStringLiteral("\"`$\\");

QString quoteArgument(const QString& argument)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == QLatin1Char('%')) {
            quoted += QLatin1String("%%");
            continue;
        }
        if (escapedInQuotes.contains(c)) {
            quoted += QLatin1Char('\\');
        }
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

QString plainArgument(const QString& argument)
{
    QString plain = argument;
    return plain.replace(QLatin1String("%"), QLatin1String("%%"));
}

// The escapes every string value in a desktop entry may carry.
QString escapeString(const QString& value)
{
    QString escaped;
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\':
            escaped += QLatin1String("\\\\");
            break;
        case '\n':
            escaped += QLatin1String("\\n");
            break;
        case '\t':
            escaped += QLatin1String("\\t");
            break;
        case '\r':
            escaped += QLatin1String("\\r");
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

QString unescapeString(const QString& value)
{
    QString plain;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            plain += c;
            continue;
        }
        const QChar next = value.at(++i);
        switch (next.unicode()) {
        case 's':
            plain += QLatin1Char(' ');
            break;
        case 'n':
            plain += QLatin1Char('\n');
            break;
        case 't':
            plain += QLatin1Char('\t');
            break;
        case 'r':
            plain += QLatin1Char('\r');
            break;
        case '\\':
            plain += QLatin1Char('\\');
            break;
        default:
            plain += c;
            plain += next;
        }
    }
    return plain;
}

// Field codes stand for things the launcher fills in; "%%" is a literal percent sign.
std::optional<QString> expandFieldCodes(const QString& argument)
{
    QString expanded;
    for (qsizetype i = 0; i < argument.size(); ++i) {
        if (argument.at(i) != QLatin1Char('%')) {
            expanded += argument.at(i);
            continue;
        }
        if (++i == argument.size()) {
            return std::nullopt;
        }
        if (argument.at(i) == QLatin1Char('%')) {
            expanded += QLatin1Char('%');
        }
    }
    return expanded;
}

// The keys of the [Desktop Entry] group, or nothing when the file cannot be read.
std::optional<QHash<QString, QString>> readDesktopEntry(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    QHash<QString, QString> keys;
    bool inMainGroup = false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& rawLine : lines) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (inMainGroup && equals > 0) {
            keys.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
        }
    }
    return keys;
}

} // namespace

QString DesktopExec::format(const QString& program, const QStringList& arguments)
{
    QStringList words{quoteArgument(program)};
    for (const QString& argument : arguments) {
        const bool needsQuotes =
            argument.isEmpty() || std::any_of(argument.begin(), argument.end(), [](QChar c) {
                return reservedCharacters.contains(c);
            });
        words << (needsQuotes ? quoteArgument(argument) : plainArgument(argument));
    }
    return escapeString(words.join(QLatin1Char(' ')));
}

std::optional<QStringList> DesktopExec::parse(const QString& fileValue)
{
    const QString value = unescapeString(fileValue);
    QStringList words;
    QString word;
    bool inWord = false;
    bool inQuotes = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (inQuotes) {
            if (c == QLatin1Char('"')) {
                inQuotes = false;
            } else if (c == QLatin1Char('\\') && i + 1 < value.size() &&
                       escapedInQuotes.contains(value.at(i + 1))) {
                word += value.at(++i);
            } else {
                word += c;
            }
        } else if (c == QLatin1Char('"')) {
            inQuotes = true;
            inWord = true;
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (inWord) {
                words << word;
            }
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inQuotes) {
        return std::nullopt;
    }
    if (inWord) {
        words << word;
    }
    QStringList expanded;
    for (const QString& w : std::as_const(words)) {
        const std::optional<QString> plain = expandFieldCodes(w);
        if (!plain) {
            return std::nullopt;
        }
        if (!plain->isEmpty() || w.isEmpty()) {
            expanded << *plain;
        }
    }
    return expanded;
}

XdgAutostartLoginItem::XdgAutostartLoginItem(QString entryFile, QString programFile)
    : m_entryFile(std::move(entryFile))
    , m_programFile(std::move(programFile))
{
}

QString XdgAutostartLoginItem::defaultEntryFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/nightwick.desktop");
}

bool XdgAutostartLoginItem::isEnabled() const
{
    const auto entry = readDesktopEntry(m_entryFile);
    if (!entry) {
        return false;
    }
    const std::optional<QStringList> command =
        DesktopExec::parse(entry->value(QStringLiteral("Exec")));
    const bool ours = command && !command->isEmpty() && command->first() == m_programFile;
    const bool hidden = entry->value(QStringLiteral("Hidden")) == QLatin1String("true");
    const bool switchedOff =
        entry->value(QStringLiteral("X-GNOME-Autostart-enabled")) == QLatin1String("false");
    return ours && !hidden && !switchedOff;
}

Outcome XdgAutostartLoginItem::enable()
{
    const QString contents = QStringLiteral("[Desktop Entry]\n"
                                            "Type=Application\n"
                                            "Name=Nightwick\n"
                                            "Comment=Reminds you to charge your mouse at shutdown\n"
                                            "Exec=%1\n"
                                            "Terminal=false\n"
                                            "NoDisplay=true\n"
                                            "X-GNOME-Autostart-enabled=true\n")
                                 .arg(DesktopExec::format(m_programFile, {autostartArgument}));
    const QString folder = QFileInfo(m_entryFile).absolutePath();
    if (!QDir().mkpath(folder)) {
        return Outcome::failure(
            QStringLiteral("Could not create the folder %1 for %2.").arg(folder, m_entryFile));
    }
    if (const std::optional<QString> problem = WholeFile::write(m_entryFile, contents.toUtf8())) {
        return Outcome::failure(
            QStringLiteral("Could not write %1: %2").arg(m_entryFile, *problem));
    }
    return Outcome::success();
}

Outcome XdgAutostartLoginItem::disable()
{
    QFile file(m_entryFile);
    if (!file.exists()) {
        return Outcome::success();
    }
    if (!file.remove()) {
        return Outcome::failure(
            QStringLiteral("Could not remove %1: %2").arg(m_entryFile, file.errorString()));
    }
    return Outcome::success();
}
