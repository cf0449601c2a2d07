// Backing up and restoring private threads through the real widgets: the private list's
// menu, the passphrase dialog, the file dialogs, the question about another account's backup.

#include "api/api.h"
#include "api/sealedfile.h"
#include "backup/backupmerge.h"
#include "backup/privatebackup.h"
#include "chat/chatwindow.h"
#include "chat/privatestorefile.h"
#include "probes.h"
#include "scriptedserver.h"
#include "testenvironment.h"
#include "workspacetesting.h"

#include <QApplication>
#include <QDate>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <memory>

namespace
{

const QString passphrase = QStringLiteral("雪山上的🦅飞得很高很远");
const QString backUpEntry = QStringLiteral("备份全部隐私对话…");
const QString restoreEntry = QStringLiteral("从备份恢复…");

QJsonObject record(const QString& id, const QString& title, const QString& answer)
{
    return {{"id", id},
            {"title", title},
            {"model", "m-one"},
            {"messages", QJsonArray{QJsonObject{{"role", "user"}, {"content", "问 " + title}},
                                    QJsonObject{{"role", "assistant"}, {"content", answer}}}},
            {"created_at", 1796000000},
            {"updated_at", 1796000100}};
}

QJsonObject user(const QString& id, const QString& name)
{
    return {{"id", id}, {"username", name}, {"points", 50}};
}

// Answers the next modal dialog of type `Dialog` once it is open; other dialogs are left to
// their own answers, so that the answers of several dialogs in a row can wait side by side.
template <typename Dialog> void answerNext(std::function<void(Dialog*)> answer)
{
    QTimer::singleShot(5, qApp, [answer = std::move(answer)] {
        if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
            answer(dialog);
            return;
        }
        answerNext<Dialog>(answer);
    });
}

void answerFile(const QString& path, SeenFileDialog* seen)
{
    answerNext<QFileDialog>([path, seen](QFileDialog* dialog) {
        seen->opened = true;
        seen->suggestedName = QFileInfo(dialog->selectedFiles().value(0)).fileName();
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->accept(); // the file dialog's own, through its base
    });
}

void answerQuestion(bool yes, SeenMessageBox* seen)
{
    answerNext<QMessageBox>([yes, seen](QMessageBox* box) {
        seen->text = box->text();
        box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
    });
}

// What the passphrase dialog showed while the test typed into it.
struct SeenPassphraseDialog {
    bool opened = false;
    int fields = 0;
    QString explanation;
    QStringList errors; // the error shown after each refused attempt
};

// Answers the passphrase dialog: each of `attempts` is typed (into both fields when there
// are two; a pair "first|second" types different texts) and confirmed; an attempt the
// dialog refuses leaves its error text in `seen`. An empty last attempt cancels.
void answerPassphrase(const QStringList& attempts, SeenPassphraseDialog* seen)
{
    answerNext<QDialog>([attempts, seen](QDialog* widget) {
        if (widget->objectName() != "passphraseDialog") {
            answerPassphrase(attempts, seen);
            return;
        }
        const QList<QLineEdit*> fields = widget->findChildren<QLineEdit*>();
        auto* buttons = widget->findChild<QDialogButtonBox*>();
        seen->opened = true;
        seen->fields = int(fields.size());
        seen->explanation = widget->findChild<QLabel*>("passphraseExplanation")->text();
        for (const QString& attempt : attempts) {
            if (attempt.isEmpty())
                break;
            const QStringList typed = attempt.split('|');
            for (int i = 0; i < fields.size(); ++i)
                fields.at(i)->setText(typed.value(i, typed.first()));
            buttons->button(QDialogButtonBox::Ok)->click();
            if (!widget->isVisible())
                return;
            seen->errors << widget->findChild<QLabel*>("passphraseError")->text();
        }
        buttons->button(QDialogButtonBox::Cancel)->click();
    });
}

} // namespace

class TstBackupFlows : public QObject
{
    Q_OBJECT

    ScriptedServer server;
    std::unique_ptr<Api> api;
    QTemporaryDir folder;

    std::unique_ptr<ChatWindow> makeWindow(const QJsonObject& account)
    {
        auto window = std::make_unique<ChatWindow>(api.get(), account, [] {});
        window->show();
        ChatWindowProbe probe(window.get());
        if (!QTest::qWaitFor([&] { return probe.modelSelect()->count() == 2; }))
            return nullptr;
        return window;
    }

    // Opens the private list's menu on an item (`row`) or below the items (-1), and hands it
    // to `answer`.
    static void openPrivateMenu(const ChatWindowProbe& probe, int row,
                                std::function<void(QMenu*)> answer)
    {
        QListWidget* list = probe.privateList();
        const QPoint point = row >= 0 ? list->visualItemRect(list->item(row)).center()
                                      : QPoint(10, list->viewport()->height() - 4);
        answerNextMenu(std::move(answer));
        emit list->customContextMenuRequested(point);
    }

    // The whole backup through the menu; returns when the notice has its final text.
    static void backUpThroughMenu(const ChatWindowProbe& probe, const QString& path,
                                  SeenFileDialog* seenFile)
    {
        SeenPassphraseDialog seen;
        answerPassphrase({passphrase}, &seen);
        answerFile(path, seenFile);
        openPrivateMenu(probe, -1, [](QMenu* menu) { trigger(menu, backUpEntry); });
        QTRY_VERIFY_WITH_TIMEOUT(!probe.chatNotice()->text().startsWith(QStringLiteral("正在")),
                                 60000);
    }

    void restoreThroughMenu(const ChatWindowProbe& probe, const QString& path, const QString& typed)
    {
        SeenFileDialog seenFile;
        SeenPassphraseDialog seen;
        answerFile(path, &seenFile);
        answerPassphrase({typed}, &seen);
        const int row = probe.privateList()->count() > 0 ? 0 : -1;
        openPrivateMenu(probe, row, [](QMenu* menu) { trigger(menu, restoreEntry); });
        QVERIFY(seenFile.opened);
        QVERIFY(seen.opened);
        QCOMPARE(seen.fields, 1);
    }

    static QString noticeWhenDone(const ChatWindowProbe& probe)
    {
        const bool done = QTest::qWaitFor(
            [&] { return !probe.chatNotice()->text().startsWith(QStringLiteral("正在")); }, 60000);
        return done ? probe.chatNotice()->text() : QStringLiteral("(still working)");
    }

private slots:
    void initTestCase()
    {
        server.setHandler(twoModelService(R"({"conversations":[]})"));
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        api = std::make_unique<Api>();
        QVERIFY(folder.isValid());
    }

    void init()
    {
        QDir dir(appDataDirectory());
        for (const QString& name : dir.entryList({"private-*"}, QDir::Files))
            QVERIFY(QFile::remove(dir.filePath(name)));
    }

    void menusOfferBothOnItemsAndEmptyArea()
    {
        QVERIFY(savePrivateStoreFile("private-u1.bin", {record("a", "甲", "答")}));
        auto window = makeWindow(user("u1", "mei"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QStringList onItem;
        QStringList onEmpty;
        openPrivateMenu(probe, 0, [&](QMenu* menu) {
            onItem = actionTexts(menu);
            menu->close();
        });
        QTRY_VERIFY(!onItem.isEmpty());
        openPrivateMenu(probe, -1, [&](QMenu* menu) {
            onEmpty = actionTexts(menu);
            menu->close();
        });
        QTRY_VERIFY(!onEmpty.isEmpty());
        QCOMPARE(onItem,
                 (QStringList{"导出为 Markdown…", "", backUpEntry, restoreEntry, "", "网络设置…"}));
        QCOMPARE(onEmpty, (QStringList{backUpEntry, restoreEntry, "", "网络设置…"}));
    }

    void backupAsksTwiceAndWritesTheWholeStore()
    {
        const QJsonArray threads{record("a", "旅行 🏔️", "مرحبا"), record("b", "乙", "答")};
        QVERIFY(savePrivateStoreFile("private-u1.bin", threads));
        auto window = makeWindow(user("u1", "mei"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());

        SeenPassphraseDialog seen;
        SeenFileDialog seenFile;
        const QString path = folder.filePath("mei.kbak");
        answerPassphrase({"短口令123", "一二三四五六七八九十|一二三四五六七八九零", passphrase},
                         &seen);
        answerFile(path, &seenFile);
        openPrivateMenu(probe, -1, [](QMenu* menu) { trigger(menu, backUpEntry); });
        // Both dialogs are done; the work goes on off the window's thread.
        QVERIFY(seen.opened);
        QCOMPARE(seen.fields, 2);
        QVERIFY(seen.explanation.contains(QStringLiteral("任何人都无法打开")));
        QCOMPARE(seen.errors, (QStringList{QStringLiteral("口令至少需要 10 个字符。"),
                                           QStringLiteral("两次输入的口令不一致。")}));
        QVERIFY(seenFile.opened);
        QCOMPARE(seenFile.suggestedName, QStringLiteral("KestruneAI-隐私对话备份-mei-%1.kbak")
                                             .arg(QDate::currentDate().toString(Qt::ISODate)));
        QCOMPARE(probe.chatNotice()->text(), QStringLiteral("正在加密并写入备份…"));
        QCOMPARE(window->cursor().shape(), Qt::BusyCursor);

        const QString notice = noticeWhenDone(probe);
        QCOMPARE(notice,
                 QStringLiteral("已将 2 个隐私对话备份到 %1").arg(QDir::toNativeSeparators(path)));
        QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const OpenedBackup opened = openBackup(file.readAll(), passphrase);
        QCOMPARE(opened.problem, OpenedBackup::Problem::None);
        QCOMPARE(opened.content.threads, threads);
        QCOMPARE(opened.content.accountId, QStringLiteral("u1"));
        QCOMPARE(opened.content.userName, QStringLiteral("mei"));
        QVERIFY(qAbs(opened.content.createdAt - QDateTime::currentSecsSinceEpoch()) < 120);
    }

    void failedBackupLeavesNoFile()
    {
        QVERIFY(savePrivateStoreFile("private-u1.bin", {record("a", "甲", "答")}));
        auto window = makeWindow(user("u1", "mei"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        // The chosen folder is a regular file, so nothing can be written into it.
        const QString blocker = folder.filePath("plain-file");
        QFile plain(blocker);
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        const QString path = blocker + "/mei.kbak";
        SeenFileDialog seenFile;
        backUpThroughMenu(probe, path, &seenFile);
        QCOMPARE(probe.chatNotice()->text(),
                 QStringLiteral("备份失败，未能写入 %1，请检查文件夹权限和磁盘空间。")
                     .arg(QDir::toNativeSeparators(path)));
        QVERIFY(QFileInfo(blocker).isFile());
        QCOMPARE(QFileInfo(blocker).size(), 0);
    }

    // A backup merged into a store that changed since: nothing of the store is overwritten.
    void restoreMergesAndSaves()
    {
        const QJsonObject a = record("a", "甲", "答");
        const QJsonObject b = record("b", "乙", "备份时的回答");
        QVERIFY(savePrivateStoreFile("private-u1.bin", {a, b}));
        const QString path = folder.filePath("merge.kbak");
        {
            auto window = makeWindow(user("u1", "mei"));
            QVERIFY(window);
            SeenFileDialog seenFile;
            backUpThroughMenu(ChatWindowProbe(window.get()), path, &seenFile);
            QVERIFY(QFile::exists(path));
        }
        const QJsonObject bChanged = record("b", "乙", "后来的回答");
        const QJsonObject c = record("c", "丙", "答");
        QVERIFY(savePrivateStoreFile("private-u1.bin", {a, bChanged, c}));

        auto window = makeWindow(user("u1", "mei"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        restoreThroughMenu(probe, path, passphrase);
        QCOMPARE(noticeWhenDone(probe),
                 QStringLiteral("已从备份恢复 1 个隐私对话，跳过 1 个本机已有的。"));
        QCOMPARE(probe.threads().size(), 4);
        QCOMPARE(probe.threads().at(0).toObject(), a);
        QCOMPARE(probe.threads().at(1).toObject(), bChanged);
        QCOMPARE(probe.threads().at(2).toObject(), c);
        const QJsonObject beside = probe.threads().at(3).toObject();
        QCOMPARE(beside.value("title").toString(), restoredTitle("乙"));
        QCOMPARE(beside.value("messages"), b.value("messages"));
        QVERIFY(beside.value("id").toString() != "b");
        QCOMPARE(beside.value("id").toString().size(), 36);
        QCOMPARE(itemTexts(probe.privateList()).first(),
                 QStringLiteral("◇  ") + restoredTitle("乙"));
        // Saved at once, sealed as always.
        QCOMPARE(sealedDocument("private-u1.bin").value("threads").toArray(), probe.threads());
    }

    // The first start on a new machine: no store yet; the backup brings every thread back.
    void restoreOnANewMachine()
    {
        BackupContent content;
        content.accountId = "u1";
        content.userName = "mei";
        content.threads = {record("a", "甲 🦅", "مرحبا"), record("b", "乙", "答")};
        const QString path = folder.filePath("new-machine.kbak");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(backupBytes(content, passphrase, newBackupSecrets()));
        file.close();
        QVERIFY(!QFile::exists(appDataFilePath("private-u1.bin")));

        auto window = makeWindow(user("u1", "mei"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QCOMPARE(probe.privateList()->count(), 0);
        restoreThroughMenu(probe, path, passphrase);
        QCOMPARE(noticeWhenDone(probe),
                 QStringLiteral("已从备份恢复 2 个隐私对话，跳过 0 个本机已有的。"));
        QCOMPARE(probe.threads(), content.threads);
        QCOMPARE(itemIds(probe.privateList()), (QStringList{"b", "a"}));
        QCOMPARE(sealedDocument("private-u1.bin").value("threads").toArray(), content.threads);
    }

    void refusedBackupsChangeNothing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("notice");
        const QString unreadable = QStringLiteral(
            "无法打开这个备份：口令不正确，或文件已损坏、不是备份文件。没有做任何更改。");
        QTest::newRow("wrong passphrase") << "wrong" << unreadable;
        QTest::newRow("damaged file") << "damaged" << unreadable;
        QTest::newRow("not a backup at all") << "other" << unreadable;
        QTest::newRow("made by a newer program")
            << "newer"
            << QStringLiteral(
                   "这个备份由更新版本的 KestruneAI 制作，请先更新程序再恢复。没有做任何更改。");
    }

    void refusedBackupsChangeNothing()
    {
        QFETCH(QString, kind);
        QFETCH(QString, notice);
        BackupSecrets cheap = newBackupSecrets();
        cheap.opsLimit = 1;
        cheap.memLimitKiB = 8;
        BackupContent content;
        content.accountId = "u1";
        content.threads = {record("z", "子", "答")};
        QByteArray bytes = backupBytes(content, passphrase, cheap);
        if (kind == "damaged")
            bytes[bytes.size() - 40] = char(bytes[bytes.size() - 40] ^ 1);
        else if (kind == "other")
            bytes = "# 一个 Markdown 文件\n";
        else if (kind == "newer")
            qToLittleEndian<quint16>(7, bytes.data() + 16);
        const QString path = folder.filePath(kind + ".kbak");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();

        QVERIFY(savePrivateStoreFile("private-u1.bin", {record("a", "甲", "答")}));
        const QByteArray storeBefore = fileBytes(appDataFilePath("private-u1.bin"));
        auto window = makeWindow(user("u1", "mei"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        const QJsonArray threadsBefore = probe.threads();
        restoreThroughMenu(probe, path, kind == "wrong" ? passphrase + "!" : passphrase);
        QCOMPARE(noticeWhenDone(probe), notice);
        QCOMPARE(probe.threads(), threadsBefore);
        QCOMPARE(fileBytes(appDataFilePath("private-u1.bin")), storeBefore);
    }

    void anotherAccountsBackupIsRestoredOnlyWhenConfirmed()
    {
        QVERIFY(savePrivateStoreFile("private-u1.bin", {record("a", "甲", "答")}));
        const QString path = folder.filePath("mei-for-lan.kbak");
        {
            auto window = makeWindow(user("u1", "mei"));
            QVERIFY(window);
            SeenFileDialog seenFile;
            backUpThroughMenu(ChatWindowProbe(window.get()), path, &seenFile);
        }
        QVERIFY(savePrivateStoreFile("private-u2.bin", {record("l", "兰", "答")}));
        auto window = makeWindow(user("u2", "lan"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        const QByteArray storeBefore = fileBytes(appDataFilePath("private-u2.bin"));

        for (const bool yes : {false, true}) {
            SeenMessageBox question;
            answerQuestion(yes, &question);
            restoreThroughMenu(probe, path, passphrase);
            const QString notice = noticeWhenDone(probe);
            QVERIFY(question.text.contains("mei"));
            QVERIFY(question.text.contains(QStringLiteral("另一个账户")));
            if (!yes) {
                QCOMPARE(notice, QStringLiteral("已取消恢复，没有做任何更改。"));
                QCOMPARE(probe.threads().size(), 1);
                QCOMPARE(fileBytes(appDataFilePath("private-u2.bin")), storeBefore);
            } else {
                QCOMPARE(notice,
                         QStringLiteral("已从备份恢复 1 个隐私对话，跳过 0 个本机已有的。"));
                QCOMPARE(itemIds(probe.privateList()), (QStringList{"a", "l"}));
                QCOMPARE(sealedDocument("private-u2.bin").value("threads").toArray(),
                         probe.threads());
            }
        }
    }
};

KESTRUNE_TEST_MAIN(TstBackupFlows)
#include "tst_backupflows.moc"
