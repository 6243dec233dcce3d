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

// A line of a desktop entry as its readers take it; a line of another kind makes GLib refuse the
// whole file.
struct EntryLine {
    enum class Kind { Comment, Group, Key, Other } kind; // a blank line counts as a comment
    QString name;                                        // the group's header, or the key
    QString value;
};

EntryLine readLine(const QByteArray& rawLine)
{
    const QString line = QString::fromUtf8(rawLine).trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) {
        return {EntryLine::Kind::Comment, {}, {}};
    }
    if (line.startsWith(QLatin1Char('['))) {
        return {EntryLine::Kind::Group, line, {}};
    }
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (equals <= 0) {
        return {EntryLine::Kind::Other, {}, {}};
    }
    return {EntryLine::Kind::Key, line.left(equals).trimmed(), line.mid(equals + 1).trimmed()};
}

const QString mainGroup = QStringLiteral("[Desktop Entry]");

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
        const EntryLine line = readLine(rawLine);
        if (line.kind == EntryLine::Kind::Group) {
            inMainGroup = line.name == mainGroup;
        } else if (inMainGroup && line.kind == EntryLine::Kind::Key) {
            keys.insert(line.name, line.value);
        }
    }
    return keys;
}

// `entry` made to start the program at login, every line that does not stand in the way kept as
// it is: a person's translations, comments, a delay before starting, other groups. The keys that
// decide whether and what it starts are set in place; Hidden and TryExec, which could keep it from
// starting, go; lines no reader would take go too.
QByteArray startingEntry(const QByteArray& entry, const QString& exec)
{
    const QList<std::pair<QString, QString>> ours{
        {QStringLiteral("Type"), QStringLiteral("Application")},
        {QStringLiteral("Name"), QStringLiteral("Nightwick")},
        {QStringLiteral("Comment"), QStringLiteral("Reminds you to charge your mouse at shutdown")},
        {QStringLiteral("Exec"), exec},
        {QStringLiteral("Terminal"), QStringLiteral("false")},
        {QStringLiteral("NoDisplay"), QStringLiteral("true")},
        {QStringLiteral("X-GNOME-Autostart-enabled"), QStringLiteral("true")},
    };
    const QStringList setInPlace{QStringLiteral("Type"), QStringLiteral("Exec"),
                                 QStringLiteral("X-GNOME-Autostart-enabled")};
    const QStringList removed{QStringLiteral("Hidden"), QStringLiteral("TryExec")};
    const auto ourLine = [&ours](const QString& key) {
        for (const auto& [ourKey, value] : ours) {
            if (ourKey == key) {
                return (key + QLatin1Char('=') + value).toUtf8();
            }
        }
        return QByteArray();
    };

    QList<QByteArray> lines;
    QStringList present;            // keys its [Desktop Entry] group holds
    qsizetype endOfFirstGroup = -1; // where the keys it lacks go
    bool inMainGroup = false;
    bool beforeGroups = true;
    QList<QByteArray> rawLines = entry.isEmpty() ? QList<QByteArray>() : entry.split('\n');
    if (entry.endsWith('\n')) {
        rawLines.removeLast();
    }
    for (const QByteArray& rawLine : std::as_const(rawLines)) {
        const EntryLine line = readLine(rawLine);
        if (line.kind == EntryLine::Kind::Group) {
            if (inMainGroup && endOfFirstGroup < 0) {
                endOfFirstGroup = lines.size();
            }
            // Readers start with the [Desktop Entry] group or refuse the file.
            if (beforeGroups && line.name != mainGroup) {
                lines << mainGroup.toUtf8();
                endOfFirstGroup = lines.size();
            }
            beforeGroups = false;
            inMainGroup = line.name == mainGroup;
            lines << rawLine;
        } else if (line.kind == EntryLine::Kind::Comment) {
            lines << rawLine;
        } else if (line.kind == EntryLine::Kind::Other || beforeGroups) {
            continue;
        } else if (!inMainGroup) {
            lines << rawLine;
        } else if (setInPlace.contains(line.name)) {
            lines << ourLine(line.name);
            present << line.name;
        } else if (!removed.contains(line.name)) {
            lines << rawLine;
            present << line.name;
        }
    }
    if (beforeGroups) {
        lines << mainGroup.toUtf8();
    }
    if (endOfFirstGroup < 0) {
        endOfFirstGroup = lines.size();
    }
    for (const auto& [key, value] : ours) {
        if (!present.contains(key)) {
            lines.insert(endOfFirstGroup++, ourLine(key));
        }
    }
    return lines.join('\n') + '\n';
}

// GLib and systemd's generator both look for the program before they undo its escapes: GLib
// before "%%" becomes "%", systemd before its second round of backslash escapes. A "%" in the
// path therefore reaches both only as an argument, of env; no spelling of a backslash reaches
// both.
const QString env = QStringLiteral("/usr/bin/env");

// The command an entry runs to start `program` at login.
QStringList autostartCommand(const QString& program)
{
    if (program.contains(QLatin1Char('%'))) {
        return {env, program, autostartArgument};
    }
    return {program, autostartArgument};
}

// Why no entry can start `program` at login, where none can: a backslash in its path, a "%"
// beside a "=" (env would take the path for a variable to set), or a path that is not UTF-8,
// since an entry holds UTF-8 text only.
std::optional<QString> whyNoEntryStarts(const QString& program)
{
    if (program.isEmpty()) {
        return QStringLiteral("Nightwick cannot open at login: it cannot tell where its own file "
                              "is, or the file's path is not UTF-8 text, which a login entry "
                              "must be.");
    }
    if (program.contains(QChar::ReplacementCharacter)) {
        return QStringLiteral("Nightwick cannot open at login from %1: the path is not UTF-8 text, "
                              "which a login entry must be. Move Nightwick to a folder whose name "
                              "is.")
            .arg(program);
    }
    const bool hasPercent = program.contains(QLatin1Char('%'));
    if (program.contains(QLatin1Char('\\')) || (hasPercent && program.contains(QLatin1Char('=')))) {
        const QString what = hasPercent && !program.contains(QLatin1Char('\\'))
                                 ? QStringLiteral("both a \u201c%\u201d and a \u201c=\u201d")
                                 : QStringLiteral("a \u201c\\\u201d");
        return QStringLiteral("Nightwick cannot open at login from %1: the programs that start "
                              "others at login cannot start a file whose path holds %2. Move "
                              "Nightwick to a folder whose name has none.")
            .arg(program, what);
    }
    return std::nullopt;
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
    if (!entry || whyNoEntryStarts(m_programFile)) {
        return false;
    }
    const QStringList command =
        DesktopExec::parse(entry->value(QStringLiteral("Exec"))).value_or(QStringList());
    // The program itself, or the program env starts.
    const bool ours = command.value(command.value(0) == env ? 1 : 0) == m_programFile;
    const bool hidden = entry->value(QStringLiteral("Hidden")) == QLatin1String("true");
    const bool switchedOff =
        entry->value(QStringLiteral("X-GNOME-Autostart-enabled")) == QLatin1String("false");
    return ours && !hidden && !switchedOff;
}

Outcome XdgAutostartLoginItem::enable()
{
    if (const std::optional<QString> problem = whyNoEntryStarts(m_programFile)) {
        return Outcome::failure(*problem);
    }
    const QString folder = QFileInfo(m_entryFile).absolutePath();
    if (!QDir().mkpath(folder)) {
        return Outcome::failure(
            QStringLiteral("Could not create the folder %1 for %2.").arg(folder, m_entryFile));
    }
    QByteArray entry;
    if (QFileInfo(m_entryFile).isFile()) {
        QFile file(m_entryFile);
        if (!file.open(QIODevice::ReadOnly)) {
            return Outcome::failure(
                QStringLiteral("Could not read %1: %2").arg(m_entryFile, file.errorString()));
        }
        entry = file.readAll();
    }
    const QStringList command = autostartCommand(m_programFile);
    const QString exec = DesktopExec::format(command.first(), command.mid(1));
    if (const std::optional<QString> problem =
            WholeFile::write(m_entryFile, startingEntry(entry, exec))) {
        return Outcome::failure(
            QStringLiteral("Could not write %1: %2").arg(m_entryFile, *problem));
    }
    return Outcome::success();
}

Outcome XdgAutostartLoginItem::disable()
{
    if (const std::optional<QString> problem = WholeFile::remove(m_entryFile, m_disabled)) {
        return Outcome::failure(
            QStringLiteral("Could not remove %1: %2").arg(m_entryFile, *problem));
    }
    return Outcome::success();
}

Outcome XdgAutostartLoginItem::restoreDisabled()
{
    if (!m_disabled) {
        return Outcome::success();
    }
    const WholeFile::Removed removed = *std::exchange(m_disabled, std::nullopt);
    if (const std::optional<QString> problem = WholeFile::putBack(m_entryFile, removed)) {
        return Outcome::failure(
            QStringLiteral("Could not put back %1: %2").arg(m_entryFile, *problem));
    }
    return Outcome::success();
}
