#include "AppModel.h"
#include "ReminderWindow.h"
#include "ReminderWindow_p.h"
#include "SettingsWindow.h"

#include "Fakes.h"
#include "ReferencePicture.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QPointer>
#include <QTest>

using namespace std::chrono_literals;

namespace {

ReminderNSWindow* openWindow()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<ReminderNSWindow*>(widget); window && window->isVisible())
            return window;
    return nullptr;
}

// The settings window over a model on fakes, open and active; no mouse unless a percent is
// given, threshold 10 %, login start off unless told otherwise.
struct Page {
    explicit Page(qint64 percent = -1, bool charging = false, qint64 threshold = 10,
                  bool opensAtLogin = false)
    {
        if (percent >= 0)
            batteries.setMouse(percent, charging);
        store.values["threshold"] = threshold;
        loginItem.enabled = opensAtLogin;
        model = std::make_unique<AppModel>(
            AppModel::Services{batteries, store, loginItem, trash, alerts, clock, "/opt/nw"});
        controller = std::make_unique<SettingsWindowController>(
            *model,
            SettingsView::Actions{[this] { commands << "test reminder"; },
                                  [this] { commands << "uninstall"; }},
            clock);
        controller->show();
        QVERIFY(QTest::qWaitForWindowActive(window()));
        loginItem.calls.clear();
    }
    QWidget* window() const { return controller->window(); }
    QAbstractButton* part(const char* name) const
    {
        return window()->findChild<QAbstractButton*>(name);
    }

    FakeBatteryServices batteries;
    MemorySettingsStore store;
    FakeLoginItem loginItem;
    FakeTrash trash;
    FakeAlerts alerts;
    FakeClock clock;
    QStringList commands; // the page's commands, in the order they ran
    std::unique_ptr<AppModel> model;
    std::unique_ptr<SettingsWindowController> controller;
};

} // namespace

// The card and the settings window.
class TestWindows : public QObject {
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
        QTest::addColumn<std::optional<QPoint>>("pointer");
        QTest::addColumn<std::optional<qsizetype>>("primary");
        QTest::addColumn<std::optional<qsizetype>>("chosen");
        const QList<QRect> two{QRect(0, 0, 1280, 800), QRect(1280, 0, 1920, 1080)};
        const std::optional<QPoint> outside(QPoint(-5, -5)), unknown;
        const std::optional<qsizetype> none, first(0), second(1);
        QTest::newRow("pointer on the second")
            << two << std::optional(QPoint(2000, 900)) << first << second;
        QTest::newRow("outside every screen: primary") << two << outside << second << second;
        QTest::newRow("outside, no primary: first") << two << outside << none << first;
        QTest::newRow("outside, stale primary: first")
            << two << outside << std::optional<qsizetype>(7) << first;
        QTest::newRow("no screens") << QList<QRect>{} << std::optional(QPoint()) << none << none;
        QTest::newRow("pointer unknown: primary") << two << unknown << second << second;
    }
    void chooseScreen()
    {
        QFETCH(QList<QRect>, screens);
        QFETCH(std::optional<QPoint>, pointer);
        QFETCH(std::optional<qsizetype>, primary);
        QFETCH(std::optional<qsizetype>, chosen);
        QCOMPARE(::chooseScreen(screens, pointer, primary), chosen);
    }

    // The card's window: managed where KWin manages windows (it gives no keys to others through
    // XWayland), out of the window manager's hands elsewhere on X11.
    void cardWindowKind()
    {
        QCOMPARE(::cardWindowKind(u"xcb", u"KWin"), CardWindowKind::Managed);
        QCOMPARE(::cardWindowKind(u"xcb", u"GNOME Shell"), CardWindowKind::Bypassing);
        QCOMPARE(::cardWindowKind(u"wayland", u"KWin"), CardWindowKind::Plain);
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
        QCOMPARE(window->geometry().center(), window->screen()->geometry().center());
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

    // The page in its states, drawn and compared with the pictures kept with the tests: the
    // battery line, the rows' highlights, the bar red at or below the threshold unless charging,
    // the armed command and the focus frame.
    void page_data()
    {
        QTest::addColumn<qint64>("percent"); // -1: no mouse
        QTest::addColumn<bool>("charging");
        QTest::addColumn<qint64>("threshold");
        QTest::addColumn<bool>("opensAtLogin"); // then the row's name says what was done
        QTest::newRow("settings-low") << 8LL << false << 10LL << true;
        QTest::newRow("settings-at-the-threshold") << 10LL << false << 10LL << false;
        QTest::newRow("settings-full-charging") << 100LL << true << 20LL << false;
        QTest::newRow("settings-not-connected") << -1LL << false << 5LL << false;
        QTest::newRow("settings-threshold-not-offered") << 15LL << false << 7LL << false;
        QTest::newRow("settings-uninstall-armed") << 42LL << false << 10LL << true;
        QTest::newRow("settings-tab-to-5") << 42LL << false << 10LL << true;
    }
    void page()
    {
        QFETCH(qint64, percent);
        QFETCH(bool, charging);
        QFETCH(qint64, threshold);
        QFETCH(bool, opensAtLogin);
        Page page(percent, charging, threshold, opensAtLogin);
        const QString name = QTest::currentDataTag();
        if (name.endsWith("uninstall-armed"))
            QTest::mouseClick(page.part("uninstallRow"), Qt::LeftButton);
        if (name.endsWith("tab-to-5"))
            QTest::keyClick(page.window()->windowHandle(), Qt::Key_Tab);
        QCoreApplication::sendPostedEvents(); // the layout's pending requests
        const QString difference = differenceFromReference(page.window()->grab().toImage(), name);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

    void uninstallClicks_data()
    {
        QTest::addColumn<QList<int>>("gapsMs"); // between the clicks
        QTest::addColumn<int>("uninstalls");
        QTest::newRow("just before the disarm") << QList<int>{3999} << 1;
        QTest::newRow("at the disarm") << QList<int>{4000} << 0;
        QTest::newRow("each click while armed") << QList<int>{500, 1000, 1500} << 3;
        QTest::newRow("confirming does not extend") << QList<int>{3000, 1500} << 1;
    }
    void uninstallClicks()
    {
        QFETCH(QList<int>, gapsMs);
        QFETCH(int, uninstalls);
        Page page;
        QAbstractButton* row = page.part("uninstallRow");
        QTest::mouseClick(row, Qt::LeftButton);
        for (const int gap : gapsMs) {
            page.clock.advance(std::chrono::milliseconds(gap));
            QTest::mouseClick(row, Qt::LeftButton);
        }
        QCOMPARE(page.commands.count("uninstall"), uninstalls);
        QVERIFY(row->text().contains("confirm")); // the last click always leaves it armed
    }

    // From the window as it opens, with nothing focused: what the keys did, and what a screen
    // reader then says of the focused control. Choosing the state shown (login start off) still
    // asks the system again.
    void keyboard_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<qint64>("threshold");
        QTest::addColumn<QStringList>("effects"); // commands run, login item calls, "closed"
        QTest::addColumn<QString>("focus");
        const QStringList none;
        QTest::newRow("nothing focused at first") << "Space Return" << 10LL << none << "";
        QTest::newRow("tab, space: 5 %")
            << "Tab Space" << 5LL << none << "threshold 5 percent, selected";
        QTest::newRow("4 tabs, return: 20 %")
            << "Tab Tab Tab Tab Return" << 20LL << none << "threshold 20 percent, selected";
        QTest::newRow("arrow from the selected 10 %")
            << "Tab Tab Right" << 15LL << none << "threshold 15 percent, selected";
        QTest::newRow("5 tabs, enter: login on")
            << "Tab Tab Tab Tab Tab Enter" << 10LL << QStringList{"enable"}
            << "open at login on, selected";
        QTest::newRow("6 tabs, space: login off")
            << "Tab Tab Tab Tab Tab Tab Space" << 10LL << QStringList{"disable"}
            << "open at login off, selected";
        QTest::newRow("2 shift+tabs, return: test reminder")
            << "Shift+Tab Shift+Tab Return" << 10LL << QStringList{"test reminder"}
            << "show test reminder";
        QTest::newRow("shift+tab, space twice: uninstall")
            << "Shift+Tab Space Space" << 10LL << QStringList{"uninstall"}
            << "uninstall — click again to confirm";
        QTest::newRow("ctrl+w") << "Ctrl+W" << 10LL << QStringList{"closed"} << "";
        QTest::newRow("ctrl+w, a choice focused")
            << "Tab Ctrl+W" << 10LL << QStringList{"closed"} << "threshold 5 percent";
    }
    void keyboard()
    {
        QFETCH(QString, keys);
        QFETCH(qint64, threshold);
        QFETCH(QStringList, effects);
        QFETCH(QString, focus);
        Page page;
        for (const QString& key : keys.split(' ')) { // through the window system, as real keys go
            QTest::keySequence(page.window()->windowHandle(), QKeySequence(key));
        }
        QCOMPARE(page.model->threshold(), threshold);
        QCOMPARE(page.commands + page.loginItem.calls +
                     (page.window()->isVisible() ? QStringList() : QStringList{"closed"}),
                 effects);
        QString said;
        if (auto* control = qobject_cast<QAbstractButton*>(page.window()->focusWidget())) {
            QAccessibleInterface* heard = QAccessible::queryAccessibleInterface(control);
            said = heard->text(QAccessible::Name) + (heard->state().checked ? ", selected" : "");
            QCOMPARE(heard->role(),
                     control->isCheckable() ? QAccessible::RadioButton : QAccessible::Button);
        }
        QCOMPARE(said, focus);
    }
};

QTEST_MAIN(TestWindows)
#include "test_windows.moc"
