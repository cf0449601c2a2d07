// Saves killed at random moments: a child process rewrites a sealed file, or a private store,
// over and over with two alternating contents, and is killed at a random moment, a few
// hundred times. After every kill the file must read as one of the two contents whole.

#include "api/sealedfile.h"
#include "chat/privatestorecontent.h"
#include "testenvironment.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>
#include <QtTest>

namespace
{

const QString sealedName = QStringLiteral("crash.bin");
const QString storeName = QStringLiteral("private-u1.bin");

// Two contents of a few hundred kilobytes, so that a save takes long enough to be cut.
QByteArray sealedContent(bool second)
{
    QByteArray bytes;
    for (int i = 0; i < (second ? 60000 : 40000); ++i)
        bytes += second ? "0123456789" : "abcdefghij";
    return bytes;
}

QJsonArray storeThreads(bool second)
{
    QJsonArray threads;
    for (int i = 0; i < (second ? 400 : 250); ++i) {
        threads.append(QJsonObject{
            {"id", QString::number(i)},
            {"title",
             second ? QStringLiteral("第二版 %1").arg(i) : QStringLiteral("第一版 %1").arg(i)},
            {"model", "m"},
            {"messages", QJsonArray{QJsonObject{{"role", "user"}, {"content", QString(200, 'q')}}}},
            {"created_at", i},
            {"updated_at", i}});
    }
    return threads;
}

bool save(bool store, bool second)
{
    return store ? writeSealedFile(storeName, privateStoreBytes(storeThreads(second)))
                 : writeSealedFile(sealedName, sealedContent(second));
}

// The child: saves the two contents in turn until it is killed.
int saveForever(bool store)
{
    for (bool second = true;; second = !second)
        save(store, second);
}

} // namespace

class TstCrashSafety : public QObject
{
    Q_OBJECT

    // Kills the saving child `kills` times at most, for about `budgetMs` at most; returns how
    // often the file read as the first and as the second content, or fails.
    void killWhileSaving(bool store, int kills, int budgetMs)
    {
        QVERIFY(save(store, false));
        const QJsonArray firstThreads = storeThreads(false);
        const QJsonArray secondThreads = storeThreads(true);
        const QByteArray firstBytes = sealedContent(false);
        const QByteArray secondBytes = sealedContent(true);
        int first = 0;
        int second = 0;
        QElapsedTimer budget;
        budget.start();
        int done = 0;
        for (; done < kills && budget.elapsed() < budgetMs; ++done) {
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--save-forever"), store ? "store" : "sealed"});
            QVERIFY(child.waitForStarted());
            QThread::usleep(QRandomGenerator::global()->bounded(2000, 120000));
            child.kill();
            QVERIFY(child.waitForFinished());

            const QByteArray plain = readSealedFile(store ? storeName : sealedName);
            if (store) {
                const PrivateStoreContent content = readPrivateStore(plain, true);
                QCOMPARE(content.problem, PrivateStoreContent::Problem::None);
                const bool isFirst = content.threads == firstThreads;
                QVERIFY2(isFirst || content.threads == secondThreads,
                         qPrintable(QString("kill %1 left another store").arg(done)));
                ++(isFirst ? first : second);
            } else {
                const bool isFirst = plain == firstBytes;
                QVERIFY2(
                    isFirst || plain == secondBytes,
                    qPrintable(QString("kill %1 left %2 other bytes").arg(done).arg(plain.size())));
                ++(isFirst ? first : second);
            }
        }
        qInfo("%d kills: the file read as the first content %d times, as the second %d times", done,
              first, second);
        // The kills fell on saves of both contents, so they did cut saves in between.
        QVERIFY2(done >= 20, qPrintable(QString("only %1 kills in the time allowed").arg(done)));
        QVERIFY(first > 0);
        QVERIFY(second > 0);
    }

private slots:
    void sealedFileSurvivesKills() { killWhileSaving(false, 200, 60000); }
    void privateStoreSurvivesKills() { killWhileSaving(true, 200, 60000); }
};

int main(int argc, char** argv)
{
    if (argc == 3 && QByteArray(argv[1]) == "--save-forever") {
        // The child shares the parent's folders: the same, inherited, home.
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("KestruneAI"));
        return saveForever(QByteArray(argv[2]) == "store");
    }
    IsolatedHome home;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("KestruneAI"));
    TstCrashSafety test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_crashsafety.moc"
