// The passphrase backup file: what it keeps, what it refuses, and the same bytes on every
// platform (a committed file that this build must both read and write byte for byte).

#include "backup/backupmerge.h"
#include "backup/privatebackup.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <sodium.h>

namespace
{

const QString passphrase = QStringLiteral("十个字符以上的口令 horse");

// The cheapest cost a file may name, for the tests that open hundreds of files.
BackupSecrets cheapSecrets()
{
    BackupSecrets secrets;
    secrets.opsLimit = 1;
    secrets.memLimitKiB = 8;
    for (std::size_t i = 0; i < secrets.salt.size(); ++i)
        secrets.salt[i] = static_cast<unsigned char>(i);
    for (std::size_t i = 0; i < secrets.nonce.size(); ++i)
        secrets.nonce[i] = static_cast<unsigned char>(0x20 + i);
    return secrets;
}

QJsonObject record(const QString& id, const QString& title, const QJsonArray& messages,
                   qint64 time = 1796000000)
{
    return {{"id", id},           {"title", title},    {"model", "m-one"}, {"messages", messages},
            {"created_at", time}, {"updated_at", time}};
}

QJsonArray turns(const QString& question, const QString& answer)
{
    return {QJsonObject{{"role", "user"}, {"content", question}},
            QJsonObject{{"role", "assistant"}, {"content", answer}}};
}

// Emoji (with joiners and a flag), right-to-left text and Chinese.
BackupContent sampleContent()
{
    BackupContent content;
    content.accountId = QStringLiteral("u-fixture");
    content.userName = QStringLiteral("mei");
    content.createdAt = 1796000000;
    content.programVersion = QStringLiteral("0.1.0");
    content.threads = {
        record("3f0c9a52-8d1e-4b7a-9c2f-1e5d6a7b8c90", QStringLiteral("旅行计划 🏔️"),
               turns(QStringLiteral("去哪里看雪？👨‍👩‍👧 🇨🇳"),
                     QStringLiteral("可以考虑长白山。"))),
        record("7a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d", QStringLiteral("مرحبا שלום"),
               turns(QStringLiteral("كيف حالك؟ מה שלומך?"), QStringLiteral("بخير، תודה!")))};
    return content;
}

QByteArray fixtureBytes()
{
    QFile file(QStringLiteral(":/backup-v1.kbak"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool sameContent(const BackupContent& a, const BackupContent& b)
{
    return a.accountId == b.accountId && a.userName == b.userName && a.createdAt == b.createdAt &&
           a.programVersion == b.programVersion && a.threads == b.threads;
}

int counter = 0;
QString countingId()
{
    return QStringLiteral("new-%1").arg(++counter);
}

} // namespace

class TstBackup : public QObject
{
    Q_OBJECT

private slots:
    // The committed file was made by this format's writer; a build on any platform must read
    // it, and write the same bytes from the same content, passphrase, salt and nonce.
    void sameBytesOnEveryPlatform()
    {
        const QByteArray fixture = fixtureBytes();
        QVERIFY(!fixture.isEmpty());
        QCOMPARE(backupBytes(sampleContent(), passphrase, cheapSecrets()), fixture);
        const OpenedBackup opened = openBackup(fixture, passphrase);
        QCOMPARE(opened.problem, OpenedBackup::Problem::None);
        QVERIFY(sameContent(opened.content, sampleContent()));
    }

    void filesAreOpenedOnlyWhenTheyStartAsBackups()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath("backup.kbak");
        QVERIFY(QFile::copy(":/backup-v1.kbak", path));
        QCOMPARE(openBackupFile(path, passphrase).problem, OpenedBackup::Problem::None);
        QCOMPARE(openBackupFile(folder.filePath("missing.kbak"), passphrase).problem,
                 OpenedBackup::Problem::Unreadable);
        QFile other(folder.filePath("other.kbak"));
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.write(QByteArray(4096, 'K'));
        other.close();
        QCOMPARE(openBackupFile(other.fileName(), passphrase).problem,
                 OpenedBackup::Problem::Unreadable);
    }

    void newBackupsAreCostlyAndRoundTrip()
    {
        const BackupSecrets secrets = newBackupSecrets();
        QVERIFY(secrets.opsLimit >= crypto_pwhash_OPSLIMIT_MODERATE);
        QVERIFY(std::size_t(secrets.memLimitKiB) * 1024 >= crypto_pwhash_MEMLIMIT_MODERATE);
        QVERIFY(secrets.salt != newBackupSecrets().salt);
        QVERIFY(secrets.nonce != newBackupSecrets().nonce);

        const QByteArray bytes = backupBytes(sampleContent(), passphrase, secrets);
        QVERIFY(bytes.startsWith("KestruneAIBackup"));
        BackupSecrets read;
        QVERIFY(readBackupSecrets(bytes, &read));
        QCOMPARE(read.opsLimit, secrets.opsLimit);
        QCOMPARE(read.memLimitKiB, secrets.memLimitKiB);
        // Nothing of the content is readable in the file.
        QVERIFY(!bytes.contains("mei"));
        QVERIFY(!bytes.contains(QStringLiteral("长白山").toUtf8()));

        const OpenedBackup opened = openBackup(bytes, passphrase);
        QCOMPARE(opened.problem, OpenedBackup::Problem::None);
        QVERIFY(sameContent(opened.content, sampleContent()));
        QCOMPARE(openBackup(bytes, passphrase + " ").problem, OpenedBackup::Problem::Unreadable);
        QCOMPARE(openBackup(bytes, QString()).problem, OpenedBackup::Problem::Unreadable);
    }

    // The same passphrase typed as composed or decomposed characters opens the same file.
    void passphraseNormalForms()
    {
        const QString composed = QStringLiteral("Café crème brûlée");
        const QByteArray bytes = backupBytes(sampleContent(), composed, cheapSecrets());
        const QString decomposed = composed.normalized(QString::NormalizationForm_D);
        QVERIFY(decomposed != composed);
        QCOMPARE(openBackup(bytes, decomposed).problem, OpenedBackup::Problem::None);
    }

    // Every byte of the header, and of a short body, changed alone: the file is refused.
    void everyChangedByteIsRefused()
    {
        BackupContent small = sampleContent();
        small.threads = {record("t", "t", {})};
        const QByteArray bytes = backupBytes(small, passphrase, cheapSecrets());
        QVERIFY(bytes.size() < 400);
        for (qsizetype at = 0; at < bytes.size(); ++at) {
            QByteArray changed = bytes;
            changed[at] = char(changed[at] ^ 0xff);
            const OpenedBackup opened = openBackup(changed, passphrase);
            QVERIFY2(opened.problem != OpenedBackup::Problem::None,
                     qPrintable(QString("byte %1 changed, still opened").arg(at)));
            QVERIFY(opened.content.threads.isEmpty());
        }
    }

    void cutFilesAreRefused()
    {
        const QByteArray bytes = backupBytes(sampleContent(), passphrase, cheapSecrets());
        for (const qsizetype size : {qsizetype(0), qsizetype(15), qsizetype(66), qsizetype(67),
                                     qsizetype(82), bytes.size() / 2, bytes.size() - 1}) {
            QCOMPARE(openBackup(bytes.left(size), passphrase).problem,
                     OpenedBackup::Problem::Unreadable);
        }
        QCOMPARE(openBackup(bytes + "x", passphrase).problem, OpenedBackup::Problem::Unreadable);
    }

    void laterVersionsAreNamedAsSuch()
    {
        QByteArray bytes = backupBytes(sampleContent(), passphrase, cheapSecrets());
        qToLittleEndian<quint16>(2, bytes.data() + 16);
        QCOMPARE(openBackup(bytes, passphrase).problem, OpenedBackup::Problem::TooNew);
        // Even a file of a later version that this one could not parse at all.
        QCOMPARE(openBackup(bytes.left(18), passphrase).problem, OpenedBackup::Problem::TooNew);
        qToLittleEndian<quint16>(0, bytes.data() + 16);
        QCOMPARE(openBackup(bytes, passphrase).problem, OpenedBackup::Problem::Unreadable);
    }

    // A header may not make the reader spend unbounded memory or time.
    void costsBeyondTheBoundsAreRefused_data()
    {
        QTest::addColumn<quint32>("ops");
        QTest::addColumn<quint32>("memKiB");
        QTest::newRow("4 GiB of memory") << 1u << 4u * 1024 * 1024;
        QTest::newRow("a million passes") << 1000000u << 8u;
        QTest::newRow("no passes") << 0u << 8u;
        QTest::newRow("below the least memory") << 1u << 1u;
    }

    void costsBeyondTheBoundsAreRefused()
    {
        QFETCH(quint32, ops);
        QFETCH(quint32, memKiB);
        QByteArray bytes = backupBytes(sampleContent(), passphrase, cheapSecrets());
        qToLittleEndian<quint32>(ops, bytes.data() + 19);
        qToLittleEndian<quint32>(memKiB, bytes.data() + 23);
        QCOMPARE(openBackup(bytes, passphrase).problem, OpenedBackup::Problem::Unreadable);
    }

    void largeStoreRoundTrips()
    {
        BackupContent content = sampleContent();
        QJsonArray threads;
        const QString answer = QStringLiteral("回答 🦅 مرحبا ").repeated(400);
        while (threads.size() < 1500) // about 50 MB of text as the store writes it
            threads.append(record(QString::number(threads.size()), QStringLiteral("对话"),
                                  turns(QStringLiteral("问题"), answer.repeated(4))));
        content.threads = threads;
        const QByteArray bytes = backupBytes(content, passphrase, newBackupSecrets());
        QVERIFY(bytes.size() > 50'000'000);
        const OpenedBackup opened = openBackup(bytes, passphrase);
        QCOMPARE(opened.problem, OpenedBackup::Problem::None);
        QVERIFY(opened.content.threads == threads);
    }

    void mergeAddsBesideAndNeverOverwrites()
    {
        const QJsonObject same = record("a", "甲", turns("问", "答"));
        const QJsonObject changedHere = record("b", "乙", turns("问", "本机的回答"));
        const QJsonObject onlyHere = record("c", "丙", turns("问", "答"));
        const QJsonObject changedInBackup = record("b", "乙", turns("问", "备份里的回答"));
        const QJsonObject onlyInBackup = record("d", "丁", turns("问", "答"));
        const QJsonArray store{same, changedHere, onlyHere};

        counter = 0;
        const BackupMerge merge = mergeBackupThreads(
            store, {same, changedInBackup, onlyInBackup, QJsonValue(3), QJsonObject{}}, countingId);
        QCOMPARE(merge.restored, 2);
        QCOMPARE(merge.skipped, 3); // the same thread, and two entries that are no records
        QCOMPARE(merge.threads.size(), 5);
        for (int i = 0; i < store.size(); ++i)
            QCOMPARE(merge.threads.at(i), store.at(i));
        QJsonObject beside = changedInBackup;
        beside["id"] = "new-1";
        beside["title"] = restoredTitle("乙");
        QCOMPARE(merge.threads.at(3).toObject(), beside);
        QCOMPARE(merge.threads.at(4).toObject(), onlyInBackup);

        // Restoring the same backup again adds nothing, not even a second copy.
        const BackupMerge again =
            mergeBackupThreads(merge.threads, {same, changedInBackup, onlyInBackup}, countingId);
        QCOMPARE(again.restored, 0);
        QCOMPARE(again.skipped, 3);
        QCOMPARE(again.threads, merge.threads);
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // `tst_backup --write-fixture FILE` writes the committed file anew, for a format change.
    if (argc == 3 && QByteArray(argv[1]) == "--write-fixture") {
        QFile file(QString::fromLocal8Bit(argv[2]));
        return file.open(QIODevice::WriteOnly) &&
                       file.write(backupBytes(sampleContent(), passphrase, cheapSecrets())) > 0
                   ? 0
                   : 1;
    }
    TstBackup test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_backup.moc"
