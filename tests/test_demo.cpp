#include "Look.h"

#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Pixels within a small distance of the colour: the red of a level, the light grey of text.
int pixelsNear(const QImage& image, const QColor& colour)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            count += qAbs(pixel.red() - colour.red()) + qAbs(pixel.green() - colour.green()) +
                         qAbs(pixel.blue() - colour.blue()) <
                     24;
        }
    }
    return count;
}

} // namespace

// The demo that the start command runs where there is no desktop: it must end by itself and
// leave pictures of the real agent's settings window and of its card with the level in red.
class TestDemo : public QObject {
    Q_OBJECT
private slots:
    void showsTheAgentWithoutADesktop()
    {
        for (const char* tool : {"Xvfb", "xwd", "xwininfo", "dbus-daemon"}) {
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QSKIP(qPrintable(QString("%1 is not installed").arg(tool)));
        }
        QTemporaryDir output;
        QProcess demo;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        demo.setProcessEnvironment(environment);
        demo.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        demo.start("/usr/bin/python3",
                   {qEnvironmentVariable("NIGHTWICK_SOURCE_DIR") + "/scripts/demo.py",
                    qEnvironmentVariable("NIGHTWICK_BINARY"), output.path()});
        QVERIFY(demo.waitForFinished(90000));
        const QString said = QString::fromUtf8(demo.readAllStandardOutput());
        QCOMPARE(demo.exitCode(), 0);

        const QImage settings(output.filePath("settings.png"));
        const QImage card(output.filePath("reminder-card.png"));
        QVERIFY2(said.contains(output.filePath("settings.png")) &&
                     said.contains(output.filePath("reminder-card.png")),
                 qPrintable(said));
        QCOMPARE(settings.size(), QSize(560, 376));
        QVERIFY(pixelsNear(settings, Mono::text()) > 200); // the page's words
        QVERIFY(pixelsNear(settings, Mono::red()) > 100);  // the low mouse's bar
        QCOMPARE(card.width(), 560);
        QVERIFY(pixelsNear(card, Mono::red()) > 150);  // the level, its bar and the "!"
        QVERIFY(pixelsNear(card, Mono::text()) > 200); // the message
    }
};

QTEST_GUILESS_MAIN(TestDemo)
#include "test_demo.moc"
