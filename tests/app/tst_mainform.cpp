#include <QtTest>
class TstMainForm : public QObject { Q_OBJECT };
QTEST_MAIN(TstMainForm)
#include "tst_mainform.moc"
