#include <QTest>
class TestPlatform : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"
