#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

// Where the fuzzers put their inputs: in memory where /dev/shm is, so that the disk sets no pace.
namespace FuzzScratch {

inline const QString& folder()
{
    static QTemporaryDir dir(QDir("/dev/shm").exists()
                                 ? "/dev/shm/nightwick-fuzz-XXXXXX"
                                 : QDir::tempPath() + "/nightwick-fuzz-XXXXXX");
    static const QString path = dir.path();
    return path;
}

// The one input file, now holding `contents`. Each gets a time of its own: QSettings takes a file
// of the same size and time as unchanged.
inline QString file(const QByteArray& contents)
{
    static qint64 count = 0;
    const QString path = folder() + QStringLiteral("/input");
    QFile out(path);
    if (out.open(QIODevice::WriteOnly)) {
        out.write(contents);
        out.flush();
        out.setFileTime(QDateTime::fromSecsSinceEpoch(++count), QFileDevice::FileModificationTime);
    }
    return path;
}

} // namespace FuzzScratch
