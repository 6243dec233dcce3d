#include "ReferencePicture.h"

#include <QDir>

QString differenceFromReference(const QImage& picture, const QString& name)
{
    const QString reference =
        qEnvironmentVariable("NIGHTWICK_SOURCE_DIR") + "/tests/pictures/" + name + ".png";
    const QImage actual = picture.convertToFormat(QImage::Format_ARGB32);
    if (qEnvironmentVariableIntValue("NIGHTWICK_UPDATE_PICTURES"))
        return actual.save(reference) ? QString() : "could not write " + reference;
    const QImage expected = QImage(reference).convertToFormat(QImage::Format_ARGB32);
    const auto apart = [](int a, int b) { return qAbs(a - b) > 16; };
    int differing = expected.size() == actual.size() ? 0 : -1;
    for (int y = 0; differing >= 0 && y < actual.height(); ++y) {
        for (int x = 0; x < actual.width(); ++x) {
            const QRgb a = actual.pixel(x, y), e = expected.pixel(x, y);
            differing += apart(qRed(a), qRed(e)) || apart(qGreen(a), qGreen(e)) ||
                         apart(qBlue(a), qBlue(e)) || apart(qAlpha(a), qAlpha(e));
        }
    }
    if (differing == 0)
        return {};
    QDir().mkpath(QStringLiteral("pictures"));
    const QString drawn = QDir::current().filePath("pictures/" + name + ".png");
    actual.save(drawn);
    return QStringLiteral("%1 pixels differ from %2 (-1: another size); drawn: %3")
        .arg(differing)
        .arg(reference, drawn);
}
