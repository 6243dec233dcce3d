#include "IniText.h"

#include <QDateTime>
#include <QVariant>

#include <optional>

namespace {

// One logical line of an INI file, as QSettings reads it: [start, end) in the text, and where
// its first '=' outside quotes is (-1: none).
struct IniLine {
    qsizetype start = 0;
    qsizetype end = 0;
    qsizetype equals = -1;
};

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isLineBreak(char c)
{
    return c == '\n' || c == '\r';
}

// The logical line at or after `position`, read by QSettings' rules, which the file's other
// readers (the agent's older versions, the user's own tools) share: blanks before it are skipped,
// a line runs on past line breaks inside quotes or after a backslash, a ';' outside quotes ends
// it, and a line that begins with ';' is a comment. Nothing at the end of the text.
std::optional<IniLine> nextIniLine(QByteArrayView text, qsizetype& position)
{
    const qsizetype size = text.size();
    IniLine line;
    line.start = position;
    while (line.start < size && isBlank(text[line.start])) {
        ++line.start;
    }
    bool quoted = false;
    qsizetype i = line.start;
    while (i < size) {
        const char c = text[i];
        if (c == '=') {
            if (!quoted && line.equals < 0) {
                line.equals = i;
            }
        } else if (isLineBreak(c)) {
            if (i == line.start) {
                ++line.start;
            } else if (!quoted) {
                break;
            }
        } else if (c == '\\') {
            // The next character is taken as it is; an escaped line break may be two.
            if (i + 2 < size && isLineBreak(text[i + 1]) && isLineBreak(text[i + 2]) &&
                text[i + 1] != text[i + 2]) {
                i += 2;
            } else if (i + 1 < size) {
                ++i;
            }
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ';') {
            if (i == line.start) {
                while (i < size && !isLineBreak(text[i])) {
                    ++i;
                }
                while (i < size && isBlank(text[i])) {
                    ++i;
                }
                line.start = i;
                continue;
            }
            if (!quoted) {
                break;
            }
        }
        ++i;
    }
    line.end = i;
    position = i;
    return line.end > line.start ? std::optional(line) : std::nullopt;
}

// A key as QSettings reads it from the file: '\\' is its group separator, %XX and %UXXXX
// escape a character.
QString unescapedKey(QByteArrayView raw)
{
    const QString text = QString::fromUtf8(raw);
    QString key;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\\') {
            key += u'/';
            continue;
        }
        if (c != u'%' || i + 1 == text.size()) {
            key += c;
            continue;
        }
        const bool wide = text[i + 1] == u'U';
        const qsizetype digits = wide ? 4 : 2;
        const qsizetype first = i + 1 + (wide ? 1 : 0);
        bool ok = false;
        const ushort code =
            first + digits <= text.size() ? text.sliced(first, digits).toUShort(&ok, 16) : 0;
        if (!ok) {
            key += c;
            continue;
        }
        key += QChar(code);
        i = first + digits - 1;
    }
    return key;
}

// The name of a section header, which QSettings ends at the first ']'.
bool isGeneralHeader(QByteArrayView line)
{
    const qsizetype close = line.indexOf(']');
    return line.sliced(1, (close < 0 ? line.size() : close) - 1)
               .trimmed()
               .compare("general", Qt::CaseInsensitive) == 0;
}

QByteArray valueText(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool() ? "true" : "false";
    case QMetaType::QDateTime:
        return value.toDateTime().toUTC().toString(Qt::ISODateWithMs).toLatin1();
    default:
        return QByteArray::number(value.toLongLong());
    }
}

} // namespace

// The new values go first, under a [General] header of their own, and the lines that held them
// before leave; the rest stays byte for byte. Nothing before the new values can swallow them (an
// unclosed quote runs to the end of the file), and a first line that is the previous write's
// header leaves too, so the file does not grow from write to write.
QByteArray iniTextWithValues(QByteArray text, const QVariantMap& values)
{
    // QSettings finds the sections of a file that begins with a UTF-8 mark as if the mark were not
    // there, yet reads the key of the first line with it. Moved below the new values, the mark
    // stays where it begins no section header.
    constexpr QByteArrayView mark = "\xef\xbb\xbf";
    if (text.startsWith(mark)) {
        qsizetype afterMark = mark.size();
        const std::optional<IniLine> first = nextIniLine(text, afterMark);
        if (first && text[first->start] == '[') {
            text.remove(0, mark.size());
        }
    }
    QByteArray result = "[General]\n";
    for (auto it = values.begin(); it != values.end(); ++it) {
        result += it.key().toUtf8() + '=' + valueText(it.value()) + '\n';
    }

    qsizetype position = 0;
    qsizetype copied = 0;
    bool inGeneral = true; // lines before any header belong to [General]
    bool first = true;
    while (const std::optional<IniLine> line = nextIniLine(text, position)) {
        const QByteArrayView body =
            QByteArrayView(text).sliced(line->start, line->end - line->start);
        bool drop = false;
        if (body.startsWith('[')) {
            inGeneral = isGeneralHeader(body);
            drop = first && inGeneral;
        } else if (inGeneral && line->equals >= 0) {
            const QByteArrayView key =
                QByteArrayView(text).sliced(line->start, line->equals - line->start).trimmed();
            drop = values.contains(unescapedKey(key));
        }
        first = false;
        if (!drop) {
            continue;
        }
        result += QByteArrayView(text).sliced(copied, line->start - copied);
        copied = line->end;
        // With its line break, or every write would leave an empty line.
        if (copied < text.size() && isLineBreak(text[copied])) {
            ++copied;
            if (copied < text.size() && isLineBreak(text[copied]) &&
                text[copied] != text[copied - 1]) {
                ++copied;
            }
        }
    }
    return result.append(QByteArrayView(text).sliced(copied));
}
