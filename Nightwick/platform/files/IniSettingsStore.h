#pragma once

#include "SettingsStore.h"
#include "WholeFile.h"

#include <optional>

// The stored settings as an INI file in QSettings' format, written through to disk on every
// change. Each write replaces the file whole, so a write killed half-way leaves the old file;
// nothing ever waits on a lock file.
class IniSettingsStore final : public SettingsStore {
public:
    explicit IniSettingsStore(const QString& filePath);

    // $XDG_CONFIG_HOME/nightwick/nightwick.conf
    static QString defaultFilePath();

    std::optional<qint64> integer(const QString& key) const override;
    std::optional<bool> boolean(const QString& key) const override;
    std::optional<QDateTime> date(const QString& key) const override;
    Outcome write(const QVariantMap& values) override;
    Outcome removeAll() override;
    Outcome restoreRemoved() override;

private:
    QVariant storedValue(const QString& key) const;
    Outcome failure(const QString& doing, const QString& reason) const;

    QString m_filePath;
    std::optional<WholeFile::Removed> m_removed; // what removeAll took away
};
