#include "platform/desktop/AppActivation.h"

#include <QProcess>
#include <QTest>

class TestActivation : public QObject {
    Q_OBJECT

private slots:
    // The real program launched while an agent in this test holds the name, on a session bus of
    // the test's own: by hand it asks that agent to show itself, from the autostart entry it
    // leaves quietly. An agent that answers nothing fails the launch; one busy with what the
    // activation set off does not, as it answers first.
    void secondLaunch_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("agent");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<int>("activations");
        QTest::addColumn<QString>("display"); // the only display it is given, if any
        const auto row = [](const char* name, QStringList arguments, QString agent, int exitCode,
                            int activations, QString display) {
            QTest::newRow(name) << arguments << agent << exitCode << activations << display;
        };
        row("by hand, running agent answers", {}, "answers", 0, 1, "");
        row("by hand, running agent hangs", {}, "hangs", 1, 1, "");
        row("autostart leaves it alone", {"--autostart"}, "answers", 0, 0, "");
        row("by hand, running agent busy after Activate", {}, "busy", 0, 1, "");
        row("X display gone, as after an old SSH session", {}, "answers", 1, 0, ":7731");
    }

    void secondLaunch()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, agent);
        QFETCH(int, exitCode);
        QFETCH(int, activations);
        QFETCH(QString, display);
        AppActivation running(QDBusConnection::sessionBus(), "org.nightwick.Nightwick");
        QCOMPARE(running.claim(), AppActivation::Role::First);
        QProcess launch;
        int activated = 0;
        connect(&running, &AppActivation::activated, [&] {
            ++activated;
            if (agent == "busy")
                launch.waitForFinished(5000);
        });
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!display.isEmpty()) {
            environment.remove("QT_QPA_PLATFORM");
            environment.remove("WAYLAND_DISPLAY");
            environment.insert("DISPLAY", display);
        }
        launch.setProcessEnvironment(environment);
        launch.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        launch.start(qEnvironmentVariable("NIGHTWICK_BINARY"), arguments);
        if (agent == "hangs") // listening to nothing until the launch has ended
            QVERIFY(launch.waitForFinished(10000));
        QTRY_VERIFY_WITH_TIMEOUT(launch.state() == QProcess::NotRunning, 10000);
        QCOMPARE(launch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(launch.exitCode(), exitCode);
        QVERIFY(display.isEmpty() || launch.readAllStandardError().count('\n') == 1);
        QTRY_COMPARE(activated, activations);
    }
};

QTEST_GUILESS_MAIN(TestActivation)
#include "test_activation.moc"
