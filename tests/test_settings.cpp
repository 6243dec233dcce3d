#include "SettingsRows.h"
#include "SettingsWindow.h"

#include "Look.h"

#include "FakeClock.h"
#include "ReferencePicture.h"
#include "ModelFakes.h"

#include <QAccessible>
#include <QTest>

namespace {

// A model over fakes and a settings page on it, shown.
struct Page {
    explicit Page(qint64 percent = -1, bool charging = false, qint64 threshold = 10,
                  bool opensAtLogin = false)
    {
        if (percent >= 0) { // else no mouse
            batteries.setMouse(percent, charging);
        }
        QVERIFY(store.setInteger(QStringLiteral("threshold"), threshold).ok());
        loginItem.enabled = opensAtLogin;
        model = std::make_unique<AppModel>(AppModel::Services{
            batteries, store, loginItem, trash, alerts, clock, QStringLiteral("/opt/nw")});
        view = std::make_unique<SettingsView>(*model, actions, clock);
        view->show();
    }
    template <typename T> T& part(const char* name) { return *view->findChild<T*>(name); }
    ChoiceRow& thresholds() { return part<ChoiceRow>("thresholdChoices"); }
    CommandRow& uninstallRow() { return part<CommandRow>("uninstallRow"); }

    FakeBatteryServices batteries;
    MemorySettingsStore store;
    FakeLoginItem loginItem;
    FakeTrash trash;
    FakeAlerts alerts;
    FakeClock clock;
    std::unique_ptr<AppModel> model;
    std::unique_ptr<SettingsView> view;
    int uninstalls = 0;
    QStringList commands; // the page's commands, in the order they ran
    SettingsView::Actions actions{[this] { commands << "test reminder"; },
                                  [this] { ++uninstalls, commands << "uninstall"; }};
};

// The control a screen reader finds under `name`, anywhere below `parent`.
QAccessibleInterface* accessibleNamed(QAccessibleInterface* parent, const QString& name)
{
    for (int i = 0; parent && i < parent->childCount(); ++i) {
        QAccessibleInterface* child = parent->child(i);
        if (child->text(QAccessible::Name) == name) {
            return child;
        }
        if (QAccessibleInterface* found = accessibleNamed(child, name)) {
            return found;
        }
    }
    return nullptr;
}

// Indexes of the highlighted choices.
QList<int> highlighted(const ChoiceRow& row)
{
    QList<int> found;
    for (int i = 0; i < row.buttons().size(); ++i) {
        if (row.buttons()[i]->isSelected()) {
            found << i;
        }
    }
    return found;
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    // The page in its states, drawn and compared with the pictures kept with the tests: the
    // battery line, the rows' highlights, the bar red at or below the threshold unless charging,
    // the armed command and the focus frame.
    void page_data()
    {
        QTest::addColumn<qint64>("percent"); // -1: no mouse
        QTest::addColumn<bool>("charging");
        QTest::addColumn<qint64>("threshold");
        QTest::addColumn<bool>("opensAtLogin");
        QTest::addColumn<QString>("then");
        QTest::newRow("settings-low") << 8LL << false << 10LL << true << "";
        QTest::newRow("settings-full-charging") << 100LL << true << 20LL << false << "";
        QTest::newRow("settings-not-connected") << -1LL << false << 5LL << false << "";
        QTest::newRow("settings-threshold-not-offered") << 15LL << false << 7LL << false << "";
        QTest::newRow("settings-chose-20") << 15LL << false << 7LL << false << "click 20%";
        QTest::newRow("settings-uninstall-armed")
            << 42LL << false << 10LL << true << "click uninstall";
        QTest::newRow("settings-tab-to-5") << 42LL << false << 10LL << true << "Tab";
    }
    void page()
    {
        QFETCH(qint64, percent);
        QFETCH(bool, charging);
        QFETCH(qint64, threshold);
        QFETCH(bool, opensAtLogin);
        QFETCH(QString, then);
        Page page(percent, charging, threshold, opensAtLogin);
        SettingsWindowController controller(*page.model, page.actions, page.clock);
        controller.show();
        QVERIFY(QTest::qWaitForWindowActive(controller.window()));
        auto* view = controller.window()->findChild<SettingsView*>();
        if (then == "click 20%") {
            QTest::mouseClick(view->findChild<ChoiceRow*>("thresholdChoices")->buttons().at(3),
                              Qt::LeftButton);
        } else if (then == "click uninstall") {
            QTest::mouseClick(view->findChild<CommandRow*>("uninstallRow"), Qt::LeftButton);
        } else if (then == "Tab") {
            QTest::keyClick(controller.window()->windowHandle(), Qt::Key_Tab);
        }
        QCoreApplication::sendPostedEvents(); // the layout's pending requests
        const QString difference =
            differenceFromReference(controller.window()->grab().toImage(), QTest::currentDataTag());
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

    void barTurnsRedAtTheThresholdUnlessCharging_data()
    {
        QTest::addColumn<qint64>("percent");
        QTest::addColumn<bool>("charging");
        QTest::addColumn<bool>("red");
        QTest::newRow("at the threshold") << 10LL << false << true;
        QTest::newRow("one above") << 11LL << false << false;
        QTest::newRow("at the threshold, charging") << 10LL << true << false;
    }
    void barTurnsRedAtTheThresholdUnlessCharging()
    {
        QFETCH(qint64, percent);
        QFETCH(bool, charging);
        QFETCH(bool, red);
        QCOMPARE(BatteryLine::barFill({percent, charging}, 10) == Mono::red(), red);
    }

    void choosingHighlightedOnAsksAgain()
    {
        Page page(42, false, 10, true);
        QCOMPARE(highlighted(page.part<ChoiceRow>("loginChoices")), QList<int>{0});
        QTest::mouseClick(page.part<ChoiceRow>("loginChoices").buttons().at(0), Qt::LeftButton);
        QCOMPARE(page.loginItem.calls, QStringList{"enable"});
        QCOMPARE(highlighted(page.part<ChoiceRow>("loginChoices")), QList<int>{0});
    }

    void uninstallClicks_data()
    {
        QTest::addColumn<QList<int>>("gapsMs"); // between the clicks
        QTest::addColumn<int>("uninstalls");
        QTest::newRow("1 s apart") << QList<int>{1000} << 1;
        QTest::newRow("5 s apart, armed afresh") << QList<int>{5000} << 0;
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
        QTest::mouseClick(&page.uninstallRow(), Qt::LeftButton);
        for (const int gap : gapsMs) {
            page.clock.advance(std::chrono::milliseconds(gap));
            QTest::mouseClick(&page.uninstallRow(), Qt::LeftButton);
        }
        QCOMPARE(page.uninstalls, uninstalls);
        QVERIFY(page.view->isConfirmingUninstall()); // the last click always leaves it armed
    }

    void uninstallRowColours_data()
    {
        QTest::addColumn<bool>("hovering");
        QTest::addColumn<bool>("armed"); // tinted red
        QTest::addColumn<QColor>("prompt");
        QTest::addColumn<QColor>("title");
        QTest::newRow("text, idle") << false << false << Mono::faint() << Mono::dim();
        QTest::newRow("red, idle") << false << true << Mono::faint() << Mono::red();
        QTest::newRow("text, hovered") << true << false << Mono::text() << Mono::text();
        QTest::newRow("red, hover carried over") << true << true << Mono::red() << Mono::red();
    }
    void uninstallRowColours()
    {
        QFETCH(bool, hovering);
        QFETCH(bool, armed);
        QFETCH(QColor, prompt);
        QFETCH(QColor, title);
        Page page;
        QVERIFY(QTest::qWaitForWindowExposed(page.view.get()));
        CommandRow& row = page.uninstallRow();
        if (hovering) {
            QTest::mouseMove(&row, QPoint(2, 5));
            QTRY_VERIFY(row.isHovering());
        }
        if (armed) { // the tint changes in place, under the pointer or not
            QTest::mouseClick(&row, Qt::LeftButton);
        }
        QCOMPARE(row.currentColours().prompt, prompt);
        QCOMPARE(row.currentColours().title, title);
    }

    void closeShortcut_data()
    {
        QTest::addColumn<QKeySequence>("keys");
        QTest::addColumn<bool>("closes");
        QTest::newRow("ctrl+w") << QKeySequence("Ctrl+W") << true;
        QTest::newRow("ctrl+shift+w") << QKeySequence("Ctrl+Shift+W") << false;
        QTest::newRow("ctrl+alt+w") << QKeySequence("Ctrl+Alt+W") << false;
        QTest::newRow("w alone") << QKeySequence("W") << false;
        QTest::newRow("ctrl+w, a choice focused") << QKeySequence("Tab, Ctrl+W") << true;
    }
    void closeShortcut()
    {
        QFETCH(QKeySequence, keys);
        QFETCH(bool, closes);
        Page page;
        SettingsWindowController controller(*page.model, page.actions, page.clock);
        controller.show();
        // Through the window system, so the key finds its way as a real one would.
        QTest::keySequence(controller.window()->windowHandle(), keys);
        QCOMPARE(controller.window()->isVisible(), !closes);
    }

    // From the window as it opens, with nothing focused; threshold 10 %, login start off.
    void keyboard_data()
    {
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<qint64>("threshold");
        QTest::addColumn<QStringList>("effects"); // commands run, then login item calls
        const QStringList none;
        QTest::newRow("nothing focused at first") << QStringList{"Space", "Return"} << 10LL << none;
        QTest::newRow("tab, space: 5 %") << QStringList{"Tab", "Space"} << 5LL << none;
        QTest::newRow("4 tabs, return: 20 %")
            << QStringList{"Tab", "Tab", "Tab", "Tab", "Return"} << 20LL << none;
        QTest::newRow("arrow from the selected 10 %")
            << QStringList{"Tab", "Tab", "Right"} << 15LL << none;
        QTest::newRow("5 tabs, enter: login on")
            << QStringList{"Tab", "Tab", "Tab", "Tab", "Tab", "Enter"} << 10LL
            << QStringList{"enable"};
        QTest::newRow("6 tabs, space: login off")
            << QStringList{"Tab", "Tab", "Tab", "Tab", "Tab", "Tab", "Space"} << 10LL
            << QStringList{"disable"};
        QTest::newRow("2 shift+tabs, return: test reminder")
            << QStringList{"Shift+Tab", "Shift+Tab", "Return"} << 10LL
            << QStringList{"test reminder"};
        QTest::newRow("shift+tab, space twice: uninstall")
            << QStringList{"Shift+Tab", "Space", "Space"} << 10LL << QStringList{"uninstall"};
    }
    void keyboard()
    {
        QFETCH(QStringList, keys);
        QFETCH(qint64, threshold);
        QFETCH(QStringList, effects);
        Page page;
        SettingsWindowController controller(*page.model, page.actions, page.clock);
        controller.show();
        QVERIFY(QTest::qWaitForWindowActive(controller.window()));
        page.loginItem.calls.clear();
        for (const QString& key : keys) {
            QTest::keySequence(controller.window()->windowHandle(), QKeySequence(key));
        }
        QCOMPARE(page.model->threshold(), threshold);
        QCOMPARE(page.commands + page.loginItem.calls, effects);
    }

    void accessibleNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QAccessible::Role>("role");
        QTest::addColumn<bool>("checked");
        QTest::newRow("selected threshold")
            << "threshold 10 percent" << QAccessible::RadioButton << true;
        QTest::newRow("other threshold")
            << "threshold 5 percent" << QAccessible::RadioButton << false;
        QTest::newRow("login start") << "open at login off" << QAccessible::RadioButton << true;
        QTest::newRow("command") << "show test reminder" << QAccessible::Button << false;
    }
    void accessibleNames()
    {
        QFETCH(QString, name);
        QFETCH(QAccessible::Role, role);
        QFETCH(bool, checked);
        Page page;
        QAccessibleInterface* control =
            accessibleNamed(QAccessible::queryAccessibleInterface(page.view.get()), name);
        QVERIFY2(control, qPrintable(name));
        QCOMPARE(control->role(), role);
        QCOMPARE(bool(control->state().checked), checked);
        QCOMPARE(bool(control->state().focusable), true);
    }

    void showBuildsOnceRefreshesAndKeepsPosition()
    {
        Page page(42);
        SettingsWindowController controller(*page.model, page.actions, page.clock);
        const int reads = page.batteries.reads;
        controller.show();
        QWidget* window = controller.window();
        QCOMPARE(window->size(), QSize(560, 376));
        // Arm "uninstall", move the window, close it, and open it again.
        auto* row = window->findChild<CommandRow*>(QStringLiteral("uninstallRow"));
        QTest::mouseClick(row, Qt::LeftButton);
        window->move(123, 145);
        QTest::keyClick(window, Qt::Key_W, Qt::ControlModifier);
        page.batteries.setMouse(7, false);
        controller.show();
        QVERIFY(window->isVisible());
        QCOMPARE(window->pos(), QPoint(123, 145));
        QCOMPARE(window->findChild<BatteryLine*>()->percent().text(), QStringLiteral("7%  "));
        QVERIFY(row->title() != QStringLiteral("uninstall")); // the page was kept, not rebuilt
        controller.show(); // already on screen: the same window, refreshed again
        QCOMPARE(controller.window(), window);
        QCOMPARE(page.batteries.reads, reads + 3);
    }
};

QTEST_MAIN(TestSettings)
#include "test_settings.moc"
