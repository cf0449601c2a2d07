#include "api/api.h"
#include "api/session.h"
#include "testenvironment.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#ifndef Q_OS_WIN
#include <csignal>
#include <sys/resource.h>
#endif

namespace
{

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void putFileBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray randomBytes(int n)
{
    QByteArray bytes(n, '\0');
    for (char& c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

#ifndef Q_OS_WIN
// Lowers the file-size limit for its lifetime, so a write fails for real even as root.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit lowered = saved;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }

private:
    rlimit saved{};
};
#endif

} // namespace

class TstSealing : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QDir(appDataDirectory()).removeRecursively();
        QFile::remove(sealingKeyPath());
    }

    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("token") << QByteArray("3f9a-token");
        QTest::newRow("utf-8 json")
            << QStringLiteral(R"({"threads":[{"title":"隐私对话"}]})").toUtf8();
        QTest::newRow("binary 64 KiB") << randomBytes(64 * 1024);
        // Large enough to be sealed and unsealed in a buffer of its own, not on the heap.
        QTest::newRow("binary 3 MiB + 5") << randomBytes(3 * 1024 * 1024 + 5);
    }

    void roundTrip()
    {
        QFETCH(QByteArray, plain);
        QVERIFY(!QDir(appDataDirectory()).exists()); // first write creates the folder
        QVERIFY(writeSealedFile("sample.bin", plain));
        QCOMPARE(readSealedFile("sample.bin"), plain);
        const QByteArray sealed = fileBytes(appDataFilePath("sample.bin"));
        QVERIFY(sealed.size() > plain.size());
        if (plain.size() >= 8)
            QVERIFY(!sealed.contains(plain.left(8)));
    }

    void sealingIsRandomised()
    {
        QVERIFY(writeSealedFile("a.bin", "same"));
        const QByteArray first = fileBytes(appDataFilePath("a.bin"));
        QVERIFY(writeSealedFile("a.bin", "same"));
        QVERIFY(fileBytes(appDataFilePath("a.bin")) != first); // fresh randomness each time
        QCOMPARE(readSealedFile("a.bin"), QByteArray("same"));
    }

    void missingFileReadsAsEmpty() { QCOMPARE(readSealedFile("never-written.bin"), QByteArray()); }

    void targetThatIsADirectoryFails()
    {
        QVERIFY(QDir().mkpath(appDataFilePath("blocked.bin")));
        QVERIFY(!writeSealedFile("blocked.bin", "x"));
        QVERIFY(QFileInfo(appDataFilePath("blocked.bin")).isDir());
    }

    void sessionIsLoadedByTheApi()
    {
        Api api;
        adoptSessionToken(api, QStringLiteral("tok-42"));
        QCOMPARE(api.token, QStringLiteral("tok-42"));
        QCOMPARE(Api().token, QStringLiteral("tok-42"));
        QVERIFY(dropSession(api));
        QCOMPARE(api.token, QString());
        QVERIFY(!QFile::exists(appDataFilePath("session.bin")));
        QCOMPARE(Api().token, QString());
        QVERIFY(dropSession(api)); // dropping what is not there is harmless
    }

    void corruptSessionStartsSignedOutAndIsKept()
    {
        QDir().mkpath(appDataDirectory());
        putFileBytes(appDataFilePath("session.bin"), "garbage that was never sealed");
        QCOMPARE(Api().token, QString());
        QCOMPARE(fileBytes(appDataFilePath("session.bin")),
                 QByteArray("garbage that was never sealed"));
    }

    void interruptedSavesAreRemoved()
    {
        QVERIFY(writeSealedFile("private-u1.bin", "kept"));
        const QString data = appDataDirectory();
        const QString config = QFileInfo(sealingKeyPath()).absolutePath();
        QVERIFY(QDir().mkpath(config));
        const auto leave = [](const QString& path, int minutesOld) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("cut short");
            file.flush(); // a later flush would set the time anew
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-60 * minutesOld),
                                     QFileDevice::FileModificationTime));
        };
        leave(data + "/private-u1.bin.Ab12Cd", 60); // a crash an hour ago
        leave(data + "/session.bin.xYz789", 60);
        leave(config + "/sealing.key.Q1w2E3", 60);
        leave(data + "/session.bin.Fr35h1", 0);    // a save under way right now
        leave(data + "/notes.txt", 60);            // not the program's
        leave(data + "/session.bin.toolong7", 60); // not a temporary name
        removeInterruptedSaves();
        QCOMPARE(QDir(data).entryList(QDir::Files, QDir::Name),
                 (QStringList{"notes.txt", "private-u1.bin", "session.bin.Fr35h1",
                              "session.bin.toolong7"}));
        QVERIFY(!QFile::exists(config + "/sealing.key.Q1w2E3"));
        QCOMPARE(readSealedFile("private-u1.bin"), QByteArray("kept"));
    }

    void sessionFileThatCannotGoIsReported()
    {
        Api api;
        QVERIFY(dropSession(api)); // nothing there: nothing holds a session
        // A folder in the file's place can be neither removed nor emptied.
        QVERIFY(QDir().mkpath(appDataFilePath("session.bin") + "/inside"));
        QVERIFY(!dropSession(api));
    }

    void damagedFilesReadAsEmpty_data()
    {
        QTest::addColumn<int>("damage");
        QTest::newRow("flipped ciphertext byte") << 0;
        QTest::newRow("truncated") << 1;
        QTest::newRow("zero length") << 2;
        QTest::newRow("unknown format byte") << 3;
        QTest::newRow("plain text, never sealed") << 4;
    }

    void damagedFilesReadAsEmpty()
    {
        QFETCH(int, damage);
        QVERIFY(writeSealedFile("d.bin", "secret token"));
        const QString path = appDataFilePath("d.bin");
        QByteArray bytes = fileBytes(path);
        switch (damage) {
        case 0:
            bytes[bytes.size() - 3] = char(bytes.at(bytes.size() - 3) ^ 0x20);
            break;
        case 1:
            bytes.chop(5);
            break;
        case 2:
            bytes.clear();
            break;
        case 3:
            bytes[0] = char(bytes.at(0) + 1);
            break;
        case 4:
            bytes = "secret token";
            break;
        }
        putFileBytes(path, bytes);
        QCOMPARE(readSealedFile("d.bin"), QByteArray());
        QCOMPARE(fileBytes(path), bytes); // reading never repairs or removes the file
    }

#ifndef Q_OS_WIN
    // The user key and the mode bits belong to the sealing used off Windows; Windows seals
    // with the system's data protection and has tests of its own (tst_windows).
    void sealedFilesAndKeyAreOwnerOnly()
    {
        QVERIFY(writeSealedFile("a.bin", "same"));
        // The user/group/other bits: read and write for the owner only.
        const auto ownerOnly = QFileDevice::ReadUser | QFileDevice::WriteUser;
        QCOMPARE(QFile::permissions(appDataFilePath("a.bin")) & 0x0777, ownerOnly);
        QCOMPARE(QFile::permissions(sealingKeyPath()) & 0x0777, ownerOnly);
        QCOMPARE(QFile::permissions(QFileInfo(sealingKeyPath()).absolutePath()) & 0x0777,
                 QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
        QCOMPARE(QFileInfo(sealingKeyPath()).size(), 32);
    }

    void foreignUserKeyCannotOpen()
    {
        QVERIFY(writeSealedFile("f.bin", "mine"));
        const QByteArray ownKey = fileBytes(sealingKeyPath());
        // Another user's key stands in for copying the file to another account.
        putFileBytes(sealingKeyPath(), randomBytes(32));
        QCOMPARE(readSealedFile("f.bin"), QByteArray());
        putFileBytes(sealingKeyPath(), ownKey);
        QCOMPARE(readSealedFile("f.bin"), QByteArray("mine"));
    }

    void missingKeyIsNotRecreatedByReading()
    {
        QVERIFY(writeSealedFile("k.bin", "x"));
        QVERIFY(QFile::remove(sealingKeyPath()));
        QCOMPARE(readSealedFile("k.bin"), QByteArray());
        QVERIFY(!QFile::exists(sealingKeyPath()));
        // A new key is made for new writes; the old file stays unreadable, never "repaired".
        QVERIFY(writeSealedFile("k2.bin", "y"));
        QCOMPARE(readSealedFile("k2.bin"), QByteArray("y"));
        QCOMPARE(readSealedFile("k.bin"), QByteArray());
    }

    void damagedKeyIsNeverReplaced()
    {
        QVERIFY(writeSealedFile("g.bin", "x"));
        putFileBytes(sealingKeyPath(), "short");
        QVERIFY(!writeSealedFile("g.bin", "y"));
        QCOMPARE(fileBytes(sealingKeyPath()), QByteArray("short"));
    }

    void failedWriteKeepsTheOldFile_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("size");
        QTest::newRow("far over the limit") << 4096 << 64 * 1024;
        QTest::newRow("just over the limit") << 200 << 300;
    }

    void failedWriteKeepsTheOldFile()
    {
        QFETCH(int, limit);
        QFETCH(int, size);
        QVERIFY(writeSealedFile("keep.bin", "old content"));
        const QByteArray before = fileBytes(appDataFilePath("keep.bin"));
        {
            const FileSizeLimit lowered{static_cast<rlim_t>(limit)};
            QVERIFY(!writeSealedFile("keep.bin", randomBytes(size)));
        }
        QCOMPARE(fileBytes(appDataFilePath("keep.bin")), before);
        QCOMPARE(readSealedFile("keep.bin"), QByteArray("old content"));
        const QStringList leftovers =
            QDir(appDataDirectory()).entryList({"keep.bin.*"}, QDir::Files | QDir::Hidden);
        QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(',')));
    }
#endif
};

KESTRUNE_TEST_MAIN(TstSealing)
#include "tst_sealing.moc"
