#include "testenvironment.h"

#include <QApplication>
#include <QtTest>

class Tst_stream : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QVERIFY(true); } // replaced by the real cases
};

KESTRUNE_TEST_MAIN(Tst_stream)
#include "tst_stream.moc"
