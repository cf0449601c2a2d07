#include "testenvironment.h"
#include <QApplication>
#include <QtTest>
class Tsthandoff : public QObject { Q_OBJECT
private slots:
  void placeholder() { QVERIFY(true); }
};
KESTRUNE_TEST_MAIN(Tsthandoff)
#include "tst_handoff.moc"
