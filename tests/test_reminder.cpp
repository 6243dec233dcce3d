#include "FakeClock.h"
#include "ReferencePicture.h"
#include "ReminderWindow.h"
#include "ReminderWindow_p.h"

#include <QApplication>
#include <QPointer>
#include <QTest>

using namespace std::chrono_literals;

namespace {

const QPoint unknownPointer(std::numeric_limits<int>::min(), 0);

ReminderNSWindow* openWindow()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<ReminderNSWindow*>(widget); window && window->isVisible())
            return window;
    }
    return nullptr;
}

} // namespace

class TestReminder : public QObject {
    Q_OBJECT
private slots:
    // The card 0.3 s after it appeared: faded in, its bar dimming into its first pulse, its
    // cursor on. The longest number stays inside the border. The cursor blinks every 0.53 s.
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
        const QImage cursorOn = card.grab().toImage();
        const QString difference = differenceFromReference(cursorOn, QTest::currentDataTag());
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        clock.advance(529ms);
        QCOMPARE(card.grab().toImage(), cursorOn);
        clock.advance(1ms);
        QVERIFY(card.grab().toImage() != cursorOn);
    }

    void chooseScreen_data()
    {
        QTest::addColumn<QList<QRect>>("screens");
        QTest::addColumn<QPoint>("pointer");
        QTest::addColumn<int>("primary"); // -1: none
        QTest::addColumn<int>("chosen");  // -1: none
        const QList<QRect> two{QRect(0, 0, 1280, 800), QRect(1280, 0, 1920, 1080)};
        QTest::newRow("pointer on the second") << two << QPoint(2000, 900) << 0 << 1;
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
        QTest::newRow("time-out") << QKeySequence() << QPoint() << 0;
        QTest::newRow("enter held from before, then pressed afresh")
            << QKeySequence(Qt::Key_Return) << QPoint() << int(Qt::Key_Return);
    }
    // A second show while the card is open changes nothing; one after it closed gets its own
    // 4 s, which the first card's time-out does not cut short.
    void dismissal()
    {
        QFETCH(QKeySequence, keys);
        QFETCH(QPoint, click);
        QFETCH(int, held);
        FakeClock clock;
        ReminderWindow reminder(clock);
        QStringList events;
        reminder.show(12, 4.0, [&] {
            events << (reminder.isVisible() || openWindow() ? "still open" : "closed");
        });
        reminder.show(3, 10.0, [&] { events << "second while open"; });
        QPointer<ReminderNSWindow> window = openWindow();
        QVERIFY(window && QTest::qWaitForWindowExposed(window));
        for (int i = 0; held && i < 5; ++i) {
            QKeyEvent key(i % 2 ? QEvent::KeyPress : QEvent::KeyRelease, held, {});
            key.setTimestamp(1000 + 40 * (i / 2));
            QApplication::sendEvent(window, &key);
        }
        clock.advance(1s);
        QVERIFY(events.isEmpty());
        if (!keys.isEmpty()) {
            QTest::keySequence(window, keys);
        } else if (!click.isNull()) { // through the window system, as a user's would go
            QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                              QPoint(click.x(), (click.y() + window->height()) % window->height()));
        } else {
            clock.advance(2999ms);
            QVERIFY(events.isEmpty());
            clock.advance(1ms);
        }
        QCOMPARE(events, QStringList{"closed"});
        if (window)
            QTest::keyClick(window, Qt::Key_A);
        reminder.dismiss();
        reminder.show(3, 4.0, [&] { events << "next"; });
        clock.advance(3999ms);
        QCOMPARE(events, QStringList{"closed"}); // the first's completion ran once
        clock.advance(1ms);
        QCOMPARE(events, (QStringList{"closed", "next"}));
    }
};

QTEST_MAIN(TestReminder)
#include "test_reminder.moc"
