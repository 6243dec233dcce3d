#include "Eventually.h"
#include "Look.h"
#include "PrivateBus.h"
#include "ReminderWindow_p.h"
#include "VirtualInput.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPainter>
#include <QProcess>
#include <QRasterWindow>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

#include <unistd.h>

// The reminder card through XWayland on a real, headless sway: two outputs side by side, a
// fullscreen native Wayland window holding the focus, a keyboard and a pointer of the test's own,
// pictures through grim.

namespace {

const QRect leftOutput(0, 0, 1280, 800);
const QRect rightOutput(1280, 0, 1280, 800);
const QRgb windowColour = qRgb(0, 150, 70);
constexpr int patience = 20000; // ms: a bound on waits, never a measure

// The native Wayland window, run by this same program: one colour, full screen, and a line on
// stdout for each key it gets.
class KeyLoggingWindow : public QRasterWindow {
protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter(this).fillRect(QRect({0, 0}, size()), QColor(windowColour));
    }
    void keyPressEvent(QKeyEvent*) override
    {
        std::puts("key");
        std::fflush(stdout);
    }
};

// The card's one-pixel border, found by its top and bottom edges: no other long run of pixels
// has their colour (the pointer's outline may have it here and there). Its corner pixels are
// shaded, so the edges run two pixels short of the card's width.
QRect cardBorder(const QImage& shot)
{
    const QRgb faint = Mono::faint().rgb();
    QRect found;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0, run = 0; x <= shot.width(); ++x) {
            if (x < shot.width() && shot.pixel(x, y) == faint) {
                ++run;
                continue;
            }
            if (run >= 100) {
                found |= QRect(x - run, y, run, 1);
            }
            run = 0;
        }
    }
    return found;
}

} // namespace

class TestCompositor : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const char* tool : {"sway", "swaybg", "Xwayland", "grim", "unshare"}) {
            if (QStandardPaths::findExecutable(tool).isEmpty()) {
                QSKIP(qPrintable(QStringLiteral("needs %1").arg(tool)));
            }
        }
        if (qEnvironmentVariableIsEmpty("NIGHTWICK_SHOW_CARD")) {
            QSKIP("NIGHTWICK_SHOW_CARD is not set; run through ctest");
        }
        startSway();
        swaymsg({"create_output"});
        swaymsg({"output", "HEADLESS-2", "resolution", "1280x800", "position", "1280", "0"});
        QCOMPARE(QJsonDocument::fromJson(swaymsg({"-t", "get_outputs"})).array().size(), 2);
        QVERIFY(m_input.connect(m_runtime.filePath(m_environment.value("WAYLAND_DISPLAY")),
                                leftOutput.united(rightOutput).size()));

        // With the pointer on the left output, the window goes full screen there.
        m_input.movePointer({300, 300});
        QProcessEnvironment environment = m_environment;
        environment.insert("QT_QPA_PLATFORM", "wayland");
        m_window.setProcessEnvironment(environment);
        m_window.start(QCoreApplication::applicationFilePath(), {"--wayland-window"});
        QVERIFY(eventually([this] { return screenshot().pixel(640, 400) == windowColour; },
                           patience, 50));
    }

    void cleanupTestCase()
    {
        for (QProcess* process : {&m_window, &m_sway}) {
            process->terminate();
            if (!process->waitForFinished()) {
                process->kill();
            }
        }
    }

    void cardOnThePointersOutput_data()
    {
        QTest::addColumn<QPoint>("pointer");
        QTest::addColumn<QRect>("output");
        QTest::addColumn<bool>("byKey");
        QTest::newRow("left, over the fullscreen window; a key")
            << QPoint(300, 300) << leftOutput << true;
        QTest::newRow("left, over the fullscreen window; a click")
            << QPoint(300, 300) << leftOutput << false;
        QTest::newRow("right, over an empty desktop; a click")
            << QPoint(2200, 700) << rightOutput << false;
    }
    void cardOnThePointersOutput()
    {
        QFETCH(QPoint, pointer);
        QFETCH(QRect, output);
        QFETCH(bool, byKey);
        m_input.movePointer(pointer);
        const qsizetype keysBefore = keysTheWindowGot();

        QProcess card;
        QProcessEnvironment environment = m_environment;
        environment.insert("QT_QPA_PLATFORM", "xcb");
        card.setProcessEnvironment(environment);
        // Its own time-out is a minute away, so an end before then is a dismissal.
        card.start(qEnvironmentVariable("NIGHTWICK_SHOW_CARD"), {"60"});
        QImage shot;
        QRect border;
        QVERIFY2(eventually(
                     [&] { // whole, faded in, and above the fullscreen window on the left
                         border = cardBorder(shot = screenshot());
                         return border.width() >= ReminderCard::cardWidth - 2 &&
                                shot.pixel(border.topLeft() + QPoint(8, 8)) ==
                                    Mono::background().rgb();
                     },
                     patience, 50),
                 "no card in sight");
        if (const QString folder = qEnvironmentVariable("NIGHTWICK_SHOTS"); !folder.isEmpty()) {
            shot.save(QDir(folder).filePath(QTest::currentDataTag() + QStringLiteral(".png")));
        }
        QVERIFY2((border.center() - output.center()).manhattanLength() <= 2,
                 qPrintable(QStringLiteral("card's middle at %1,%2")
                                .arg(border.center().x())
                                .arg(border.center().y())));

        if (byKey) {
            m_input.typeKey(30); // A
        } else {
            // A pointer comes to rest over what it clicks: XWayland may lose a click that comes
            // in the same instant as the pointer's arrival over its window.
            m_input.movePointer(border.center() - QPoint(8, 8));
            m_input.movePointer(border.center());
            m_input.clickLeft();
        }
        QVERIFY2(card.waitForFinished(patience), "the card stayed");
        QCOMPARE(card.exitCode(), 0);
        QCOMPARE(keysTheWindowGot(), keysBefore); // the key went to the card alone
        if (byKey) {
            m_input.typeKey(30); // and the window has the keyboard back
            QTRY_COMPARE_WITH_TIMEOUT(keysTheWindowGot(), keysBefore + 1, patience);
        }
    }

    // Sway has no session manager: logging out ends the compositor, and XWayland with it.
    void logOutEndsTheAgentCleanly()
    {
        if (const QString missing = PrivateBus::missingTools(); !missing.isEmpty()) {
            QSKIP(qPrintable("needs a private D-Bus: " + missing));
        }
        PrivateBus systemBus(PrivateBus::Kind::System);
        PrivateBus sessionBus(PrivateBus::Kind::Session);
        QVERIFY(systemBus.start() && sessionBus.start());
        QTemporaryDir config;
        QProcessEnvironment environment = m_environment;
        systemBus.addTo(environment);
        sessionBus.addTo(environment);
        environment.insert("XDG_CONFIG_HOME", config.path());
        QProcess agent;
        agent.setProcessEnvironment(environment);
        agent.setProcessChannelMode(QProcess::ForwardedChannels);
        agent.start(qEnvironmentVariable("NIGHTWICK_BINARY"), {"--autostart"});
        // It takes its name once it is connected to XWayland.
        const QDBusConnection bus = sessionBus.connection("logout");
        QTRY_VERIFY_WITH_TIMEOUT(
            bus.interface()->isServiceRegistered("org.nightwick.Nightwick").value(), patience);

        swaymsg({"exit"});
        QVERIFY2(agent.waitForFinished(patience), "the agent outlived XWayland");
        QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent.exitCode(), 0);
    }

private:
    // Sway will not run as root; a root test runs it in a user namespace where it is uid 1000.
    void startSway()
    {
        QVERIFY(m_folder.isValid());
        m_runtime.setPath(m_folder.filePath("run"));
        QVERIFY(QDir().mkpath(m_runtime.path()));
        QVERIFY(QFile::setPermissions(m_runtime.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QFile config(m_folder.filePath("sway.conf"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("xwayland force\ndefault_border none\noutput * bg #204060 solid_color\n"
                     "output HEADLESS-1 resolution 1280x800 position 0 0\n");
        config.close();

        m_environment = QProcessEnvironment::systemEnvironment();
        for (const char* inherited :
             {"DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK", "QT_QPA_PLATFORM"}) {
            m_environment.remove(inherited);
        }
        m_environment.insert("XDG_RUNTIME_DIR", m_runtime.path());
        // No session bus, and none started on demand by a client either.
        m_environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_folder.filePath("none"));
        QProcessEnvironment swayEnvironment = m_environment;
        swayEnvironment.insert("WLR_BACKENDS", "headless");
        swayEnvironment.insert("WLR_LIBINPUT_NO_DEVICES", "1");
        swayEnvironment.insert("WLR_RENDERER", "pixman");
        m_sway.setProcessEnvironment(swayEnvironment);
        m_sway.setStandardOutputFile(QProcess::nullDevice());
        m_sway.setStandardErrorFile(m_folder.filePath("sway.log"));
        const QStringList sway{"sway", "-c", config.fileName()};
        if (geteuid() == 0) {
            m_sway.start("unshare",
                         QStringList{"--user", "--map-user=1000", "--map-group=1000"} + sway);
        } else {
            m_sway.start(sway.first(), sway.mid(1));
        }

        QStringList sockets;
        QVERIFY(eventually(
            [&] {
                sockets = m_runtime.entryList({"wayland-?", "sway-ipc.*"}, QDir::System);
                return sockets.size() == 2;
            },
            patience, 50));
        m_environment.insert("WAYLAND_DISPLAY", sockets.filter("wayland").first());
        m_environment.insert("SWAYSOCK", m_runtime.filePath(sockets.filter("sway-ipc").first()));
        QFile display(m_folder.filePath("display"));
        swaymsg({"exec", "echo $DISPLAY > " + display.fileName()});
        QVERIFY(eventually([&] { return display.size() > 1; }, patience, 50));
        QVERIFY(display.open(QIODevice::ReadOnly));
        m_environment.insert("DISPLAY", QString::fromUtf8(display.readAll().trimmed()));
    }

    QByteArray swaymsg(const QStringList& arguments)
    {
        QProcess message;
        message.setProcessEnvironment(m_environment);
        message.start("swaymsg", QStringList{"--raw"} + arguments);
        message.waitForFinished();
        return message.readAllStandardOutput();
    }

    QImage screenshot()
    {
        QProcess grim;
        grim.setProcessEnvironment(m_environment);
        grim.start("grim", {m_folder.filePath("shot.png")});
        grim.waitForFinished();
        return QImage(m_folder.filePath("shot.png")).convertToFormat(QImage::Format_RGB32);
    }

    qsizetype keysTheWindowGot()
    {
        m_windowOutput += m_window.readAllStandardOutput();
        return m_windowOutput.count("key\n");
    }

    QTemporaryDir m_folder;
    QDir m_runtime;
    QProcessEnvironment m_environment; // what a program started in this sway session gets
    QProcess m_sway;
    QProcess m_window;
    QByteArray m_windowOutput;
    VirtualInput m_input;
};

int main(int argc, char* argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--wayland-window") == 0) {
        QGuiApplication app(argc, argv);
        KeyLoggingWindow window;
        window.showFullScreen();
        return QGuiApplication::exec();
    }
    QGuiApplication app(argc, argv);
    TestCompositor test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_compositor.moc"
