#include "testenvironment.h"

#include <QApplication>
#include <QtTest>

class Tst_transcript : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QVERIFY(true); } // replaced by the real cases
};

KESTRUNE_TEST_MAIN(Tst_transcript)
#include "tst_transcript.moc"
