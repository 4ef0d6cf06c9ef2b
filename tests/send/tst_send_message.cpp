#include <QtTest>
class TstSendMessage : public QObject { Q_OBJECT };
QTEST_MAIN(TstSendMessage)
#include "tst_send_message.moc"
