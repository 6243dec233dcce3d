#include "Look.h"
#include "ReferencePicture.h"

#include <QTest>

using namespace std::chrono_literals;

class TestLook : public QObject {
    Q_OBJECT
private slots:
    void litCells_data()
    {
        QTest::addColumn<qint64>("percent");
        QTest::addColumn<qint64>("cells");
        QTest::addColumn<qint64>("lit");
        QTest::newRow("0 %") << 0LL << 24LL << 0LL;
        QTest::newRow("negative") << -1LL << 24LL << 0LL;
        QTest::newRow("most negative") << std::numeric_limits<qint64>::min() << 20LL << 0LL;
        QTest::newRow("1 % raised to one cell") << 1LL << 20LL << 1LL;
        QTest::newRow("4 % rounds up to one") << 4LL << 24LL << 1LL;
        QTest::newRow("12 % of 24") << 12LL << 24LL << 3LL;
        QTest::newRow("half rounds away from zero") << 10LL << 25LL << 3LL;
        QTest::newRow("50 % of 24") << 50LL << 24LL << 12LL;
        QTest::newRow("97 % of 20") << 97LL << 20LL << 19LL;
        QTest::newRow("100 %") << 100LL << 24LL << 24LL;
        QTest::newRow("150 % clamps") << 150LL << 24LL << 24LL;
        QTest::newRow("huge percent") << std::numeric_limits<qint64>::max() << 20LL << 20LL;
        QTest::newRow("0 cells") << 50LL << 0LL << 0LL;
    }
    void litCells()
    {
        QFETCH(qint64, percent);
        QFETCH(qint64, cells);
        QFETCH(qint64, lit);
        BlockBar bar(percent, cells, Mono::red());
        QCOMPARE(bar.litCount(), lit);
    }

    void barPulsesOnlyWhenBlinkingAtFirstShow_data()
    {
        QTest::addColumn<bool>("blinking");
        QTest::newRow("blinking") << true;
        QTest::newRow("steady") << false;
    }
    void barPulsesOnlyWhenBlinkingAtFirstShow()
    {
        QFETCH(bool, blinking);
        SteppedAnimations animations;
        BlockBar bar(35, 20, Mono::text(), blinking);
        bar.show();
        bar.setBlinking(!blinking); // too late to matter
        bar.hide();
        bar.show();
        animations.step(300ms);
        QCOMPARE(bar.litOpacity() < 0.9, blinking);
    }
};

QTEST_MAIN(TestLook)
#include "test_look.moc"
