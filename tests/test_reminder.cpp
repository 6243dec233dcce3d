#include "CardShadow.h"
#include "FakeClock.h"
#include "ReferencePicture.h"
#include "ReminderWindow.h"
#include "ReminderWindow_p.h"

#include <QApplication>
#include <QPointer>
#include <QTest>

using namespace std::chrono_literals;

namespace {

const QPoint unknownPointer(std::numeric_limits<int>::min(), std::numeric_limits<int>::min());

QList<ReminderNSWindow*> openWindows()
{
    QList<ReminderNSWindow*> found;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<ReminderNSWindow*>(widget); window && window->isVisible()) {
            found << window;
        }
    }
    return found;
}

} // namespace

class TestReminder : public QObject {
    Q_OBJECT
private slots:
    // The card 0.3 s after it appeared: faded in, its bar dimming on the way into its first
    // pulse, its cursor on. The same picture at every level, but for the number and the lit cells. The longest
    // number stays inside the border. The cursor goes after 0.53 s, its line keeping its width.
    void card_data()
    {
        QTest::addColumn<qint64>("percent");
        QTest::newRow("card-8") << qint64(8);
        QTest::newRow("card-100") << qint64(100);
        QTest::newRow("card-longest-number") << std::numeric_limits<qint64>::min();
    }
    void card()
    {
        QFETCH(qint64, percent);
        SteppedAnimations animations;
        FakeClock clock;
        ReminderCard card(percent, clock, [] {});
        card.show();
        animations.step(300ms);
        const QString difference =
            differenceFromReference(card.grab().toImage(), QTest::currentDataTag());
        QVERIFY2(difference.isEmpty(), qPrintable(difference));

        const QRect line = card.hintLineRect();
        clock.advance(529ms);
        QVERIFY(card.isCursorOn());
        clock.advance(1ms);
        QVERIFY(!card.isCursorOn());
        QCOMPARE(card.hintLineRect(), line);
    }

    // The shadow is kept for the next card of the same shape only.
    void shadowFollowsTheShape()
    {
        const QImage first = cardShadow(QSize(60, 60), QRect(10, 10, 20, 20));
        QVERIFY(cardShadow(QSize(60, 60), QRect(20, 20, 20, 20)) != first);
        QCOMPARE(cardShadow(QSize(60, 60), QRect(10, 10, 20, 20)), first);
    }

    void chooseScreen_data()
    {
        QTest::addColumn<QList<QRect>>("screens");
        QTest::addColumn<QPoint>("pointer");
        QTest::addColumn<int>("primary"); // -1: none
        QTest::addColumn<int>("chosen");  // -1: none
        const QList<QRect> two{QRect(0, 0, 1280, 800), QRect(1280, 0, 1920, 1080)};
        QTest::newRow("pointer on the second") << two << QPoint(2000, 900) << 0 << 1;
        QTest::newRow("left edge of the second") << two << QPoint(1280, 0) << 0 << 1;
        QTest::newRow("outside every screen: primary") << two << QPoint(-5, -5) << 1 << 1;
        QTest::newRow("outside, no primary: first") << two << QPoint(-5, -5) << -1 << 0;
        QTest::newRow("outside, stale primary: first") << two << QPoint(-5, -5) << 7 << 0;
        QTest::newRow("no screens") << QList<QRect>{} << QPoint(0, 0) << -1 << -1;
        QTest::newRow("pointer unknown: primary") << two << unknownPointer << 1 << 1;
    }
    void chooseScreen()
    {
        QFETCH(QList<QRect>, screens);
        QFETCH(QPoint, pointer);
        QFETCH(int, primary);
        QFETCH(int, chosen);
        const auto result = ::chooseScreen(
            screens, pointer == unknownPointer ? std::nullopt : std::optional(pointer),
            primary < 0 ? std::nullopt : std::optional<qsizetype>(primary));
        QCOMPARE(result.value_or(-1), qsizetype(chosen));
    }

    void dismissal_data()
    {
        QTest::addColumn<QKeySequence>("keys");
        QTest::addColumn<QPoint>("click"); // null: none; a negative y counts from the bottom
        // A key down since before the card (Enter that confirmed a log-out): its repeats as X11
        // sends them, a release and a press at one time that Qt often leaves unmarked; its release.
        QTest::addColumn<int>("held");
        QTest::newRow("click on the card") << QKeySequence() << QPoint(280, 100) << 0;
        QTest::newRow("click on the transparent margin") << QKeySequence() << QPoint(3, -3) << 0;
        QTest::newRow("escape") << QKeySequence(Qt::Key_Escape) << QPoint() << 0;
        QTest::newRow("control-q") << QKeySequence("Ctrl+Q") << QPoint() << 0;
        QTest::newRow("time-out") << QKeySequence() << QPoint() << 0;
        QTest::newRow("enter held from before, then pressed afresh")
            << QKeySequence(Qt::Key_Return) << QPoint() << int(Qt::Key_Return);
    }
    void dismissal()
    {
        QFETCH(QKeySequence, keys);
        QFETCH(QPoint, click);
        QFETCH(int, held);
        FakeClock clock;
        ReminderWindow reminder(clock);
        QStringList events;
        reminder.show(12, 4.0, [&] {
            events << (reminder.isVisible() || !openWindows().isEmpty() ? "still open" : "closed");
        });
        QPointer<ReminderNSWindow> window = openWindows().value(0);
        QVERIFY(window && QTest::qWaitForWindowExposed(window));
        for (int i = 0; held && window && i < 5; ++i) {
            QKeyEvent key(i % 2 ? QEvent::KeyPress : QEvent::KeyRelease, held, {});
            key.setTimestamp(1000 + 40 * (i / 2));
            QApplication::sendEvent(window, &key);
        }
        QVERIFY(events.isEmpty());
        if (!keys.isEmpty()) {
            QTest::keySequence(window, keys);
        } else if (!click.isNull()) { // through the window system, as a user's would go
            QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                              QPoint(click.x(), (click.y() + window->height()) % window->height()));
        } else {
            clock.advance(3999ms);
            QVERIFY(events.isEmpty());
            clock.advance(1ms);
        }
        QCOMPARE(events, QStringList{"closed"});
        if (window) {
            QTest::keyClick(window, Qt::Key_A);
        }
        clock.advance(5s);
        reminder.dismiss();
        QCOMPARE(events, QStringList{"closed"}); // the completion ran once
    }

    void showWhileOpenChangesNothing()
    {
        FakeClock clock;
        ReminderWindow reminder(clock);
        QStringList ran;
        reminder.show(12, 4.0, [&] { ran << "first"; });
        const QList<ReminderNSWindow*> first = openWindows();
        clock.advance(1s);
        reminder.show(3, 10.0, [&] { ran << "second"; });
        QCOMPARE(openWindows(), first);
        clock.advance(2999ms); // the time-out still counts from the first show
        QVERIFY(reminder.isVisible());
        clock.advance(1ms);
        QVERIFY(!reminder.isVisible());
        clock.advance(20s);
        QCOMPARE(ran, QStringList{"first"});
    }

    void earlierTimeOutSparesTheNextReminder()
    {
        FakeClock clock;
        ReminderWindow reminder(clock);
        reminder.show(12, 4.0, [] {});
        clock.advance(1s);
        QTest::keyClick(openWindows().value(0), Qt::Key_Space);
        bool secondClosed = false;
        reminder.show(12, 4.0, [&] { secondClosed = true; });
        clock.advance(3500ms); // past the first reminder's time-out
        QVERIFY(!secondClosed);
        clock.advance(500ms);
        QVERIFY(secondClosed);
    }
};

QTEST_MAIN(TestReminder)
#include "test_reminder.moc"
