// Saves killed at random moments: a child process rewrites a sealed file, a private store or
// a passphrase backup over and over with two alternating contents, and is killed at a random
// moment, a few hundred times. After every kill the file must read as one of the two contents
// whole (and a store's last good copy too).

#include "api/sealedfile.h"
#include "api/wholefile.h"
#include "backup/privatebackup.h"
#include "chat/privatestorefile.h"
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
const QString backupName = QStringLiteral("crash.kbak");
const QString backupPassphrase = QStringLiteral("口令口令口令口令口令");

enum class Kind { Sealed, Store, Backup };

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

QString backupPath()
{
    return appDataFilePath(backupName);
}

QByteArray backupFile(bool second)
{
    BackupContent content;
    content.threads = storeThreads(second);
    // The least key-derivation cost, so that the kills fall on the writing.
    BackupSecrets secrets = newBackupSecrets();
    secrets.opsLimit = 1;
    secrets.memLimitKiB = 8;
    return backupBytes(content, backupPassphrase, secrets);
}

bool save(Kind kind, bool second)
{
    switch (kind) {
    case Kind::Store:
        return savePrivateStoreFile(storeName, storeThreads(second));
    case Kind::Backup:
        return writeWholeFile(backupPath(), backupFile(second), true);
    case Kind::Sealed:
        break;
    }
    return writeSealedFile(sealedName, sealedContent(second));
}

// The child: saves the two contents in turn until it is killed.
int saveForever(Kind kind)
{
    for (bool second = true;; second = !second)
        save(kind, second);
}

// Which of the two contents the file holds: 0 or 1, or -1 when it is neither.
int contentOf(Kind kind, const QString& name = storeName)
{
    if (kind == Kind::Backup) {
        QFile file(backupPath());
        if (!file.open(QIODevice::ReadOnly))
            return -1;
        const OpenedBackup opened = openBackup(file.readAll(), backupPassphrase);
        if (opened.problem != OpenedBackup::Problem::None)
            return -1;
        return opened.content.threads == storeThreads(false)  ? 0
               : opened.content.threads == storeThreads(true) ? 1
                                                              : -1;
    }
    const QByteArray plain = readSealedFile(kind == Kind::Store ? name : sealedName);
    if (kind == Kind::Sealed)
        return plain == sealedContent(false) ? 0 : plain == sealedContent(true) ? 1 : -1;
    const PrivateStoreContent content = readPrivateStore(plain, true);
    if (content.problem != PrivateStoreContent::Problem::None)
        return -1;
    return content.threads == storeThreads(false)  ? 0
           : content.threads == storeThreads(true) ? 1
                                                   : -1;
}

const char* kindArgument(Kind kind)
{
    return kind == Kind::Store ? "store" : kind == Kind::Backup ? "backup" : "sealed";
}

} // namespace

class TstCrashSafety : public QObject
{
    Q_OBJECT

    // Kills the saving child `kills` times at most, for about `budgetMs` at most; returns how
    // often the file read as the first and as the second content, or fails.
    void killWhileSaving(Kind kind, int kills, int budgetMs)
    {
        QVERIFY(save(kind, false));
        if (kind == Kind::Store)
            QVERIFY(save(kind, true)); // from here on there is a last good copy
        int seen[2] = {0, 0};
        QElapsedTimer budget;
        budget.start();
        int done = 0;
        for (; done < kills && budget.elapsed() < budgetMs; ++done) {
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--save-forever"), kindArgument(kind)});
            QVERIFY(child.waitForStarted());
            QThread::usleep(QRandomGenerator::global()->bounded(2000, 120000));
            child.kill();
            QVERIFY(child.waitForFinished());

            const int content = contentOf(kind);
            QVERIFY2(content >= 0, qPrintable(QString("kill %1 left another file").arg(done)));
            ++seen[content];
            if (kind == Kind::Store) {
                QVERIFY2(contentOf(kind, lastGoodCopyName(storeName)) >= 0,
                         qPrintable(QString("kill %1 left another last good copy").arg(done)));
            }
        }
        qInfo("%d kills: the file read as the first content %d times, as the second %d times", done,
              seen[0], seen[1]);
        // The kills fell on saves of both contents, so they did cut saves in between.
        QVERIFY2(done >= 20, qPrintable(QString("only %1 kills in the time allowed").arg(done)));
        QVERIFY(seen[0] > 0);
        QVERIFY(seen[1] > 0);
    }

private slots:
    void sealedFileSurvivesKills() { killWhileSaving(Kind::Sealed, 200, 60000); }
    void privateStoreSurvivesKills() { killWhileSaving(Kind::Store, 200, 60000); }
    void backupSurvivesKills() { killWhileSaving(Kind::Backup, 200, 60000); }
};

int main(int argc, char** argv)
{
    if (argc == 3 && QByteArray(argv[1]) == "--save-forever") {
        // The child shares the parent's folders: the same, inherited, home.
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("KestruneAI"));
        const QByteArray kind = argv[2];
        return saveForever(kind == "store"    ? Kind::Store
                           : kind == "backup" ? Kind::Backup
                                              : Kind::Sealed);
    }
    IsolatedHome home;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("KestruneAI"));
    TstCrashSafety test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_crashsafety.moc"
