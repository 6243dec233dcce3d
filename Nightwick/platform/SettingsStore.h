#pragma once

#include <QDateTime>
#include <QString>
#include <QVariantMap>

#include <optional>

#include "Outcome.h"

// The agent's stored settings: a persistent key-value store with an in-memory layer of
// defaults beneath it. Typed reads of an unset or mistyped value give 0, false or nothing.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // Answers reads of keys that hold no stored value. Kept in memory only.
    virtual void registerDefaults(const QVariantMap& defaults) = 0;

    virtual qint64 integer(const QString& key) const = 0;
    virtual bool boolean(const QString& key) const = 0;
    virtual std::optional<QDateTime> date(const QString& key) const = 0;

    // Each write is on disk when the call returns.
    virtual void setInteger(const QString& key, qint64 value) = 0;
    virtual void setBoolean(const QString& key, bool value) = 0;
    virtual void setDate(const QString& key, const QDateTime& value) = 0;

    // Deletes every stored key, and the file that holds them.
    virtual Outcome removeAll() = 0;
};
