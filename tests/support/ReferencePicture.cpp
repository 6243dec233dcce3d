#include "ReferencePicture.h"

#include <QDir>

#include <cstdlib>

namespace {

constexpr int channelTolerance = 16;

bool near(QRgb a, QRgb b)
{
    return std::abs(qRed(a) - qRed(b)) <= channelTolerance &&
           std::abs(qGreen(a) - qGreen(b)) <= channelTolerance &&
           std::abs(qBlue(a) - qBlue(b)) <= channelTolerance &&
           std::abs(qAlpha(a) - qAlpha(b)) <= channelTolerance;
}

} // namespace

QString differenceFromReference(const QImage& picture, const QString& name)
{
    const QString reference =
        qEnvironmentVariable("NIGHTWICK_SOURCE_DIR") + "/tests/pictures/" + name + ".png";
    const QImage actual = picture.convertToFormat(QImage::Format_ARGB32);
    if (qEnvironmentVariableIntValue("NIGHTWICK_UPDATE_PICTURES")) {
        return actual.save(reference) ? QString() : "could not write " + reference;
    }
    const QImage expected = QImage(reference).convertToFormat(QImage::Format_ARGB32);
    QString difference;
    QImage map =
        actual.convertToFormat(QImage::Format_Grayscale8).convertToFormat(QImage::Format_ARGB32);
    if (expected.size() != actual.size()) {
        difference = QStringLiteral("%1x%2 where %3 is %4x%5")
                         .arg(actual.width())
                         .arg(actual.height())
                         .arg(reference)
                         .arg(expected.width())
                         .arg(expected.height());
    } else {
        int differing = 0;
        for (int y = 0; y < actual.height(); ++y) {
            for (int x = 0; x < actual.width(); ++x) {
                if (!near(actual.pixel(x, y), expected.pixel(x, y))) {
                    ++differing;
                    map.setPixel(x, y, qRgb(255, 0, 255));
                }
            }
        }
        if (differing == 0) {
            return {};
        }
        difference = QStringLiteral("%1 pixels differ from %2").arg(differing).arg(reference);
    }
    QDir().mkpath(QStringLiteral("pictures"));
    const QString drawn = QDir::current().filePath("pictures/" + name + ".png");
    const QString where = QDir::current().filePath("pictures/" + name + "-differences.png");
    actual.save(drawn);
    map.save(where);
    return difference + "; drawn: " + drawn + ", differing pixels in magenta: " + where;
}
