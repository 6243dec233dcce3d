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

// A model over fakes and a settings page on it, as the window builds it.
struct PageFixture {
    PageFixture() = default;
    PageFixture(qint64 percent, bool charging, qint64 threshold)
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
    BatteryLine& batteryLine() { return part<BatteryLine>("batteryLine"); }
    ChoiceRow& thresholds() { return part<ChoiceRow>("thresholdChoices"); }
    ChoiceRow& loginChoices() { return part<ChoiceRow>("loginChoices"); }
    CommandRow& testReminderRow() { return part<CommandRow>("testReminderRow"); }
    CommandRow& uninstallRow() { return part<CommandRow>("uninstallRow"); }

    // The colour drawn in the middle of the bar's first cell.
    QRgb firstCellColour()
    {
        const BlockBar& bar = batteryLine().bar();
        const QPoint cell =
            bar.mapTo(&view(), QPoint(BlockBarLook::cellWidth / 2, bar.height() / 2));
        return view().grab().toImage().pixel(cell);
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

void click(QWidget& widget, QPoint at = {})
{
    QTest::mouseClick(&widget, Qt::LeftButton, {}, at.isNull() ? widget.rect().center() : at);
}

std::optional<qsizetype> selectedIndex(const ChoiceRow& row)
{
    for (qsizetype i = 0; i < row.buttons().size(); ++i) {
        if (row.buttons()[i]->isSelected()) {
            return i;
        }
    }
    return std::nullopt;
}

int selectedCount(const ChoiceRow& row)
{
    return static_cast<int>(std::count_if(row.buttons().begin(), row.buttons().end(),
                                          [](const ChoiceButton* b) { return b->isSelected(); }));
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

private slots:
    // battery line
    void batteryLine_data();
    void batteryLine();
    void thresholdChoiceRecoloursBarAtOnce();

    // choices
    void thresholdHighlight_data();
    void thresholdHighlight();
    void choosingHighlightedOnAsksAgain();
    void loginHighlightFollowsModelNotClick();

    // two-click uninstall
    void uninstallClicks_data();
    void uninstallClicks();
    void armedRowShowsConfirmationUntilDisarmed();

    // command rows
    void commandRowColours_data();
    void commandRowColours();
    void clickInPromptGapRunsActionOnce();
    void hoverCarriesOverWhenArmed();

    // page measures
    void labelsShareTheirContentsBaseline_data();
    void labelsShareTheirContentsBaseline();
    void contentColumnAndRules();

    // window
    void closeShortcut_data();
    void closeShortcut();
    void showBuildsOnceRefreshesAndKeepsPosition();
    void windowIsFixedAndDark();
};

// --- battery line ------------------------------------------------------------------------

void TestSettings::batteryLine_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<qint64>("percent");
    QTest::addColumn<bool>("charging");
    QTest::addColumn<qint64>("threshold");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QColor>("fill"); // invalid: no bar, or no lit cell to see
    QTest::addColumn<bool>("showsCharging");

    const QColor red = Mono::red();
    const QColor text = Mono::text();
    QTest::newRow("no mouse") << false << 0LL << false << 10LL << "not connected" << QColor()
                              << false;
    QTest::newRow("one digit padded to four")
        << true << 5LL << false << 10LL << "5%  " << red << false;
    QTest::newRow("two digits, one space")
        << true << 85LL << false << 10LL << "85% " << text << false;
    QTest::newRow("100 needs no space")
        << true << 100LL << false << 10LL << "100%" << text << false;
    QTest::newRow("longer text is cut")
        << true << 1234LL << false << 10LL << "1234" << text << false;
    QTest::newRow("at threshold, discharging")
        << true << 10LL << false << 10LL << "10% " << red << false;
    QTest::newRow("one above threshold")
        << true << 11LL << false << 10LL << "11% " << text << false;
    QTest::newRow("at threshold, charging")
        << true << 10LL << true << 10LL << "10% " << text << true;
    QTest::newRow("low and charging") << true << 3LL << true << 20LL << "3%  " << text << true;
}

void TestSettings::batteryLine()
{
    QFETCH(bool, connected);
    QFETCH(qint64, percent);
    QFETCH(bool, charging);
    QFETCH(qint64, threshold);
    QFETCH(QString, text);
    QFETCH(QColor, fill);
    QFETCH(bool, showsCharging);

    PageFixture page;
    if (connected) {
        page.batteries.setMouse(percent, charging);
    }
    page.store.setInteger(QStringLiteral("threshold"), threshold);
    const BatteryLine& line = page.batteryLine();

    if (connected) {
        QCOMPARE(line.percent().text(), text);
        QVERIFY(line.percent().isVisible());
        QVERIFY(line.bar().isVisible());
        QVERIFY(!line.status().isVisible());
        QCOMPARE(line.bar().percent(), percent);
        QCOMPARE(line.bar().cells(), 20);
        QCOMPARE(page.firstCellColour(), fill.rgb());
    } else {
        QCOMPARE(line.status().text(), text);
        QCOMPARE(line.status().colour(), Mono::dim());
        QVERIFY(line.status().isVisible());
        QVERIFY(!line.bar().isVisible());
        QVERIFY(!line.percent().isVisible());
    }
    QCOMPARE(line.charging().isVisible(), showsCharging);
    if (showsCharging) {
        QCOMPARE(line.charging().text(), QStringLiteral("charging"));
        QCOMPARE(line.charging().colour(), Mono::dim());
        // After the bar, 14 apart.
        QCOMPARE(line.charging().x(), line.bar().geometry().right() + 1 + 14);
    }
}

void TestSettings::thresholdChoiceRecoloursBarAtOnce()
{
    PageFixture page(15, false, 10);
    QCOMPARE(page.firstCellColour(), Mono::text().rgb());

    click(*page.thresholds().buttons().at(3)); // 20%
    QCOMPARE(page.model().threshold(), 20);
    QCOMPARE(page.store.integer(QStringLiteral("threshold")), 20);
    QCOMPARE(selectedIndex(page.thresholds()), 3);
    QCOMPARE(page.firstCellColour(), Mono::red().rgb());

    click(*page.thresholds().buttons().at(1)); // 10%
    QCOMPARE(selectedIndex(page.thresholds()), 1);
    QCOMPARE(page.firstCellColour(), Mono::text().rgb());
}

// --- choices -----------------------------------------------------------------------------

void TestSettings::thresholdHighlight_data()
{
    QTest::addColumn<qint64>("threshold");
    QTest::addColumn<int>("highlighted"); // -1: none

    QTest::newRow("5") << 5LL << 0;
    QTest::newRow("default 10") << 10LL << 1;
    QTest::newRow("20") << 20LL << 3;
    QTest::newRow("7 is not offered") << 7LL << -1;
    QTest::newRow("0 is not offered") << 0LL << -1;
}

void TestSettings::thresholdHighlight()
{
    QFETCH(qint64, threshold);
    QFETCH(int, highlighted);

    PageFixture page;
    page.store.setInteger(QStringLiteral("threshold"), threshold);
    const ChoiceRow& row = page.thresholds();

    QStringList labels;
    for (const ChoiceButton* button : row.buttons()) {
        labels << button->text();
    }
    QCOMPARE(labels, QStringList({"5%", "10%", "15%", "20%"}));
    QCOMPARE(selectedCount(row), highlighted < 0 ? 0 : 1);
    if (highlighted >= 0) {
        QCOMPARE(selectedIndex(row), highlighted);
        // Reversed block: the fill behind the label is the text colour.
        const ChoiceButton& chosen = *row.buttons().at(highlighted);
        const QImage image = page.view().grab().toImage();
        QCOMPARE(image.pixel(chosen.mapTo(&page.view(), QPoint(1, 1))), Mono::text().rgb());
    }
}

void TestSettings::choosingHighlightedOnAsksAgain()
{
    PageFixture page;
    page.loginItem.enabled = true;
    QCOMPARE(selectedIndex(page.loginChoices()), 0);

    click(*page.loginChoices().buttons().at(0));
    QCOMPARE(page.loginItem.calls, QStringList{"enable"});
    QCOMPARE(selectedIndex(page.loginChoices()), 0);

    click(*page.loginChoices().buttons().at(1));
    QCOMPARE(page.loginItem.calls, QStringList({"enable", "disable"}));
    QCOMPARE(selectedIndex(page.loginChoices()), 1);
}

void TestSettings::loginHighlightFollowsModelNotClick()
{
    PageFixture page;
    page.loginItem.failEnable = true;
    QCOMPARE(selectedIndex(page.loginChoices()), 1);

    click(*page.loginChoices().buttons().at(0));
    QCOMPARE(page.alerts.shown.size(), 1);
    QCOMPARE(selectedIndex(page.loginChoices()), 1);
}

// --- two-click uninstall -----------------------------------------------------------------

void TestSettings::uninstallClicks_data()
{
    QTest::addColumn<QList<int>>("clicksAtMs");
    QTest::addColumn<int>("uninstalls");
    QTest::addColumn<bool>("armedAfterLastClick");

    QTest::newRow("1 s apart") << QList<int>{0, 1000} << 1 << true;
    QTest::newRow("5 s apart: disarmed in between, armed afresh")
        << QList<int>{0, 5000} << 0 << true;
    QTest::newRow("just before the disarm") << QList<int>{0, 3999} << 1 << true;
    QTest::newRow("at the disarm") << QList<int>{0, 4000} << 0 << true;
    QTest::newRow("each click while armed") << QList<int>{0, 500, 1500, 3000} << 3 << true;
    QTest::newRow("confirming does not extend the 4 s") << QList<int>{0, 3000, 4500} << 1 << true;
    QTest::newRow("re-armed counts from the new arming") << QList<int>{0, 5000, 8500} << 1 << true;
    QTest::newRow("re-armed then expired again") << QList<int>{0, 5000, 9000} << 0 << true;
}

void TestSettings::uninstallClicks()
{
    QFETCH(QList<int>, clicksAtMs);
    QFETCH(int, uninstalls);
    QFETCH(bool, armedAfterLastClick);

    PageFixture page;
    CommandRow& row = page.uninstallRow();
    int now = 0;
    for (const int at : clicksAtMs) {
        page.clock.advance(std::chrono::milliseconds(at - now));
        now = at;
        click(row, QPoint(2, row.height() / 2));
    }
    QCOMPARE(page.uninstalls, uninstalls);
    QCOMPARE(page.view().isConfirmingUninstall(), armedAfterLastClick);
    QCOMPARE(page.testReminders, 0);
}

void TestSettings::armedRowShowsConfirmationUntilDisarmed()
{
    PageFixture page;
    CommandRow& row = page.uninstallRow();
    click(row, QPoint(2, row.height() / 2));
    QCOMPARE(row.title(), QStringLiteral("uninstall \u2014 click again to confirm"));
    QVERIFY(!row.isHovering());
    QCOMPARE(row.currentColours().title, Mono::red());
    QCOMPARE(row.width(), row.sizeHint().width()); // the longer title is laid out in full

    page.clock.advance(3999ms);
    QVERIFY(page.view().isConfirmingUninstall());
    page.clock.advance(1ms);
    QVERIFY(!page.view().isConfirmingUninstall());
    QCOMPARE(row.title(), QStringLiteral("uninstall"));
    QCOMPARE(row.currentColours().title, Mono::dim());
    QCOMPARE(page.uninstalls, 0);
}

// --- command rows ------------------------------------------------------------------------

void TestSettings::commandRowColours_data()
{
    QTest::addColumn<QColor>("tint");
    QTest::addColumn<bool>("hovering");
    QTest::addColumn<QColor>("prompt");
    QTest::addColumn<QColor>("title");

    QTest::newRow("ordinary, idle") << Mono::text() << false << Mono::faint() << Mono::dim();
    QTest::newRow("ordinary, hovered") << Mono::text() << true << Mono::text() << Mono::text();
    QTest::newRow("red, idle") << Mono::red() << false << Mono::faint() << Mono::red();
    QTest::newRow("red, hovered") << Mono::red() << true << Mono::red() << Mono::red();
    // Equality is by colour, not by which constant was passed.
    QTest::newRow("ordinary tint built by value")
        << QColor::fromRgbF(0.92f, 0.92f, 0.92f) << false << Mono::faint() << Mono::dim();
}

void TestSettings::commandRowColours()
{
    QFETCH(QColor, tint);
    QFETCH(bool, hovering);
    QFETCH(QColor, prompt);
    QFETCH(QColor, title);

    // The row follows the enter and leave events the window system sends it.
    CommandRow row(QStringLiteral("show test reminder"), tint, {});
    row.resize(row.sizeHint());
    if (hovering) {
        QEnterEvent enter(row.rect().center(), row.rect().center(), row.rect().center());
        QCoreApplication::sendEvent(&row, &enter);
    }
    QCOMPARE(row.isHovering(), hovering);
    QCOMPARE(row.currentColours().prompt, prompt);
    QCOMPARE(row.currentColours().title, title);
}

void TestSettings::clickInPromptGapRunsActionOnce()
{
    PageFixture page;
    CommandRow& row = page.testReminderRow();
    const int gapX = row.fontMetrics().horizontalAdvance(QLatin1Char('>')) + 5;
    click(row, QPoint(gapX, row.height() / 2));
    QCOMPARE(page.testReminders, 1);
    QCOMPARE(page.uninstalls, 0);
}

void TestSettings::hoverCarriesOverWhenArmed()
{
    PageFixture page;
    QVERIFY(QTest::qWaitForWindowExposed(&page.view()));
    CommandRow& row = page.uninstallRow();
    QTest::mouseMove(&row, QPoint(2, row.height() / 2));
    QTRY_VERIFY(row.isHovering());
    QCOMPARE(row.currentColours().title, Mono::text());

    click(row, QPoint(2, row.height() / 2));
    QVERIFY(row.isHovering());
    QCOMPARE(row.currentColours().prompt, Mono::red());
    QCOMPARE(row.currentColours().title, Mono::red());

    QTest::mouseMove(&page.view(), QPoint(500, 20));
    QTRY_VERIFY(!row.isHovering());
    QCOMPARE(row.currentColours().prompt, Mono::faint());
    QCOMPARE(row.currentColours().title, Mono::red());
}

// --- page measures -----------------------------------------------------------------------

void TestSettings::labelsShareTheirContentsBaseline_data()
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

void TestSettings::labelsShareTheirContentsBaseline()
{
    QFETCH(bool, connected);
    QFETCH(QString, label);
    QFETCH(QString, content);

    PageFixture page;
    if (connected) {
        page.batteries.setMouse(42, true);
    }
    const auto* labelLine = page.view().findChild<TextLine*>(label);
    const QWidget* contentWidget = page.view().findChild<QWidget*>(content);
    QVERIFY(labelLine && contentWidget);

    int contentBaseline = 0;
    if (const auto* line = qobject_cast<const BatteryLine*>(contentWidget)) {
        contentBaseline = line->firstBaseline();
    } else {
        contentBaseline = qobject_cast<const ChoiceRow*>(contentWidget)->firstBaseline();
    }
    QCOMPARE(labelLine->x(), 40);
    QCOMPARE(labelLine->colour(), Mono::dim());
    QCOMPARE(labelLine->y() + labelLine->firstBaseline(), contentWidget->y() + contentBaseline);
}

void TestSettings::contentColumnAndRules()
{
    // The bar starts at one place whatever the number of digits.
    QList<int> barStarts;
    for (const qint64 percent : {5LL, 85LL, 100LL}) {
        PageFixture page(percent, false, 10);
        const BatteryLine& line = page.batteryLine();
        QCOMPARE(line.x() + line.percent().x(), 170);
        barStarts << line.bar().x();
    }
    QCOMPARE(barStarts.at(1), barStarts.at(0));
    QCOMPARE(barStarts.at(2), barStarts.at(0));

    PageFixture page(42, false, 10);
    SettingsView& view = page.view();
    QCOMPARE(view.QWidget::size(), SettingsView::size);
    for (ChoiceRow* row : {&page.thresholds(), &page.loginChoices()}) {
        // The first choice's text starts in the content column; the next sits 6 after it.
        QCOMPARE(row->x() + row->buttons().at(0)->x() + ChoiceButton::horizontalInset, 170);
        QCOMPARE(row->buttons().at(1)->x(), row->buttons().at(0)->geometry().right() + 1 + 6);
    }
    QCOMPARE(page.testReminderRow().x(), 40);
    QCOMPARE(page.uninstallRow().y(), page.testReminderRow().geometry().bottom() + 1 + 8);
    QVERIFY(page.uninstallRow().geometry().bottom() < 376 - 32);

    // Exactly two 1-pixel rules, 480 wide from x = 40, 22 clear of what they separate.
    const QImage image = view.grab().toImage();
    QList<int> ruleRows;
    for (int y = 0; y < image.height(); ++y) {
        if (image.pixel(510, y) == Mono::faint().rgb()) {
            ruleRows << y;
        }
    }
    QCOMPARE(ruleRows.size(), 2);
    for (const int y : ruleRows) {
        QCOMPARE(image.pixel(40, y), Mono::faint().rgb());
        QCOMPARE(image.pixel(519, y), Mono::faint().rgb());
        QCOMPARE(image.pixel(39, y), Mono::background().rgb());
        QCOMPARE(image.pixel(520, y), Mono::background().rgb());
    }
    const QWidget* tagline = view.childAt(40, 52 + 30); // inside the two tagline lines
    QVERIFY(tagline);
    QCOMPARE(ruleRows.at(0), tagline->geometry().bottom() + 1 + 22);
    QCOMPARE(page.batteryLine().y(), ruleRows.at(0) + 1 + 22);
    QCOMPARE(page.testReminderRow().y(), ruleRows.at(1) + 1 + 22);
}

// --- window ------------------------------------------------------------------------------

void TestSettings::closeShortcut_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<bool>("closes");

    QTest::newRow("ctrl+w") << int(Qt::Key_W) << Qt::KeyboardModifiers(Qt::ControlModifier) << true;
    QTest::newRow("ctrl+shift+w") << int(Qt::Key_W) << (Qt::ControlModifier | Qt::ShiftModifier)
                                  << false;
    QTest::newRow("ctrl+alt+w") << int(Qt::Key_W) << (Qt::ControlModifier | Qt::AltModifier)
                                << false;
    QTest::newRow("ctrl+meta+w") << int(Qt::Key_W) << (Qt::ControlModifier | Qt::MetaModifier)
                                 << false;
    QTest::newRow("ctrl+keypad w")
        << int(Qt::Key_W) << (Qt::ControlModifier | Qt::KeypadModifier) << false;
    QTest::newRow("w alone") << int(Qt::Key_W) << Qt::KeyboardModifiers() << false;
    QTest::newRow("ctrl+q") << int(Qt::Key_Q) << Qt::KeyboardModifiers(Qt::ControlModifier)
                            << false;
}

void TestSettings::closeShortcut()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(bool, closes);

    PageFixture page;
    SettingsWindowController controller(page.model(), page.actions(), page.clock);
    controller.show();
    QWidget* window = controller.window();
    QVERIFY(window && window->isVisible());

    QTest::keyClick(window, Qt::Key(key), modifiers);
    QCOMPARE(window->isVisible(), !closes);
    QCOMPARE(controller.window(), window); // closing keeps the window
}

void TestSettings::showBuildsOnceRefreshesAndKeepsPosition()
{
    PageFixture page(42, false, 10);
    SettingsWindowController controller(page.model(), page.actions(), page.clock);
    QVERIFY(!controller.window());
    const int readsBefore = page.batteries.reads;

    controller.show();
    QWidget* window = controller.window();
    QVERIFY(window);
    QCOMPARE(page.batteries.reads, readsBefore + 1);

    // The page keeps its state across a close: arm "uninstall", then close and reopen.
    auto* row = window->findChild<CommandRow*>(QStringLiteral("uninstallRow"));
    QVERIFY(row);
    click(*row, QPoint(2, row->height() / 2));
    window->move(123, 145);
    QTest::keyClick(window, Qt::Key_W, Qt::ControlModifier);
    QVERIFY(!window->isVisible());

    page.batteries.setMouse(7, false);
    controller.show();
    QCOMPARE(controller.window(), window);
    QVERIFY(window->isVisible());
    QCOMPARE(window->pos(), QPoint(123, 145));
    QCOMPARE(page.batteries.reads, readsBefore + 2);
    QCOMPARE(window->findChild<BatteryLine*>()->percent().text(), QStringLiteral("7%  "));
    QCOMPARE(row->title(), QStringLiteral("uninstall \u2014 click again to confirm"));

    controller.show(); // already on screen: still one window, still a refresh
    QCOMPARE(controller.window(), window);
    QCOMPARE(page.batteries.reads, readsBefore + 3);
    QCOMPARE(window->findChildren<SettingsView*>().size(), 1);
}

void TestSettings::windowIsFixedAndDark()
{
    PageFixture page;
    SettingsWindowController controller(page.model(), page.actions(), page.clock);
    controller.show();
    QWidget* window = controller.window();
    QCOMPARE(window->windowTitle(), QStringLiteral("Nightwick"));
    QCOMPARE(window->size(), QSize(560, 376));
    QCOMPARE(window->minimumSize(), QSize(560, 376));
    QCOMPARE(window->maximumSize(), QSize(560, 376));
    QCOMPARE(window->palette().color(QPalette::Window), Mono::background());
    const QImage image = window->grab().toImage();
    QCOMPARE(image.size(), QSize(560, 376));
    QCOMPARE(image.pixel(2, 2), Mono::background().rgb());
    QCOMPARE(image.pixel(557, 373), Mono::background().rgb());
}

QTEST_MAIN(TestSettings)
#include "test_settings.moc"
