#include "testenvironment.h"
#include <QApplication>
#include <QtTest>
class Tstsealing : public QObject { Q_OBJECT
private slots:
  void placeholder() { QVERIFY(true); }
};
KESTRUNE_TEST_MAIN(Tstsealing)
#include "tst_sealing.moc"
