// What differs on Windows: where the files go, the system's data protection, and replacing
// a file that another program holds open.

#include "api/api.h"
#include "api/session.h"
#include "chat/chatwindow.h"
#include "probes.h"
#include "scriptedserver.h"
#include "testenvironment.h"
#include "workspacetesting.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QtTest>

#include <windows.h>

#include <dpapi.h>
#include <shlobj.h>
#include <wincrypt.h>

#include <memory>

namespace
{

QString knownFolder(const KNOWNFOLDERID& id)
{
    PWSTR path = nullptr;
    QString result;
    if (SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path) == S_OK)
        result = QDir::fromNativeSeparators(QString::fromWCharArray(path));
    CoTaskMemFree(path);
    return result;
}

// Another program's handle on a file, opened with the given sharing.
class ForeignHandle
{
public:
    ForeignHandle(const QString& path, DWORD share)
        : handle(CreateFileW(
              reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()),
              GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
    {
    }
    ~ForeignHandle() { close(); }
    ForeignHandle(const ForeignHandle&) = delete;
    ForeignHandle& operator=(const ForeignHandle&) = delete;
    bool isOpen() const { return handle != INVALID_HANDLE_VALUE; }
    void close()
    {
        if (isOpen())
            CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle;
};

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

} // namespace

class TstWindows : public QObject
{
    Q_OBJECT

private slots:
    void init() { QDir(appDataDirectory()).removeRecursively(); }

    void filesGoToTheRoamingAppData()
    {
        const QString roaming = knownFolder(FOLDERID_RoamingAppData);
        QVERIFY(!roaming.isEmpty());
        // The tests' isolation adds "qttest"; the installed program uses the same place
        // without it, so a roaming profile carries the session and the private store along.
        const QString expected = roaming + "/qttest/KestruneAI/session.bin";
        QCOMPARE(appDataFilePath("session.bin"), expected);
        QVERIFY(writeSealedFile(sessionFileName, "tok-roaming"));
        QVERIFY(QFileInfo::exists(expected));
        QCOMPARE(Api().token, QStringLiteral("tok-roaming"));
        QVERIFY(!expected.startsWith(knownFolder(FOLDERID_LocalAppData) + "/"));
    }

    void sealedWithTheSystemDataProtection()
    {
        QVERIFY(writeSealedFile("d.bin", "token-bytes"));
        const QByteArray blob = fileBytes(appDataFilePath("d.bin"));
        QVERIFY(!blob.contains("token-bytes"));
        // The whole file is the system's blob: on Windows version 1, then the provider's
        // identifier {df9d8cd0-1501-11d1-8c7a-00c04fc297eb}, with nothing of the program's
        // own around it. Wine writes a blob of its own layout instead.
        if (!runningUnderWine())
            QCOMPARE(blob.left(20).toHex(), QByteArray("01000000d08c9ddf0115d1118c7a00c04fc297eb"));

        DATA_BLOB in{static_cast<DWORD>(blob.size()),
                     reinterpret_cast<BYTE*>(const_cast<char*>(blob.constData()))};
        DATA_BLOB out{};
        LPWSTR description = nullptr;
        QVERIFY(CryptUnprotectData(&in, &description, nullptr, nullptr, nullptr,
                                   CRYPTPROTECT_UI_FORBIDDEN, &out));
        const QString descriptionText = QString::fromWCharArray(description);
        const QByteArray plain(reinterpret_cast<const char*>(out.pbData), int(out.cbData));
        LocalFree(description);
        LocalFree(out.pbData);
        QCOMPARE(descriptionText, QStringLiteral("KestruneAI local data"));
        QCOMPARE(plain, QByteArray("token-bytes"));
    }

    void noOwnerOnlyModeBits()
    {
        // Windows keeps access in the profile folder's lists, not in mode bits: the file is
        // not made read-only, so the next save replaces it as usual.
        QVERIFY(writeSealedFile("m.bin", "one"));
        const QString path = appDataFilePath("m.bin");
        const DWORD attributes = GetFileAttributesW(
            reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()));
        QVERIFY(attributes != INVALID_FILE_ATTRIBUTES);
        QVERIFY(!(attributes & FILE_ATTRIBUTE_READONLY));
        QVERIFY(writeSealedFile("m.bin", "two"));
        QCOMPARE(readSealedFile("m.bin"), QByteArray("two"));
    }

    void replacingAFileHeldOpen_data()
    {
        QTest::addColumn<int>("share");
        QTest::addColumn<bool>("replaced");
        // Replacing a file means deleting the old one, which Windows allows only when every
        // open handle shares deletion. A refused save must leave the old content whole.
        QTest::newRow("shared for reading") << int(FILE_SHARE_READ) << false;
        QTest::newRow("shared for reading and writing")
            << int(FILE_SHARE_READ | FILE_SHARE_WRITE) << false;
        QTest::newRow("shared for deletion too")
            << int(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) << true;
    }

    void replacingAFileHeldOpen()
    {
        QFETCH(int, share);
        QFETCH(bool, replaced);
        QVERIFY(writeSealedFile("held.bin", "old"));
        const QByteArray before = fileBytes(appDataFilePath("held.bin"));
        ForeignHandle other(appDataFilePath("held.bin"), DWORD(share));
        QVERIFY(other.isOpen());

        const bool saved = writeSealedFile("held.bin", "new");
        other.close();
        if (runningUnderWine() && (share & FILE_SHARE_DELETE))
            QEXPECT_FAIL("", "Wine refuses to replace a file held open even with delete sharing",
                         Continue);
        QCOMPARE(saved, replaced);
        replaced = saved; // what happened must leave one whole file: the new or the old
        QCOMPARE(readSealedFile("held.bin"), replaced ? QByteArray("new") : QByteArray("old"));
        if (!replaced)
            QCOMPARE(fileBytes(appDataFilePath("held.bin")), before);
        QCOMPARE(filesIn(appDataDirectory()), QStringList{"held.bin"}); // no temporary left
    }

    void sessionHeldOpenIsEmptiedAtSignOut()
    {
        // Another program holds "session.bin" open without letting it be deleted, as a
        // backup or search tool may: sign-out cannot remove it, so it empties it, and the
        // next start is signed out.
        QVERIFY(writeSealedFile(sessionFileName, "tok-held"));
        ForeignHandle other(appDataFilePath("session.bin"), FILE_SHARE_READ | FILE_SHARE_WRITE);
        QVERIFY(other.isOpen());
        Api api;
        QVERIFY(dropSession(api));
        other.close();
        QCOMPARE(Api().token, QString());
    }

    void privateSaveRefusedWhileAnotherProgramHoldsTheStore()
    {
        ScriptedServer server;
        server.setHandler([](const RecordedRequest& request) {
            if (request.path == "/api/models")
                return ScriptedReply::json(
                    200, R"({"models":[{"id":"m","display_name":"M","points_per_100":1}]})");
            return ScriptedReply::json(200, R"({"conversations":[]})");
        });
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        Api api;
        const QString name = QStringLiteral("private-w1.bin");
        QVERIFY(writeSealedFile(name, R"({"threads":[]})"));
        const QByteArray before = fileBytes(appDataFilePath(name));

        ChatWindow window(&api, QJsonObject{{"id", "w1"}, {"username", "win"}}, [] {});
        ChatWindowProbe probe(&window);
        QTRY_COMPARE(probe.modelSelect()->count(), 1);
        {
            ForeignHandle other(appDataFilePath(name), FILE_SHARE_READ);
            QVERIFY(other.isOpen());
            probe.createPrivateThread();
        }
        // The user is told, and nothing that is not on disk looks as if it were.
        QCOMPARE(probe.chatNotice()->text(),
                 QStringLiteral("本机隐私对话保存失败，请检查磁盘权限。"));
        QCOMPARE(probe.threads().size(), 0);
        QCOMPARE(probe.privateList()->count(), 0);
        QCOMPARE(fileBytes(appDataFilePath(name)), before);

        probe.createPrivateThread(); // released: the next save goes through
        QCOMPARE(probe.threads().size(), 1);
        QCOMPARE(sealedDocument(name).value("threads").toArray(), probe.threads());
        qunsetenv("KESTRUNEAI_BASE_URL");
    }
};

KESTRUNE_TEST_MAIN(TstWindows)
#include "tst_windows.moc"
