#pragma once

#include "SettingsStore.h"

#include <QSettings>

// The stored settings as an INI file, written through to disk on every change.
class IniSettingsStore final : public SettingsStore {
public:
    explicit IniSettingsStore(const QString& filePath);

    // $XDG_CONFIG_HOME/nightwick/nightwick.conf
    static QString defaultFilePath();

    void registerDefaults(const QVariantMap& defaults) override;
    qint64 integer(const QString& key) const override;
    bool boolean(const QString& key) const override;
    std::optional<QDateTime> date(const QString& key) const override;
    void setInteger(const QString& key, qint64 value) override;
    void setBoolean(const QString& key, bool value) override;
    void setDate(const QString& key, const QDateTime& value) override;
    Outcome removeAll() override;

private:
    QVariant storedValue(const QString& key) const;
    template <typename T>
    T typed(const QString& key, std::optional<T> (*parse)(const QVariant&), T fallback) const;
    void write(const QString& key, const QVariant& value);

    QString m_filePath;
    QVariantMap m_defaults;
};
