#include "Look.h"

#include <QImage>
#include <QTest>

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
        if (cells == 0) {
            return;
        }
        // Drawn over the page background: lit cells red, then dark ones, 7 px apart by 2 px gaps.
        QCOMPARE(bar.sizeHint(), QSize(9 * int(cells) - 2, 13));
        bar.resize(bar.sizeHint());
        QImage image(bar.size(), QImage::Format_RGB32);
        image.fill(Mono::background());
        bar.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        for (int left = 0; left < bar.width(); left += 9) {
            const QRgb cell = left < 9 * lit ? qRgb(255, 69, 59) : qRgb(43, 43, 43);
            QCOMPARE(image.pixel(left, 0), cell);
            QCOMPARE(image.pixel(left + 6, 12), cell);
            if (left + 7 < bar.width()) {
                QCOMPARE(image.pixel(left + 7, 6), qRgb(14, 14, 14));
            }
        }
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
        BlockBar bar(35, 20, Mono::text(), blinking);
        bar.show();
        bar.setBlinking(!blinking); // too late to matter
        bar.hide();
        bar.show();
        if (blinking) {
            QTRY_VERIFY(bar.litOpacity() < 0.9);
        } else {
            QTest::qWait(300);
            QCOMPARE(bar.litOpacity(), 1.0);
        }
    }
};

QTEST_MAIN(TestLook)
#include "test_look.moc"
