#include "SettingsWindow.h"
#include "SettingsWindow_p.h"

#include "AppModel.h"
#include "Look.h"

#include "FakeClock.h"
#include "ModelFakes.h"

#include <QEnterEvent>
#include <QImage>
#include <QTest>

using namespace std::chrono_literals;

namespace {

const QString armedTitle = QStringLiteral("uninstall \u2014 click again to confirm");

// A model over fakes and a settings page on it.
struct Page {
    Page() = default;
    Page(qint64 percent, bool charging, qint64 threshold)
    {
        batteries.setMouse(percent, charging);
        store.setInteger(QStringLiteral("threshold"), threshold);
    }

    AppModel& model()
    {
        if (!builtModel) {
            builtModel = std::make_unique<AppModel>(AppModel::Services{
                batteries, store, loginItem, trash, alerts, clock, QStringLiteral("/opt/nw")});
        }
        return *builtModel;
    }
    SettingsView::Actions actions()
    {
        return {[this] { ++testReminders; }, [this] { ++uninstalls; }};
    }
    SettingsView& view()
    {
        if (!builtView) {
            builtView = std::make_unique<SettingsView>(model(), actions(), clock);
            builtView->show();
        }
        return *builtView;
    }
    template <typename T> T& part(const char* name)
    {
        T* found = view().findChild<T*>(QLatin1String(name));
        Q_ASSERT(found);
        return *found;
    }
    BatteryLine& battery() { return part<BatteryLine>("batteryLine"); }
    ChoiceRow& thresholds() { return part<ChoiceRow>("thresholdChoices"); }
    ChoiceRow& login() { return part<ChoiceRow>("loginChoices"); }
    CommandRow& uninstallRow() { return part<CommandRow>("uninstallRow"); }

    // What is drawn in the middle of the bar's first cell.
    QRgb firstCell()
    {
        const BlockBar& bar = battery().bar();
        return view().grab().toImage().pixel(bar.mapTo(&view(), QPoint(3, 6)));
    }

    FakeBatteryServices batteries;
    MemorySettingsStore store;
    FakeLoginItem loginItem;
    FakeTrash trash;
    FakeAlerts alerts;
    FakeClock clock;
    std::unique_ptr<AppModel> builtModel;
    std::unique_ptr<SettingsView> builtView;
    int testReminders = 0;
    int uninstalls = 0;
};

void click(QWidget& widget, QPoint at)
{
    QTest::mouseClick(&widget, Qt::LeftButton, {}, at);
}
void click(QWidget& widget)
{
    click(widget, widget.rect().center());
}

// Index of the highlighted choice, -1 for none; -2 when more than one is.
int highlighted(const ChoiceRow& row)
{
    int found = -1;
    for (int i = 0; i < row.buttons().size(); ++i) {
        if (row.buttons()[i]->isSelected()) {
            found = found == -1 ? i : -2;
        }
    }
    return found;
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    // --- battery line ----------------------------------------------------------------------

    void batteryLine_data()
    {
        QTest::addColumn<qint64>("percent"); // -1: no mouse
        QTest::addColumn<bool>("charging");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QColor>("bar");

        const QColor red = Mono::red(), text = Mono::text();
        QTest::newRow("no mouse") << -1LL << false << "not connected" << QColor();
        QTest::newRow("one digit, two spaces") << 5LL << false << "5%  " << red;
        QTest::newRow("two digits, one space") << 85LL << false << "85% " << text;
        QTest::newRow("100, no space") << 100LL << false << "100%" << text;
        QTest::newRow("longer, cut to four") << 1234LL << false << "1234" << text;
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

        Page page;
        if (percent >= 0) {
            page.batteries.setMouse(percent, charging);
        }
        const BatteryLine& line = page.battery();
        QCOMPARE(line.status().isVisible(), percent < 0);
        QCOMPARE(line.bar().isVisible(), percent >= 0);
        QCOMPARE(line.charging().isVisible(), charging);
        if (percent < 0) {
            QCOMPARE(line.status().text(), text);
            QCOMPARE(line.status().colour(), Mono::dim());
            return;
        }
        QCOMPARE(line.percent().text(), text);
        QCOMPARE(line.bar().percent(), percent);
        QCOMPARE(line.bar().cells(), 20);
        QCOMPARE(page.firstCell(), bar.rgb());
        if (charging) {
            QCOMPARE(line.charging().colour(), Mono::dim());
            QCOMPARE(line.charging().x(), line.bar().geometry().right() + 1 + 14);
        }
    }

    void choosingThresholdRecoloursBarAtOnce()
    {
        Page page(15, false, 10);
        QCOMPARE(page.firstCell(), Mono::text().rgb());
        click(*page.thresholds().buttons().at(3)); // 20%
        QCOMPARE(page.store.integer(QStringLiteral("threshold")), 20);
        QCOMPARE(highlighted(page.thresholds()), 3);
        QCOMPARE(page.firstCell(), Mono::red().rgb());
        click(*page.thresholds().buttons().at(1)); // 10%
        QCOMPARE(highlighted(page.thresholds()), 1);
        QCOMPARE(page.firstCell(), Mono::text().rgb());
    }

    // --- choices ---------------------------------------------------------------------------

    void thresholdHighlight_data()
    {
        QTest::addColumn<qint64>("threshold");
        QTest::addColumn<int>("index");
        QTest::newRow("5") << 5LL << 0;
        QTest::newRow("default 10") << 10LL << 1;
        QTest::newRow("20") << 20LL << 3;
        QTest::newRow("7, not offered") << 7LL << -1;
    }
    void thresholdHighlight()
    {
        QFETCH(qint64, threshold);
        QFETCH(int, index);
        Page page;
        page.store.setInteger(QStringLiteral("threshold"), threshold);
        QCOMPARE(highlighted(page.thresholds()), index);
        if (index >= 0) { // a reversed block: text-coloured fill behind the label
            const QWidget* chosen = page.thresholds().buttons().at(index);
            const QImage image = page.view().grab().toImage();
            QCOMPARE(image.pixel(chosen->mapTo(&page.view(), QPoint(1, 1))), Mono::text().rgb());
        }
    }

    void choosingHighlightedOnAsksAgain()
    {
        Page page;
        page.loginItem.enabled = true;
        QCOMPARE(highlighted(page.login()), 0);
        click(*page.login().buttons().at(0));
        QCOMPARE(page.loginItem.calls, QStringList{"enable"});
        QCOMPARE(highlighted(page.login()), 0);
    }

    void loginHighlightFollowsModelNotClick()
    {
        Page page;
        page.loginItem.failEnable = true;
        click(*page.login().buttons().at(0));
        QCOMPARE(page.alerts.shown.size(), 1);
        QCOMPARE(highlighted(page.login()), 1);
    }

    // --- two-click uninstall ---------------------------------------------------------------

    void uninstallClicks_data()
    {
        QTest::addColumn<QList<int>>("clicksAtMs");
        QTest::addColumn<int>("uninstalls");
        QTest::newRow("1 s apart") << QList<int>{0, 1000} << 1;
        QTest::newRow("5 s apart, armed afresh") << QList<int>{0, 5000} << 0;
        QTest::newRow("just before the disarm") << QList<int>{0, 3999} << 1;
        QTest::newRow("at the disarm") << QList<int>{0, 4000} << 0;
        QTest::newRow("each click while armed") << QList<int>{0, 500, 1500, 3000} << 3;
        QTest::newRow("confirming does not extend") << QList<int>{0, 3000, 4500} << 1;
        QTest::newRow("re-armed, counts anew") << QList<int>{0, 5000, 8500} << 1;
        QTest::newRow("re-armed, expired again") << QList<int>{0, 5000, 9000} << 0;
    }
    void uninstallClicks()
    {
        QFETCH(QList<int>, clicksAtMs);
        QFETCH(int, uninstalls);
        Page page;
        int now = 0;
        for (const int at : clicksAtMs) {
            page.clock.advance(std::chrono::milliseconds(at - now));
            now = at;
            click(page.uninstallRow(), QPoint(2, 5));
        }
        QCOMPARE(page.uninstalls, uninstalls);
        QVERIFY(page.view().isConfirmingUninstall()); // the last click always leaves it armed
        QCOMPARE(page.testReminders, 0);
    }

    void armedRowShowsConfirmationUntilDisarmed()
    {
        Page page;
        CommandRow& row = page.uninstallRow();
        click(row, QPoint(2, 5));
        QCOMPARE(row.title(), armedTitle);
        QVERIFY(!row.isHovering());
        QCOMPARE(row.currentColours().title, Mono::red());
        QCOMPARE(row.width(), row.sizeHint().width()); // the longer title is not clipped
        page.clock.advance(3999ms);
        QVERIFY(page.view().isConfirmingUninstall());
        page.clock.advance(1ms);
        QCOMPARE(row.title(), QStringLiteral("uninstall"));
        QCOMPARE(row.currentColours().title, Mono::dim());
    }

    // --- command rows ----------------------------------------------------------------------

    void commandRowColours_data()
    {
        QTest::addColumn<QColor>("tint");
        QTest::addColumn<bool>("hovering");
        QTest::addColumn<QColor>("prompt");
        QTest::addColumn<QColor>("title");
        QTest::newRow("text, idle") << Mono::text() << false << Mono::faint() << Mono::dim();
        QTest::newRow("text, hovered") << Mono::text() << true << Mono::text() << Mono::text();
        QTest::newRow("red, idle") << Mono::red() << false << Mono::faint() << Mono::red();
        QTest::newRow("red, hovered") << Mono::red() << true << Mono::red() << Mono::red();
    }
    void commandRowColours()
    {
        QFETCH(QColor, tint);
        QFETCH(bool, hovering);
        QFETCH(QColor, prompt);
        QFETCH(QColor, title);
        CommandRow row(QStringLiteral("show test reminder"), tint, {});
        if (hovering) {
            QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
            QCoreApplication::sendEvent(&row, &enter);
        }
        QCOMPARE(row.currentColours().prompt, prompt);
        QCOMPARE(row.currentColours().title, title);
    }

    void clickInPromptGapRunsActionOnce()
    {
        Page page;
        CommandRow& row = page.part<CommandRow>("testReminderRow");
        click(row, QPoint(row.fontMetrics().horizontalAdvance(QLatin1Char('>')) + 5, 5));
        QCOMPARE(page.testReminders, 1);
    }

    void hoverCarriesOverWhenArmed()
    {
        Page page;
        QVERIFY(QTest::qWaitForWindowExposed(&page.view()));
        CommandRow& row = page.uninstallRow();
        QTest::mouseMove(&row, QPoint(2, 5));
        QTRY_VERIFY(row.isHovering());
        click(row, QPoint(2, 5));
        QCOMPARE(row.currentColours().prompt, Mono::red());
        QCOMPARE(row.currentColours().title, Mono::red());
        QTest::mouseMove(&page.view(), QPoint(500, 20));
        QTRY_VERIFY(!row.isHovering());
        QCOMPARE(row.currentColours().prompt, Mono::faint());
    }

    // --- page measures ---------------------------------------------------------------------

    void labelsShareTheirContentsBaseline_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("content");
        QTest::newRow("mouse, not connected") << false << "mouseLabel"
                                              << "batteryLine";
        QTest::newRow("mouse, with bar") << true << "mouseLabel"
                                         << "batteryLine";
        QTest::newRow("remind at") << true << "remindLabel"
                                   << "thresholdChoices";
        QTest::newRow("open at login") << true << "loginLabel"
                                       << "loginChoices";
    }
    void labelsShareTheirContentsBaseline()
    {
        QFETCH(bool, connected);
        QFETCH(QString, label);
        QFETCH(QString, content);
        Page page;
        if (connected) {
            page.batteries.setMouse(42, true);
        }
        const auto* labelLine = page.view().findChild<TextLine*>(label);
        const QWidget* contents = page.view().findChild<QWidget*>(content);
        const auto* line = qobject_cast<const BatteryLine*>(contents);
        const int baseline = line ? line->firstBaseline()
                                  : qobject_cast<const ChoiceRow*>(contents)->firstBaseline();
        QCOMPARE(labelLine->x(), 40);
        QCOMPARE(labelLine->y() + labelLine->firstBaseline(), contents->y() + baseline);
    }

    void contentColumnAndRules()
    {
        for (const qint64 percent : {5LL, 100LL}) { // the bar starts at one place
            Page page(percent, false, 10);
            QCOMPARE(page.battery().x() + page.battery().percent().x(), 170);
            QCOMPARE(page.battery().x() + page.battery().bar().x(),
                     170 + page.battery().fontMetrics().horizontalAdvance(QStringLiteral("100%")) +
                         14);
        }
        Page page(42, false, 10);
        for (ChoiceRow* row : {&page.thresholds(), &page.login()}) {
            // The first choice's text starts in the content column; the next sits 6 after it.
            QCOMPARE(row->x() + row->buttons().at(0)->x() + ChoiceButton::horizontalInset, 170);
            QCOMPARE(row->buttons().at(1)->x(), row->buttons().at(0)->geometry().right() + 7);
        }
        const QWidget& test = page.part<CommandRow>("testReminderRow");
        QCOMPARE(page.uninstallRow().y(), test.geometry().bottom() + 1 + 8);
        QVERIFY(page.uninstallRow().geometry().bottom() < 376 - 32);

        // Two 1-pixel rules, 480 wide from x = 40, each 22 clear of what it separates.
        const QImage image = page.view().grab().toImage();
        QList<int> rules;
        for (int y = 0; y < image.height(); ++y) {
            if (image.pixel(510, y) == Mono::faint().rgb()) {
                rules << y;
                QCOMPARE(image.pixel(40, y), Mono::faint().rgb());
                QCOMPARE(image.pixel(39, y), Mono::background().rgb());
                QCOMPARE(image.pixel(520, y), Mono::background().rgb());
            }
        }
        QCOMPARE(rules.size(), 2);
        QCOMPARE(page.battery().y(), rules.at(0) + 1 + 22);
        QCOMPARE(test.y(), rules.at(1) + 1 + 22);
    }

    // --- window ----------------------------------------------------------------------------

    void closeShortcut_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<bool>("closes");
        const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
        QTest::newRow("ctrl+w") << int(Qt::Key_W) << ctrl << true;
        QTest::newRow("ctrl+shift+w") << int(Qt::Key_W) << (ctrl | Qt::ShiftModifier) << false;
        QTest::newRow("ctrl+alt+w") << int(Qt::Key_W) << (ctrl | Qt::AltModifier) << false;
        QTest::newRow("ctrl+meta+w") << int(Qt::Key_W) << (ctrl | Qt::MetaModifier) << false;
        QTest::newRow("ctrl+keypad w") << int(Qt::Key_W) << (ctrl | Qt::KeypadModifier) << false;
        QTest::newRow("w alone") << int(Qt::Key_W) << Qt::KeyboardModifiers() << false;
        QTest::newRow("ctrl+q") << int(Qt::Key_Q) << ctrl << false;
    }
    void closeShortcut()
    {
        QFETCH(int, key);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(bool, closes);
        Page page;
        SettingsWindowController controller(page.model(), page.actions(), page.clock);
        controller.show();
        // Through the window system, so the key finds its way as a real one would.
        QTest::keyClick(controller.window()->windowHandle(), Qt::Key(key), modifiers);
        QCOMPARE(controller.window()->isVisible(), !closes);
    }

    void showBuildsOnceRefreshesAndKeepsPosition()
    {
        Page page(42, false, 10);
        SettingsWindowController controller(page.model(), page.actions(), page.clock);
        QVERIFY(!controller.window());
        const int reads = page.batteries.reads;
        controller.show();
        QWidget* window = controller.window();
        QCOMPARE(page.batteries.reads, reads + 1);
        QCOMPARE(window->size(), QSize(560, 376));
        QCOMPARE(window->maximumSize(), QSize(560, 376));
        QCOMPARE(window->windowTitle(), QStringLiteral("Nightwick"));

        // Arm "uninstall", move the window, close it, and open it again.
        auto* row = window->findChild<CommandRow*>(QStringLiteral("uninstallRow"));
        click(*row, QPoint(2, 5));
        window->move(123, 145);
        QTest::keyClick(window, Qt::Key_W, Qt::ControlModifier);
        page.batteries.setMouse(7, false);
        controller.show();
        QCOMPARE(controller.window(), window);
        QVERIFY(window->isVisible());
        QCOMPARE(window->pos(), QPoint(123, 145));
        QCOMPARE(page.batteries.reads, reads + 2);
        QCOMPARE(window->findChild<BatteryLine*>()->percent().text(), QStringLiteral("7%  "));
        QCOMPARE(row->title(), armedTitle); // the page was kept, not rebuilt

        controller.show(); // already on screen: the same window, refreshed again
        QCOMPARE(controller.window(), window);
        QCOMPARE(page.batteries.reads, reads + 3);
        QCOMPARE(window->grab().toImage().pixel(2, 2), Mono::background().rgb());
    }
};

QTEST_MAIN(TestSettings)
#include "test_settings.moc"
