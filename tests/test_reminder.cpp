#include "FakeClock.h"
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

// A card shown and faded fully in, and pictures of it.
struct ShownCard {
    explicit ShownCard(qint64 percent)
        : card(percent, clock, [] {})
    {
        card.show();
        QTRY_COMPARE(card.fadeOpacity(), 1.0);
    }
    QImage render() { return card.grab().toImage(); }
    FakeClock clock; // before the card, which keeps it
    ReminderCard card;
};

} // namespace

class TestReminder : public QObject {
    Q_OBJECT
private slots:
    void cardIs560WideAtAnyLevel_data()
    {
        QTest::addColumn<qint64>("percent");
        QTest::newRow("12") << qint64(12);
        QTest::newRow("0") << qint64(0);
        QTest::newRow("-1") << qint64(-1);
        QTest::newRow("150") << qint64(150);
        QTest::newRow("longest number") << std::numeric_limits<qint64>::min();
    }
    void cardIs560WideAtAnyLevel()
    {
        QFETCH(qint64, percent);
        ShownCard shown(percent);
        QCOMPARE(shown.card.sizeHint().width(), 560);
        QCOMPARE(shown.card.cardRect(), QRect(60, 60, 440, shown.card.sizeHint().height() - 120));
    }

    void cardColoursAndBlinkingCursor()
    {
        ShownCard shown(12);
        const QImage image = shown.render();
        const QRect box = shown.card.cardRect();
        QCOMPARE(image.pixel(box.left() + 8, box.top() + 8), Mono::background().rgb());
        // A crisp 1 px border in faint, inside the card's rectangle; the margin is see-through.
        QCOMPARE(image.pixel(box.left(), box.center().y()), Mono::faint().rgb());
        QCOMPARE(image.pixel(box.center().x(), box.bottom()), Mono::faint().rgb());
        QCOMPARE(qAlpha(image.pixel(1, 1)), 0);
        // The level's first cell is red at whatever point of its pulse.
        const QRect bar = shown.card.levelBarRect();
        const QRgb lit = image.pixel(bar.left() + 3, bar.center().y());
        QVERIFY(qRed(lit) > qGreen(lit) + 20 && qGreen(lit) > 0);
        // The block cursor shows, and hides 0.53 s later, the hint line staying as it was.
        const QRect line = shown.card.hintLineRect();
        const QPoint cursor = shown.card.cursorRect().center();
        QCOMPARE(image.pixel(cursor), Mono::dim().rgb());
        shown.clock.advance(529ms);
        QVERIFY(shown.card.isCursorOn());
        shown.clock.advance(1ms);
        QCOMPARE(shown.render().pixel(cursor), Mono::background().rgb());
        QCOMPARE(shown.card.hintLineRect(), line);
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
        QTest::newRow("click on the card") << QKeySequence() << QPoint(280, 100);
        QTest::newRow("click on the transparent margin") << QKeySequence() << QPoint(3, -3);
        QTest::newRow("escape") << QKeySequence(Qt::Key_Escape) << QPoint();
        QTest::newRow("control-q") << QKeySequence("Ctrl+Q") << QPoint();
        QTest::newRow("time-out") << QKeySequence() << QPoint();
    }
    void dismissal()
    {
        QFETCH(QKeySequence, keys);
        QFETCH(QPoint, click);
        FakeClock clock;
        ReminderWindow reminder(clock);
        QStringList events;
        reminder.show(12, 4.0, [&] {
            events << (reminder.isVisible() || !openWindows().isEmpty() ? "still open" : "closed");
        });
        QPointer<ReminderNSWindow> window = openWindows().value(0);
        QVERIFY(window && QTest::qWaitForWindowExposed(window));
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
