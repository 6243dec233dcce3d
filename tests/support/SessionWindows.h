#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A headless session's X windows as xdotool and xwininfo see them, and a hand on xsm's window.
class SessionWindows {
public:
    // The session's environment, which names its display; read at each use.
    explicit SessionWindows(const QProcessEnvironment& environment)
        : m_environment(environment)
    {
    }

    // The card: a 560-pixel-wide override-redirect window titled "nightwick".
    bool cardShown() const;
    // A click in the middle of the card last seen.
    void clickCard() const;
    // Saves the session through xsm's buttons, as a log-out (shutdown) or a checkpoint; a log-out
    // that lets no client interact when not interactive.
    bool driveXsm(bool shutdown, bool interactive = true) const;

private:
    // What the program printed, run to its end (at most 5 s).
    QString run(const QString& program, const QStringList& arguments) const;

    const QProcessEnvironment& m_environment;
    mutable QString m_card; // the card's window, once seen
};
