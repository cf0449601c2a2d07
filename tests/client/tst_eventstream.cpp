#include "testenvironment.h"

#include <QApplication>
#include <QtTest>

class Tst_eventstream : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QVERIFY(true); } // replaced by the real cases
};

KESTRUNE_TEST_MAIN(Tst_eventstream)
#include "tst_eventstream.moc"
