#include <QTest>
class TestModel : public QObject { Q_OBJECT };
QTEST_GUILESS_MAIN(TestModel)
#include "test_model.moc"
