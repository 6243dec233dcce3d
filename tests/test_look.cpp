#include "Look.h"

#include <QFontInfo>
#include <QImage>
#include <QPainter>
#include <QTest>

class TestLook : public QObject {
    Q_OBJECT
private slots:
    void palette_data();
    void palette();
    void fontIsFixedPitchAtPixelSize_data();
    void fontIsFixedPitchAtPixelSize();
    void litCount_data();
    void litCount();
    void barPaintsLitThenDarkCells_data();
    void barPaintsLitThenDarkCells();
    void pulseOpacity_data();
    void pulseOpacity();
    void barPulsesOnlyWhenBlinkingAtFirstShow_data();
    void barPulsesOnlyWhenBlinkingAtFirstShow();
};

void TestLook::palette_data()
{
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<QColor>("bytes");
    QTest::newRow("background") << Mono::background() << QColor(14, 14, 14);
    QTest::newRow("text") << Mono::text() << QColor(235, 235, 235);
    QTest::newRow("dim") << Mono::dim() << QColor(128, 128, 128);
    QTest::newRow("faint") << Mono::faint() << QColor(43, 43, 43);
    QTest::newRow("red") << Mono::red() << QColor(255, 69, 59);
}

void TestLook::palette()
{
    QFETCH(QColor, colour);
    QFETCH(QColor, bytes);
    // A filled pixel is what the user sees; compare that, not the floating-point components.
    QImage image(1, 1, QImage::Format_RGB32);
    image.fill(colour);
    QCOMPARE(image.pixel(0, 0), bytes.rgb());
    QCOMPARE(colour.alphaF(), 1.0f);
}

void TestLook::fontIsFixedPitchAtPixelSize_data()
{
    QTest::addColumn<qreal>("size");
    QTest::addColumn<int>("weight");
    QTest::newRow("title 20 semibold") << 20.0 << int(QFont::DemiBold);
    QTest::newRow("level 15") << 15.0 << int(QFont::Normal);
    QTest::newRow("body 13") << 13.0 << int(QFont::Normal);
}

void TestLook::fontIsFixedPitchAtPixelSize()
{
    QFETCH(qreal, size);
    QFETCH(int, weight);
    const QFont font = Mono::font(size, QFont::Weight(weight));
    QCOMPARE(font.pixelSize(), qRound(size));
    QCOMPARE(font.weight(), QFont::Weight(weight));
    QVERIFY(QFontInfo(font).fixedPitch());
    // Default weight is regular.
    if (weight == QFont::Normal) {
        QCOMPARE(Mono::font(size), font);
    }
}

void TestLook::litCount_data()
{
    QTest::addColumn<qint64>("percent");
    QTest::addColumn<qint64>("cells");
    QTest::addColumn<qint64>("lit");
    QTest::newRow("0 %") << qint64(0) << qint64(24) << qint64(0);
    QTest::newRow("negative") << qint64(-1) << qint64(24) << qint64(0);
    QTest::newRow("most negative") << std::numeric_limits<qint64>::min() << qint64(20) << qint64(0);
    QTest::newRow("1 % raised to one cell") << qint64(1) << qint64(20) << qint64(1);
    QTest::newRow("4 % rounds up to one") << qint64(4) << qint64(24) << qint64(1);
    QTest::newRow("12 % of 24") << qint64(12) << qint64(24) << qint64(3);
    QTest::newRow("half rounds away from zero") << qint64(10) << qint64(25) << qint64(3);
    QTest::newRow("35 % of 20") << qint64(35) << qint64(20) << qint64(7);
    QTest::newRow("50 % of 24") << qint64(50) << qint64(24) << qint64(12);
    QTest::newRow("97 % of 20") << qint64(97) << qint64(20) << qint64(19);
    QTest::newRow("100 %") << qint64(100) << qint64(24) << qint64(24);
    QTest::newRow("150 % clamps") << qint64(150) << qint64(24) << qint64(24);
    QTest::newRow("huge percent") << std::numeric_limits<qint64>::max() << qint64(20) << qint64(20);
    QTest::newRow("0 cells") << qint64(50) << qint64(0) << qint64(0);
    QTest::newRow("0 cells at 1 %") << qint64(1) << qint64(0) << qint64(0);
}

void TestLook::litCount()
{
    QFETCH(qint64, percent);
    QFETCH(qint64, cells);
    QFETCH(qint64, lit);
    QCOMPARE(BlockBar::litCount(percent, cells), lit);
    BlockBar bar(percent, cells);
    QCOMPARE(bar.litCount(), lit);
}

void TestLook::barPaintsLitThenDarkCells_data()
{
    QTest::addColumn<qint64>("percent");
    QTest::addColumn<qint64>("cells");
    QTest::addColumn<int>("lit");
    QTest::newRow("35 % of 20") << qint64(35) << qint64(20) << 7;
    QTest::newRow("12 % of 24") << qint64(12) << qint64(24) << 3;
    QTest::newRow("empty") << qint64(0) << qint64(20) << 0;
    QTest::newRow("full") << qint64(100) << qint64(5) << 5;
}

void TestLook::barPaintsLitThenDarkCells()
{
    QFETCH(qint64, percent);
    QFETCH(qint64, cells);
    QFETCH(int, lit);
    BlockBar bar(percent, cells, Mono::red());
    QCOMPARE(bar.sizeHint(), QSize(9 * int(cells) - 2, 13));
    bar.resize(bar.sizeHint());
    QImage image(bar.size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    bar.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);

    for (int cell = 0; cell < cells; ++cell) {
        const int left = cell * 9;
        const QColor expected = cell < lit ? Mono::red() : Mono::faint();
        // Both edges of the cell and its centre, top and bottom rows: whole 7×13 cells.
        for (const QPoint p : {QPoint(left, 0), QPoint(left + 6, 12), QPoint(left + 3, 6)}) {
            QCOMPARE(image.pixel(p), expected.rgb());
        }
        if (cell + 1 < cells) {
            // The 2 px gaps stay unpainted.
            QCOMPARE(image.pixel(left + 7, 6), qRgb(255, 255, 255));
            QCOMPARE(image.pixel(left + 8, 6), qRgb(255, 255, 255));
        }
    }
}

void TestLook::pulseOpacity_data()
{
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<qreal>("opacity");
    QTest::newRow("start") << qint64(0) << 1.0;
    QTest::newRow("dimmest at 0.55 s") << qint64(550) << 0.25;
    QTest::newRow("back at 1.1 s") << qint64(1100) << 1.0;
    QTest::newRow("midway down") << qint64(275) << 0.625;
    QTest::newRow("midway back") << qint64(825) << 0.625;
    QTest::newRow("repeats forever") << qint64(11 * 1100 + 550) << 0.25;
}

void TestLook::pulseOpacity()
{
    QFETCH(qint64, elapsedMs);
    QFETCH(qreal, opacity);
    QVERIFY2(qAbs(BlockBarPulse::opacityAt(elapsedMs) - opacity) < 0.005,
             qPrintable(QString::number(BlockBarPulse::opacityAt(elapsedMs))));
}

void TestLook::barPulsesOnlyWhenBlinkingAtFirstShow_data()
{
    QTest::addColumn<bool>("blinkingAtShow");
    QTest::addColumn<bool>("pulses");
    QTest::newRow("blinking") << true << true;
    QTest::newRow("steady") << false << false;
}

void TestLook::barPulsesOnlyWhenBlinkingAtFirstShow()
{
    QFETCH(bool, blinkingAtShow);
    QFETCH(bool, pulses);
    // Ease-in-out: slow at the ends, so a quarter of the way down is still above a linear fade.
    QVERIFY(BlockBarPulse::opacityAt(137) > 1.0 - 0.75 * 0.25);

    BlockBar bar(35, 20, Mono::text(), blinkingAtShow);
    bar.show();
    bar.setBlinking(!blinkingAtShow); // too late to matter
    bar.hide();
    bar.show();
    if (pulses) {
        QTRY_VERIFY(bar.litOpacity() < 0.9);
    } else {
        QTest::qWait(300);
        QCOMPARE(bar.litOpacity(), 1.0);
    }
}

QTEST_MAIN(TestLook)
#include "test_look.moc"
