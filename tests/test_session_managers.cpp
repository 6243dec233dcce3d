#include "HeadlessSession.h"

#include <QTest>

using Manager = HeadlessSession::Manager;
using LogOut = HeadlessSession::LogOut;

namespace {

enum class Action { LogOut, CalledOff, SecondLogOut, Checkpoint, Uninteractive };

// What tells that the session manager is done with the agent, when the agent stays.
bool settled(const HeadlessSession& session, Manager manager, Action action, qint64 since)
{
    if (manager == Manager::Gnome) {
        return session.transcript().heard("^QueryEndSession$", since).has_value();
    }
    // Xfce calls a log-out off by completing it as a mere save.
    return session.transcript().heard("^(shutdown-cancelled|save-complete)$", since) ||
           (action != Action::Checkpoint && session.transcript().heard("^die$", since));
}

} // namespace

Q_DECLARE_METATYPE(Manager)
Q_DECLARE_METATYPE(Action)

// The real agent in real session managers, started by them as at a login, under Xvfb.
class TestSessionManagers : public QObject {
    Q_OBJECT
private slots:
    void logOut_data()
    {
        QTest::addColumn<Manager>("manager");
        QTest::addColumn<Action>("action");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<bool>("card");
        QTest::addColumn<bool>("ends");
        QTest::newRow("GNOME: log-out")
            << Manager::Gnome << Action::LogOut << false << true << true;
        QTest::newRow("GNOME: log-out, charging")
            << Manager::Gnome << Action::LogOut << true << false << true;
        QTest::newRow("GNOME: log-out an application inhibits")
            << Manager::Gnome << Action::CalledOff << false << false << false;
        QTest::newRow("GNOME: second log-out during the card")
            << Manager::Gnome << Action::SecondLogOut << false << true << true;
        QTest::newRow("Xfce: log-out") << Manager::Xfce << Action::LogOut << false << true << true;
        QTest::newRow("Xfce: log-out cancelled after the card")
            << Manager::Xfce << Action::CalledOff << false << true << false;
        QTest::newRow("Xfce: checkpoint")
            << Manager::Xfce << Action::Checkpoint << false << false << false;
        QTest::newRow("xsm: log-out") << Manager::Xsm << Action::LogOut << false << true << true;
        QTest::newRow("xsm: log-out cancelled after the card")
            << Manager::Xsm << Action::CalledOff << false << true << false;
        QTest::newRow("xsm: log-out that lets no client interact")
            << Manager::Xsm << Action::Uninteractive << false << false << true;
        QTest::newRow("xsm: checkpoint")
            << Manager::Xsm << Action::Checkpoint << false << false << false;
    }
    void logOut()
    {
        QFETCH(Manager, manager);
        QFETCH(Action, action);
        QFETCH(bool, charging);
        QFETCH(bool, card);
        QFETCH(bool, ends);
        if (const QString missing = HeadlessSession::missingTools(manager); !missing.isEmpty()) {
            QSKIP(qPrintable(missing));
        }
        HeadlessSession session(manager);
        QVERIFY(session.start(8, charging));
        QCOMPARE(session.agentLocks(), 1);

        const qint64 began = SessionTranscript::nowMs();
        QVERIFY(action == Action::Checkpoint      ? session.checkpoint()
                : action == Action::CalledOff     ? session.logOut(LogOut::CalledOff)
                : action == Action::Uninteractive ? session.logOut(LogOut::Uninteractive)
                                                  : session.logOut());
        std::optional<qint64> cardAt, clickAt;
        const auto watch = [&] {
            if (!cardAt && session.cardShown()) {
                cardAt = SessionTranscript::nowMs();
            }
            if (cardAt && !clickAt) {
                QVERIFY(action != Action::SecondLogOut || session.logOut());
                clickAt = SessionTranscript::nowMs();
                session.clickCard();
            }
        };
        QVERIFY(QTest::qWaitFor(
            [&] {
                watch();
                return session.agentExitStatus() ||
                       (!ends && settled(session, manager, action, began));
            },
            15000));
        if (!ends) { // long enough for a card, or an agent that wrongly leaves, to show
            QTest::qWait(500), watch();
        }
        QCOMPARE(cardAt.has_value(), card);
        if (action == Action::Checkpoint) { // autostart starts the agent, never the saved session
            QVERIFY(!session.savedSession().isEmpty());
            QVERIFY(!session.savedSession().contains("nightwick"));
        }

        // When the session manager asked, and when it heard the agent's answer: the die or Stop
        // that follows it, or the second phase that starts once everyone has answered.
        const bool gnome = manager == Manager::Gnome;
        const QString answer = gnome                         ? "^Stop$"
                               : action == Action::CalledOff ? "^phase2$"
                                                             : "^die$";
        if (action != Action::Checkpoint && !(gnome && action == Action::CalledOff)) {
            QVERIFY(QTest::qWaitFor(
                [&] { return session.transcript().heard(answer, began).has_value(); }));
            const qint64 asked = *session.transcript().heard(
                gnome ? "^EndSession$" : "^save-yourself.* shutdown=1", began);
            const qint64 answered = *session.transcript().heard(answer, began);
            qInfo("answered %lld ms after the session manager asked%s", answered - asked,
                  card ? ", the card clicked away" : "");
            // The answer waits for the card (the Stop of a second log-out does not).
            QVERIFY(!card || action == Action::SecondLogOut || answered >= *clickAt);
        }
        if (ends) {
            QVERIFY(QTest::qWaitFor([&] { return session.agentExitStatus().has_value(); }, 10000));
            QCOMPARE(*session.agentExitStatus(), 0);
        } else {
            QVERIFY(session.agentRunning());
            QCOMPARE(session.agentLocks(), 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestSessionManagers)
#include "test_session_managers.moc"
