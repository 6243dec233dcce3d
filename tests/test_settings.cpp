#include "SettingsRows.h"
#include "SettingsWindow.h"

#include "Look.h"

#include "FakeClock.h"
#include "ModelFakes.h"

#include <QAccessible>
#include <QImage>
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
    BatteryLine& battery() { return part<BatteryLine>("batteryLine"); }
    ChoiceRow& thresholds() { return part<ChoiceRow>("thresholdChoices"); }
    CommandRow& uninstallRow() { return part<CommandRow>("uninstallRow"); }
    // What is drawn in the middle of the bar's first cell.
    QRgb firstCell()
    {
        return view->grab().toImage().pixel(battery().bar().mapTo(view.get(), QPoint(3, 6)));
    }

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
    void batteryLine_data()
    {
        QTest::addColumn<qint64>("percent"); // -1: no mouse
        QTest::addColumn<bool>("charging");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QColor>("bar");
        const QColor red = Mono::red(), text = Mono::text();
        QTest::newRow("no mouse") << -1LL << false << "not connected" << QColor();
        QTest::newRow("one digit, two spaces") << 5LL << false << "5%  " << red;
        QTest::newRow("100, no space") << 100LL << false << "100%" << text;
        QTest::newRow("at threshold, discharging") << 10LL << false << "10% " << red;
        QTest::newRow("one above threshold") << 11LL << false << "11% " << text;
        QTest::newRow("at threshold, charging") << 10LL << true << "10% " << text;
    }
    void batteryLine()
    {
        QFETCH(qint64, percent);
        QFETCH(bool, charging);
        QFETCH(QString, text);
        QFETCH(QColor, bar);
        Page page(percent, charging);
        const BatteryLine& line = page.battery();
        QCOMPARE(line.status().isVisible(), percent < 0);
        QCOMPARE(line.charging().isVisible(), charging);
        QCOMPARE(percent < 0 ? line.status().text() : line.percent().text(), text);
        if (percent >= 0) {
            QCOMPARE(page.firstCell(), bar.rgb());
        }
    }

    void choosingThresholdRecoloursBarAtOnce()
    {
        Page page(15, false, 7);
        QCOMPARE(highlighted(page.thresholds()), QList<int>{}); // 7 % is not offered
        QCOMPARE(page.firstCell(), Mono::text().rgb());
        QTest::mouseClick(page.thresholds().buttons().at(3), Qt::LeftButton); // 20%
        QCOMPARE(highlighted(page.thresholds()), QList<int>{3});
        QCOMPARE(page.firstCell(), Mono::red().rgb());
        QTest::mouseClick(page.thresholds().buttons().at(1), Qt::LeftButton); // 10%
        QCOMPARE(highlighted(page.thresholds()), QList<int>{1});
        QCOMPARE(page.firstCell(), Mono::text().rgb());
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

    void contentColumnAt170()
    {
        Page page(42);
        QCOMPARE(page.battery().x() + page.battery().percent().x(), 170);
        for (ChoiceRow* row : {&page.thresholds(), &page.part<ChoiceRow>("loginChoices")}) {
            QCOMPARE(row->x() + row->buttons().at(0)->x() + ChoiceButton::horizontalInset, 170);
        }
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
