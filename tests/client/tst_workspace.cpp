#include "testenvironment.h"

#include <QApplication>
#include <QtTest>

class Tst_workspace : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QVERIFY(true); } // replaced by the real cases
};

KESTRUNE_TEST_MAIN(Tst_workspace)
#include "tst_workspace.moc"
