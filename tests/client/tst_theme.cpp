#include "testenvironment.h"

#include <QApplication>
#include <QtTest>

class Tst_theme : public QObject
{
    Q_OBJECT
private slots:
    void placeholder() { QVERIFY(true); } // replaced by the real cases
};

KESTRUNE_TEST_MAIN(Tst_theme)
#include "tst_theme.moc"
