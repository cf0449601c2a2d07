#include "testenvironment.h"
#include <QApplication>
#include <QtTest>
class Tstapi : public QObject { Q_OBJECT
private slots:
  void placeholder() { QVERIFY(true); }
};
KESTRUNE_TEST_MAIN(Tstapi)
#include "tst_api.moc"
