#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QString>

// Where the fuzzers put their inputs: the folder run.sh gives them (in memory where /dev/shm is,
// so that the disk sets no pace), which it removes afterwards; libFuzzer ends a run without
// destroying what it made.
namespace FuzzScratch {

inline const QString& folder()
{
    static const QString path = [] {
        const QString given = qEnvironmentVariable("NIGHTWICK_FUZZ_SCRATCH");
        return given.isEmpty() ? QDir::tempPath() : given;
    }();
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
