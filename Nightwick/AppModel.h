#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>

#include "platform/battery/BatteryServices.h"
#include "Outcome.h"

class Alerts;
class Clock;
class LoginItem;
class SettingsStore;
class Trash;

// One reading of the mouse's battery.
struct MouseBattery {
    qint64 percent = 0; // as the device reports it, not clamped
    bool isCharging = false;

    bool operator==(const MouseBattery&) const = default;
};

namespace MouseBatteryReader {

// Picks the mouse out of the devices, in their order: the lowest level wins; of equal levels
// the first stays, unless a later one is charging. Nothing when no recognised mouse reports a
// level.
std::optional<MouseBattery> select(const QList<BatteryService>& services);

// Asks the system and selects.
std::optional<MouseBattery> read(BatteryServices& source);

} // namespace MouseBatteryReader

// The shutdown rule on its own: the percentage to remind of, or nothing. A reading seen 48
// hours ago or earlier, or more than a minute ahead of now, a charging mouse or a level above
// the threshold needs no reminder.
std::optional<qint64> reminderPercent(const std::optional<QDateTime>& lastSeen,
                                      const QDateTime& now, bool lastCharging, qint64 lastPercent,
                                      qint64 threshold);

// The one model of the agent: the battery last read, the threshold and the login item, with
// the stored settings behind them.
class AppModel : public QObject {
    Q_OBJECT
public:
    struct Services {
        BatteryServices& batteries;
        SettingsStore& store;
        LoginItem& loginItem;
        Trash& trash;
        Alerts& alerts;
        Clock& clock;
        QString programFile; // what "uninstall" moves to the Trash
    };

    static const QList<qint64> thresholdChoices;

    // Reads the stored threshold and the battery once.
    explicit AppModel(Services services, QObject* parent = nullptr);
    ~AppModel() override;

    qint64 threshold() const { return m_threshold; }
    // Takes one of thresholdChoices and stores it; any other value changes nothing. When it
    // cannot be stored, the system's error shows and the model stays at the stored threshold.
    void setThreshold(qint64 threshold);
    const std::optional<MouseBattery>& battery() const { return m_battery; }
    bool opensAtLogin() const { return m_opensAtLogin; }

    // Reads the battery and the login item; stores the reading when a mouse was found.
    void refresh();
    // Reads the battery and the login item, then applies the shutdown rule to the last reading:
    // the one just read, or one this run saw before, or else the stored one. The new reading is
    // stored by the next refresh, or when the model goes, so that nothing in a shutdown waits on
    // the disk (a slow one would hold the card past logind's limit). A reading that cannot be
    // stored still counts while the agent runs.
    std::optional<qint64> percentNeedingReminder();
    // Turns the login item on the first time the program runs from an install location.
    void registerLoginItemOnFirstInstall();
    // Shows the system's error when the switch fails; opensAtLogin then follows the real state.
    void setOpensAtLogin(bool enabled);
    // Disables the login item, removes the stored settings and moves the program file to the
    // Trash. On failure the login item and the settings are put back as they were, and the
    // system's words say why. A packaged program stays where it is, and a notice tells how to
    // remove the package.
    // After a success the model writes nothing more, and a second call does nothing.
    Outcome uninstall();

signals:
    // Emitted on every assignment of threshold, battery or opensAtLogin.
    void changed();

private:
    struct Reading {
        MouseBattery battery;
        QDateTime seen;
    };

    template <typename T> void publish(T& field, const T& value);
    qint64 storedThreshold() const;
    std::optional<Reading> storedReading() const;
    void read();
    void storeReading();

    Services m_services;
    qint64 m_threshold = 0;
    std::optional<MouseBattery> m_battery;
    std::optional<Reading> m_lastReading; // the newest this run saw, stored or not
    bool m_readingStored = true;
    bool m_opensAtLogin = false;
    bool m_uninstalled = false;
};
