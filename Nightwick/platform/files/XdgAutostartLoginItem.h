#pragma once

#include "LoginItem.h"
#include "WholeFile.h"

#include <QString>
#include <QStringList>

#include <optional>

// Starting at login through an XDG autostart entry that runs the program with --autostart.
class XdgAutostartLoginItem final : public LoginItem {
public:
    XdgAutostartLoginItem(QString entryFile, QString programFile);

    // $XDG_CONFIG_HOME/autostart/nightwick.desktop
    static QString defaultEntryFile();

    // Enabled exactly when the entry exists, runs this program, and is neither hidden nor
    // switched off by the desktop; never for a program no entry can start.
    bool isEnabled() const override;
    // Refuses, saying why, a program whose path no entry can hold so that the programs that start
    // others at login find it (a backslash in it, a "%" beside a "=", or bytes that are not
    // UTF-8); a path with a "%" is started through env. Over an entry that is there, keeps what a
    // person or the desktop added to it.
    Outcome enable() override;
    Outcome disable() override;
    Outcome restoreDisabled() override;

private:
    QString m_entryFile;
    QString m_programFile;
    std::optional<WholeFile::Removed> m_disabled; // what disable took away
};

// The Exec value rules of the Desktop Entry Specification, both ways.
namespace DesktopExec {

// One Exec value, escaped for the file, that runs `program` with `arguments`.
QString format(const QString& program, const QStringList& arguments);
// The command line an Exec value as found in the file stands for, field codes dropped; nothing
// when the value is malformed.
std::optional<QStringList> parse(const QString& fileValue);

} // namespace DesktopExec
