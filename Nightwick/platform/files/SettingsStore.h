#pragma once

#include <QDateTime>
#include <QString>
#include <QVariantMap>

#include <optional>

#include "Outcome.h"

// The agent's stored settings: a persistent key-value store. A typed read of an unset or mistyped
// value gives nothing.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    virtual std::optional<qint64> integer(const QString& key) const = 0;
    virtual std::optional<bool> boolean(const QString& key) const = 0;
    virtual std::optional<QDateTime> date(const QString& key) const = 0;

    // Stores every value (a qint64, bool or QDateTime) or, on failure, none: what was stored
    // before stays as it was. On disk when the call returns.
    virtual Outcome write(const QVariantMap& values) = 0;
    Outcome setInteger(const QString& key, qint64 value) { return write({{key, value}}); }
    Outcome setBoolean(const QString& key, bool value) { return write({{key, value}}); }

    // Deletes every stored key, and the file that holds them; a failure deletes nothing.
    virtual Outcome removeAll() = 0;
    // Puts back what the last removeAll deleted, as it was.
    virtual Outcome restoreRemoved() = 0;
};
