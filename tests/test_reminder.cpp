#include "FakeClock.h"
#include "ReminderWindow.h"
#include "ReminderWindow_p.h"
#include "WidgetSnapshot.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

namespace {

ReminderNSWindow* openReminderWindow()
{
    ReminderNSWindow* found = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<ReminderNSWindow*>(widget); window && window->isVisible()) {
            found = window;
        }
    }
    return found;
}

int visibleReminderWindows()
{
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        count += qobject_cast<ReminderNSWindow*>(widget) && widget->isVisible() ? 1 : 0;
    }
    return count;
}

// Any pixel of exactly this colour inside `area`.
bool holdsColour(const QImage& image, const QRect& area, QRgb colour)
{
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (image.pixel(x, y) == colour) {
                return true;
            }
        }
    }
    return false;
}

QImage render(ReminderCard& card)
{
    QImage image(card.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    card.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

} // namespace

class TestReminder : public QObject {
    Q_OBJECT
private slots:
    void cleanup();

    void cardIs560WideAtAnyLevel_data();
    void cardIs560WideAtAnyLevel();
    void cardColours();
    void levelBarLightsItsShareInRed_data();
    void levelBarLightsItsShareInRed();
    void cursorBlinksInPlace();

    void chooseScreen_data();
    void chooseScreen();
    void centredOnItsScreen();

    void dismissal_data();
    void dismissal();
    void completionRunsOnceAtTheFirstTrigger();
    void showWhileOpenChangesNothing();
    void completionMayShowAgain();
    void earlierTimeOutSparesTheNextReminder();
    void dismissWithNothingOpenDoesNothing();
    void controllerGoneLeavesTriggersHarmless();
};

void TestReminder::cleanup()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TestReminder::cardIs560WideAtAnyLevel_data()
{
    QTest::addColumn<qint64>("percent");
    QTest::newRow("12") << qint64(12);
    QTest::newRow("0") << qint64(0);
    QTest::newRow("-1") << qint64(-1);
    QTest::newRow("150") << qint64(150);
    QTest::newRow("longest number") << std::numeric_limits<qint64>::min();
}

void TestReminder::cardIs560WideAtAnyLevel()
{
    QFETCH(qint64, percent);
    FakeClock clock;
    ReminderCard card(percent, clock, [] {});
    ReminderCard reference(12, clock, [] {});
    QCOMPARE(card.sizeHint(), reference.sizeHint());
    QCOMPARE(card.sizeHint().width(), 560);
    QCOMPARE(card.cardRect(), QRect(60, 60, 440, card.sizeHint().height() - 120));
    // However long the number, the level line stays inside the card: only the black shadow
    // lies beyond its right border.
    card.show();
    QTRY_COMPARE(card.fadeOpacity(), 1.0);
    const QImage image = render(card);
    const QRect box = card.cardRect();
    for (int x = box.right() + 1; x <= box.right() + 12; ++x) {
        QCOMPARE(qRed(image.pixel(x, card.levelBarRect().center().y())), 0);
    }
}

void TestReminder::cardColours()
{
    FakeClock clock;
    ReminderCard card(12, clock, [] {});
    card.show();
    QCOMPARE(card.fadeOpacity(), 0.0); // every reminder starts faded out
    QTRY_COMPARE(card.fadeOpacity(), 1.0);
    const QImage image = render(card);
    const QRect box = card.cardRect();

    QCOMPARE(image.pixel(box.left() + 8, box.top() + 8), Mono::background().rgb());
    // A crisp 1 px border in faint on all four edges, inside the card's rectangle.
    QCOMPARE(image.pixel(box.left(), box.center().y()), Mono::faint().rgb());
    QCOMPARE(image.pixel(box.right(), box.center().y()), Mono::faint().rgb());
    QCOMPARE(image.pixel(box.center().x(), box.top()), Mono::faint().rgb());
    QCOMPARE(image.pixel(box.center().x(), box.bottom()), Mono::faint().rgb());
    QCOMPARE(image.pixel(box.left() + 1, box.center().y()), Mono::background().rgb());

    // The "!" and the percentage are the alarm red; the title is in text colour.
    const QRect titleLine(box.left() + 34, box.top() + 30, 40, 26);
    QVERIFY(holdsColour(image, titleLine, Mono::red().rgb()));
    QVERIFY(holdsColour(image, titleLine.translated(30, 0), Mono::text().rgb()));
    const QRect levelText(box.left() + 34, card.levelBarRect().top() - 4, 30,
                          card.levelBarRect().height() + 8);
    QVERIFY(holdsColour(image, levelText, Mono::red().rgb()));
    QVERIFY(holdsColour(image, card.hintLineRect(), Mono::dim().rgb()));

    // The margin is see-through apart from the shadow, which falls below the card.
    QCOMPARE(qAlpha(image.pixel(1, 1)), 0);
    const int below = qAlpha(image.pixel(box.center().x(), box.bottom() + 20));
    const int above = qAlpha(image.pixel(box.center().x(), box.top() - 20));
    QVERIFY2(below > 40 && below > 3 * above,
             qPrintable(QStringLiteral("%1 / %2").arg(below).arg(above)));
    QCOMPARE(qRed(image.pixel(box.center().x(), box.bottom() + 20)), 0);
}

void TestReminder::levelBarLightsItsShareInRed_data()
{
    QTest::addColumn<qint64>("percent");
    QTest::addColumn<int>("lit");
    QTest::newRow("12 %") << qint64(12) << 3;
    QTest::newRow("0 %") << qint64(0) << 0;
    QTest::newRow("-1 %") << qint64(-1) << 0;
    QTest::newRow("150 %") << qint64(150) << 24;
}

void TestReminder::levelBarLightsItsShareInRed()
{
    QFETCH(qint64, percent);
    QFETCH(int, lit);
    FakeClock clock;
    ReminderCard card(percent, clock, [] {});
    card.show();
    QTRY_COMPARE(card.fadeOpacity(), 1.0);
    const QImage image = render(card);
    const QRect bar = card.levelBarRect();
    QCOMPARE(bar.size(), QSize(9 * 24 - 2, 13));
    for (int cell = 0; cell < 24; ++cell) {
        const QRgb pixel = image.pixel(bar.left() + cell * 9 + 3, bar.center().y());
        if (cell < lit) {
            // Red at whatever point of its pulse: red well above green and blue.
            QVERIFY2(qRed(pixel) > qGreen(pixel) + 20 && qGreen(pixel) > 0,
                     qPrintable(QString::number(cell)));
        } else {
            QCOMPARE(pixel, Mono::faint().rgb());
        }
    }
}

void TestReminder::cursorBlinksInPlace()
{
    FakeClock clock;
    ReminderCard card(12, clock, [] {});
    card.show();
    QTRY_COMPARE(card.fadeOpacity(), 1.0);
    QVERIFY(card.isCursorOn());
    const QRect line = card.hintLineRect();
    const QRect cursor = card.cursorRect();
    const QImage shown = render(card);
    QCOMPARE(shown.pixel(cursor.center()), Mono::dim().rgb());

    clock.advance(529ms);
    QVERIFY(card.isCursorOn());
    clock.advance(1ms);
    QVERIFY(!card.isCursorOn());
    QCOMPARE(card.hintLineRect(), line);
    const QImage hidden = render(card);
    QCOMPARE(hidden.pixel(cursor.center()), Mono::background().rgb());
    // The words stay exactly where they were (the trailing space's last pixels take the
    // block's antialiased edge).
    const QRect words(line.left(), line.top(), cursor.left() - line.left() - 2, line.height());
    QCOMPARE(hidden.copy(words), shown.copy(words));

    clock.advance(530ms);
    QVERIFY(card.isCursorOn());
}

void TestReminder::chooseScreen_data()
{
    QTest::addColumn<QList<QRect>>("screens");
    QTest::addColumn<QPoint>("pointer");
    QTest::addColumn<int>("primary"); // -1: none
    QTest::addColumn<int>("chosen");  // -1: none

    const QList<QRect> two{QRect(0, 0, 1280, 800), QRect(1280, 0, 1920, 1080)};
    QTest::newRow("pointer on the second") << two << QPoint(2000, 900) << 0 << 1;
    QTest::newRow("pointer on the first") << two << QPoint(10, 10) << 1 << 0;
    QTest::newRow("left edge of the second") << two << QPoint(1280, 0) << 0 << 1;
    QTest::newRow("below the first, beside the second") << two << QPoint(100, 900) << 1 << 1;
    QTest::newRow("outside every screen: primary") << two << QPoint(-5, -5) << 1 << 1;
    QTest::newRow("outside, no primary: first") << two << QPoint(-5, -5) << -1 << 0;
    QTest::newRow("outside, stale primary: first") << two << QPoint(-5, -5) << 7 << 0;
    QTest::newRow("overlapping: first in order")
        << QList<QRect>{QRect(0, 0, 800, 600), QRect(0, 0, 1024, 768)} << QPoint(5, 5) << 1 << 0;
    QTest::newRow("no screens") << QList<QRect>{} << QPoint(0, 0) << -1 << -1;
}

void TestReminder::chooseScreen()
{
    QFETCH(QList<QRect>, screens);
    QFETCH(QPoint, pointer);
    QFETCH(int, primary);
    QFETCH(int, chosen);
    const auto result = ::chooseScreen(
        screens, pointer, primary < 0 ? std::nullopt : std::optional<qsizetype>(primary));
    QCOMPARE(result.has_value(), chosen >= 0);
    if (result) {
        QCOMPARE(*result, qsizetype(chosen));
        // Centred on that screen's full frame.
        const QRect placed = centredIn(screens[chosen], QSize(560, 300));
        QCOMPARE(placed.center(), screens[chosen].center());
    }
}

void TestReminder::centredOnItsScreen()
{
    QCOMPARE(centredIn(QRect(1280, 0, 1920, 1080), QSize(560, 308)), QRect(1960, 386, 560, 308));
    FakeClock clock;
    ReminderWindow reminder(clock);
    reminder.show(12, 4.0, [] {});
    ReminderNSWindow* window = openReminderWindow();
    QVERIFY(window);
    const QRect frame = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(window->geometry(), centredIn(frame, window->size()));
    QCOMPARE(window->width(), 560);
    reminder.dismiss();
}

void TestReminder::dismissal_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::newRow("click on the card") << QStringLiteral("card");
    QTest::newRow("click on the transparent margin") << QStringLiteral("margin");
    QTest::newRow("right click") << QStringLiteral("right");
    QTest::newRow("escape") << QStringLiteral("escape");
    QTest::newRow("return") << QStringLiteral("return");
    QTest::newRow("control-q") << QStringLiteral("control-q");
    QTest::newRow("tab") << QStringLiteral("tab");
    QTest::newRow("time-out") << QStringLiteral("time-out");
}

void TestReminder::dismissal()
{
    QFETCH(QString, trigger);
    FakeClock clock;
    ReminderWindow reminder(clock);
    QSignalSpy dismissed(&reminder, &ReminderWindow::dismissed);
    QStringList events;
    bool visibleInCompletion = true;
    QPointer<ReminderNSWindow> windowInCompletion;
    reminder.show(12, 4.0, [&] {
        events << QStringLiteral("completion");
        visibleInCompletion = reminder.isVisible();
        windowInCompletion = openReminderWindow();
    });
    connect(&reminder, &ReminderWindow::dismissed, this,
            [&] { events << QStringLiteral("dismissed"); });
    QVERIFY(reminder.isVisible());
    QPointer<ReminderNSWindow> window = openReminderWindow();
    QVERIFY(window);
    QVERIFY(QTest::qWaitForWindowExposed(window));

    // Clicks go through the window, as a user's do, to whatever lies under the pointer.
    if (trigger == QLatin1String("card")) {
        QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, QPoint(280, 100));
    } else if (trigger == QLatin1String("margin")) {
        QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                          QPoint(3, window->height() - 3));
    } else if (trigger == QLatin1String("right")) {
        QTest::mouseClick(window->windowHandle(), Qt::RightButton, {}, QPoint(280, 100));
    } else if (trigger == QLatin1String("escape")) {
        QTest::keyClick(window, Qt::Key_Escape);
    } else if (trigger == QLatin1String("return")) {
        QTest::keyClick(window, Qt::Key_Return);
    } else if (trigger == QLatin1String("control-q")) {
        QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
    } else if (trigger == QLatin1String("tab")) {
        QTest::keyClick(window, Qt::Key_Tab);
    } else {
        clock.advance(3999ms);
        QVERIFY(reminder.isVisible());
        QVERIFY(events.isEmpty());
        clock.advance(1ms);
    }

    QCOMPARE(events, QStringList({QStringLiteral("completion"), QStringLiteral("dismissed")}));
    QVERIFY(!visibleInCompletion);
    QVERIFY(!windowInCompletion); // off the screen before the completion runs
    QVERIFY(!reminder.isVisible());
    QCOMPARE(dismissed.count(), 1);
    // Nothing of the reminder outlives it: no window, no time-out, no blink.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!window);
    QCOMPARE(clock.liveTimers(), 0);
}

void TestReminder::completionRunsOnceAtTheFirstTrigger()
{
    FakeClock clock;
    ReminderWindow reminder(clock);
    int completions = 0;
    reminder.show(12, 4.0, [&] { ++completions; });
    QPointer<ReminderNSWindow> window = openReminderWindow();
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, QPoint(280, 100));
    QCOMPARE(completions, 1);
    if (window) {
        QTest::keyClick(window, Qt::Key_A);
    }
    clock.advance(5s);
    reminder.dismiss();
    QCOMPARE(completions, 1);
}

void TestReminder::showWhileOpenChangesNothing()
{
    FakeClock clock;
    ReminderWindow reminder(clock);
    QStringList ran;
    reminder.show(12, 4.0, [&] { ran << QStringLiteral("first"); });
    QPointer<ReminderNSWindow> first = openReminderWindow();
    clock.advance(1s);
    reminder.show(3, 10.0, [&] { ran << QStringLiteral("second"); });
    QCOMPARE(visibleReminderWindows(), 1);
    QCOMPARE(openReminderWindow(), first.data());
    const QList<ReminderCard*> cards = first->findChildren<ReminderCard*>();
    QCOMPARE(cards.size(), 1);

    clock.advance(2999ms);
    QVERIFY(reminder.isVisible()); // the first time-out still counts from the first show
    clock.advance(1ms);
    QVERIFY(!reminder.isVisible());
    clock.advance(20s);
    QCOMPARE(ran, QStringList{QStringLiteral("first")});
}

void TestReminder::completionMayShowAgain()
{
    FakeClock clock;
    ReminderWindow reminder(clock);
    int secondRuns = 0;
    reminder.show(12, 4.0, [&] { reminder.show(9, 4.0, [&] { ++secondRuns; }); });
    clock.advance(4s);
    QVERIFY(reminder.isVisible());
    QCOMPARE(visibleReminderWindows(), 1);
    QCOMPARE(secondRuns, 0);
    clock.advance(4s);
    QVERIFY(!reminder.isVisible());
    QCOMPARE(secondRuns, 1);
}

void TestReminder::earlierTimeOutSparesTheNextReminder()
{
    FakeClock clock;
    ReminderWindow reminder(clock);
    reminder.show(12, 4.0, [] {});
    clock.advance(1s);
    QTest::keyClick(openReminderWindow(), Qt::Key_Space);
    bool secondClosed = false;
    reminder.show(12, 4.0, [&] { secondClosed = true; });
    clock.advance(3500ms); // past the first reminder's time-out
    QVERIFY(!secondClosed);
    clock.advance(500ms);
    QVERIFY(secondClosed);
}

void TestReminder::dismissWithNothingOpenDoesNothing()
{
    FakeClock clock;
    ReminderWindow reminder(clock);
    QSignalSpy dismissed(&reminder, &ReminderWindow::dismissed);
    reminder.dismiss();
    QCOMPARE(dismissed.count(), 0);
    QVERIFY(!reminder.isVisible());
}

void TestReminder::controllerGoneLeavesTriggersHarmless()
{
    FakeClock clock;
    bool ran = false;
    auto reminder = std::make_unique<ReminderWindow>(clock);
    reminder->show(12, 4.0, [&] { ran = true; });
    QPointer<ReminderNSWindow> window = openReminderWindow();
    reminder.reset();
    QVERIFY(!window || !window->isVisible());
    if (window) {
        QTest::keyClick(window, Qt::Key_A);
    }
    clock.advance(5s);
    QVERIFY(!ran);
}

QTEST_MAIN(TestReminder)
#include "test_reminder.moc"
