// The settings file as the user or a crash may leave it. Reading it never fails, and a write sets
// the agent's keys while every other key reads back as it was.
#include "platform/files/IniSettingsStore.h"

#include <QSettings>
#include <QTemporaryFile>

#include <cstdlib>

// Every key as QSettings answers for it, which takes "/a//b/" and "a/b" for one key.
static QVariantMap everything(const QString& path)
{
    const QSettings settings(path, QSettings::IniFormat);
    QVariantMap values;
    for (const QString& key : settings.allKeys())
        values.insert(key.split('/', Qt::SkipEmptyParts).join('/'), settings.value(key));
    return values;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QTemporaryFile file; // one of its own: QSettings takes a file it has read as unchanged
    file.open();
    file.write(reinterpret_cast<const char*>(data), qint64(size));
    file.close();
    const QString path = file.fileName();
    IniSettingsStore store(path);
    store.integer("threshold");
    store.boolean("lastCharging");
    store.date("lastSeen");

    QVariantMap expected = everything(path);
    const QDateTime seen(QDate(2026, 12, 6), QTime(7, 43, 49, 123), Qt::UTC);
    if (!store.write({{"threshold", 15}, {"lastCharging", true}, {"lastSeen", seen}}).ok())
        std::abort();
    expected.insert(
        {{"threshold", "15"}, {"lastCharging", "true"}, {"lastSeen", "2026-12-06T07:43:49.123Z"}});
    if (everything(path) != expected || store.integer("threshold") != 15)
        std::abort();
    return 0;
}
