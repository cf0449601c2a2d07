#include "testenvironment.h"

#include <QApplication>
#include <QtTest>

class Tst_sending_e2e : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QVERIFY(true); } // replaced by the real cases
};

KESTRUNE_TEST_MAIN(Tst_sending_e2e)
#include "tst_sending_e2e.moc"
