// A session and a private store (with its last good copy) copied from another Windows user
// cannot be opened, and are left as they are. CTest runs the two steps in two Wine prefixes with
// different user names (see windows_foreign_user.cmake); the sealed files travel through
// KESTRUNE_EXCHANGE.

#include "api/api.h"
#include "api/session.h"
#include "chat/privatestorefile.h"
#include "testenvironment.h"
#include "workspacetesting.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QtTest>

#include <windows.h>

namespace
{

// The session, and a private store with its last good copy.
const QStringList sealedFiles{QStringLiteral("session.bin"), QStringLiteral("private-u1.bin"),
                              QStringLiteral("private-u1.bin.last-good")};

QString exchangeFolder()
{
    return qEnvironmentVariable("KESTRUNE_EXCHANGE");
}

QString currentUser()
{
    wchar_t name[256];
    DWORD length = 256;
    return GetUserNameW(name, &length) ? QString::fromWCharArray(name) : QString();
}

bool copyReplacing(const QString& from, const QString& to)
{
    QFile::remove(to);
    return QFile::copy(from, to);
}

} // namespace

class TstForeignUser : public QObject
{
    Q_OBJECT

private slots:
    void sealAsFirstUser()
    {
        QVERIFY(!exchangeFolder().isEmpty());
        QVERIFY(QDir().mkpath(exchangeFolder()));
        QVERIFY(writeSealedFile(sessionFileName, "tok-of-the-first-user"));
        QVERIFY(
            savePrivateStoreFile("private-u1.bin", {QJsonObject{{"id", "t"}, {"title", "甲"}}}));
        QVERIFY(
            savePrivateStoreFile("private-u1.bin", {QJsonObject{{"id", "t"}, {"title", "乙"}}}));
        for (const QString& name : sealedFiles)
            QVERIFY(copyReplacing(appDataFilePath(name), exchangeFolder() + "/" + name));
        QFile user(exchangeFolder() + "/user.txt");
        QVERIFY(user.open(QIODevice::WriteOnly | QIODevice::Truncate));
        user.write(currentUser().toUtf8());
    }

    void openAsAnotherUser()
    {
        QFile user(exchangeFolder() + "/user.txt");
        QVERIFY(user.open(QIODevice::ReadOnly));
        const QString firstUser = QString::fromUtf8(user.readAll());
        QVERIFY(!firstUser.isEmpty());
        QVERIFY2(currentUser() != firstUser, "this step must run as another user");

        QVERIFY(QDir().mkpath(appDataDirectory()));
        for (const QString& name : sealedFiles)
            QVERIFY(copyReplacing(exchangeFolder() + "/" + name, appDataFilePath(name)));
        QList<QByteArray> before;
        for (const QString& name : sealedFiles)
            before << fileBytes(appDataFilePath(name));

        QCOMPARE(Api().token, QString()); // starts signed out
        QCOMPARE(readSealedFile("private-u1.bin"), QByteArray());
        // Another user's store is not damaged: its last good copy does not stand in for it.
        const LoadedPrivateStore loaded = loadPrivateStoreFile("private-u1.bin");
        QCOMPARE(loaded.content.problem, PrivateStoreContent::Problem::CannotOpen);
        QVERIFY(loaded.damagedFileName.isEmpty());
        for (int i = 0; i < sealedFiles.size(); ++i)
            QCOMPARE(fileBytes(appDataFilePath(sealedFiles.at(i))), before.at(i));

        // This user's own data protection works: the refusal is about the other user.
        QVERIFY(writeSealedFile("own.bin", "mine"));
        QCOMPARE(readSealedFile("own.bin"), QByteArray("mine"));
    }
};

KESTRUNE_TEST_MAIN(TstForeignUser)
#include "tst_foreign_user.moc"
