#include "api/api.h"
#include "api/sealedfile.h"
#include "chat/chatwindow.h"
#include "chat/privatestorefile.h"
#include "chat/threadtitle.h"
#include "probes.h"
#include "scriptedserver.h"
#include "testenvironment.h"
#include "workspacetesting.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

#include <memory>
#include <optional>

namespace
{

const QString defaultTitle = QStringLiteral("隐私对话");
const QString openNotice = QStringLiteral("消息经 Worker 获取回复；对话记录仅加密保存在本机。");
const QString saveFailed = QStringLiteral("本机隐私对话保存失败，请检查磁盘权限。");
const QString unreadable = QStringLiteral("本机隐私记录无法读取，隐私对话暂不可用。");

QJsonObject userWithId(const QJsonValue& id)
{
    QJsonObject user{{"username", "tester"}, {"points", 50}};
    if (!id.isUndefined())
        user.insert("id", id);
    return user;
}

QJsonObject threadRecord(const QString& id, const QString& title, qint64 created)
{
    return {{"id", id},
            {"title", title},
            {"model", "m-one"},
            {"messages", QJsonArray{QJsonObject{{"role", "user"}, {"content", "问 " + title}},
                                    QJsonObject{{"role", "assistant"}, {"content", "答"}}}},
            {"created_at", created},
            {"updated_at", created}};
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Chooses a model the way the program does, without the user's change handling.
bool chooseModel(const ChatWindowProbe& probe, const QString& id)
{
    const int index = probe.modelSelect()->findData(id);
    const QSignalBlocker blocker(probe.modelSelect());
    probe.modelSelect()->setCurrentIndex(index);
    return index >= 0;
}

} // namespace

class Tst_privatestore : public QObject
{
    Q_OBJECT

    ScriptedServer server;
    std::unique_ptr<Api> api;

    // A workspace for `user` whose model list and cloud list have arrived.
    std::unique_ptr<ChatWindow> makeWindow(const QJsonObject& user)
    {
        auto window = std::make_unique<ChatWindow>(api.get(), user, [] {});
        ChatWindowProbe probe(window.get());
        if (!QTest::qWaitFor([&] {
                return probe.modelSelect()->count() == 2 && probe.conversationList()->count() == 1;
            })) {
            return nullptr;
        }
        return window;
    }

    void emitPrivateClick(ChatWindow* window, const QString& id)
    {
        QListWidget* list = ChatWindowProbe(window).privateList();
        const int row = int(itemIds(list).indexOf(id));
        QVERIFY(row >= 0);
        emit list->itemClicked(list->item(row));
    }

private slots:
    void initTestCase()
    {
        server.setHandler(twoModelService(R"({"conversations":[{"id":"c1","title":"云"}]})"));
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        api = std::make_unique<Api>();
    }

    void init()
    {
        QDir dir(appDataDirectory());
        for (const QString& name : dir.entryList({"private-*"}, QDir::Files))
            QVERIFY(QFile::remove(dir.filePath(name)));
    }

    void automaticTitle_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("title");
        const QString pair = QString::fromUcs4(U"😀"); // two UTF-16 units
        QTest::newRow("plain") << "你好"
                               << "你好";
        QTest::newRow("runs collapsed, ends trimmed") << " \t第一行\n\n 第二行\r\n  第三 "
                                                      << "第一行 第二行 第三";
        QTest::newRow("ideographic and no-break spaces")
            << QStringLiteral("\u3000甲\u3000\u3000乙\u00a0丙\u3000") << "甲 乙 丙";
        QTest::newRow("exactly 32") << QString(32, 'a') << QString(32, 'a');
        QTest::newRow("cut at 32") << QString(40, 'b') << QString(32, 'b');
        QTest::newRow("cut counted after collapsing")
            << QString(20, 'c') + "     " + QString(20, 'd')
            << QString(20, 'c') + " " + QString(11, 'd');
        QTest::newRow("pair would be split") << QString(31, 'e') + pair + "fff" << QString(31, 'e');
        QTest::newRow("pair fits exactly")
            << QString(30, 'g') + pair + "hh" << QString(30, 'g') + pair;
        QTest::newRow("only white space") << " \n\t\u3000 "
                                          << "";
        QTest::newRow("empty") << ""
                               << "";
    }

    void automaticTitle()
    {
        QFETCH(QString, message);
        QFETCH(QString, title);
        QCOMPARE(automaticThreadTitle(message), title);
    }

    void fileNameFollowsUserId_data()
    {
        QTest::addColumn<QJsonValue>("id");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("string id") << QJsonValue("42") << "private-42.bin";
        QTest::newRow("uuid id") << QJsonValue("a0b1-C2") << "private-a0b1-C2.bin";
        QTest::newRow("numeric id") << QJsonValue(42) << "private-.bin";
        QTest::newRow("missing id") << QJsonValue(QJsonValue::Undefined) << "private-.bin";
        QTest::newRow("separators cannot leave the folder")
            << QJsonValue("../x/y\\z") << "private-..%2Fx%2Fy%5Cz.bin";
    }

    void fileNameFollowsUserId()
    {
        QFETCH(QJsonValue, id);
        QFETCH(QString, fileName);
        auto window = makeWindow(userWithId("first"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QCOMPARE(probe.privateStoreFileName(), "private-first.bin");
        // The name is formed from the user record each time, not remembered.
        probe.user() = userWithId(id);
        QCOMPARE(probe.privateStoreFileName(), fileName);
        probe.createPrivateThread();
        QVERIFY(QFile::exists(appDataDirectory() + "/" + fileName));
    }

    void unreadableStoreIsNeverWritten_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("loadNotice");
        const QString undecryptable = QStringLiteral("本机隐私记录无法解密，隐私对话暂不可用。");
        const QString invalid = QStringLiteral("本机隐私记录格式无效，隐私对话暂不可用。");
#ifndef Q_OS_WIN // a store of another Windows user: tst_foreign_user
        QTest::newRow("sealed under another user key") << "otherKey" << undecryptable;
#endif
        QTest::newRow("zero-length file") << "empty" << undecryptable;
        QTest::newRow("tampered bytes") << "tampered" << undecryptable;
        QTest::newRow("JSON array") << "array" << invalid;
        QTest::newRow("not JSON at all") << "garbage" << invalid;
    }

    void unreadableStoreIsNeverWritten()
    {
        QFETCH(QString, kind);
        QFETCH(QString, loadNotice);
        const QString name = QStringLiteral("private-u1.bin");
        const QString path = appDataFilePath(name);
        const QByteArray good = compact({{"threads", QJsonArray{threadRecord("t1", "甲", 1)}}});
        if (kind == "otherKey") {
            QVERIFY(writeSealedFile(name, good));
            QFile key(sealingKeyPath());
            QVERIFY(key.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QByteArray other(32, '\0');
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(other.data()), 8);
            key.write(other);
        } else if (kind == "empty") {
            QDir().mkpath(appDataDirectory());
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (kind == "tampered") {
            QVERIFY(writeSealedFile(name, good));
            QByteArray bytes = fileBytes(path);
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x40);
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(bytes);
        } else if (kind == "array") {
            QVERIFY(writeSealedFile(name, "[]"));
        } else {
            QVERIFY(writeSealedFile(name, "{\"threads\":["));
        }
        const QByteArray before = fileBytes(path);

        auto window = makeWindow(userWithId("u1"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QVERIFY(!probe.privateAvailable());
        QVERIFY(!probe.privateChatButton()->isEnabled());
        QCOMPARE(probe.chatNotice()->text(), unreadable);
        QCOMPARE(probe.privateList()->count(), 0);

        // The load's own message, before start-up replaces it.
        probe.loadPrivateStore();
        QCOMPARE(probe.chatNotice()->text(), loadNotice);

        probe.privateChatButton()->click();
        probe.createPrivateThread();
        QVERIFY(!probe.savePrivateStore());
        probe.startNewConversation();
        QVERIFY(!probe.privateChatButton()->isEnabled());
        QCOMPARE(probe.threads().size(), 0);
        QCOMPARE(fileBytes(path), before);
    }

    void readableStore_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file and no folder at all
        QTest::addColumn<QStringList>("listed");
        QTest::newRow("no file") << QByteArray() << QStringList();
        QTest::newRow("object without threads") << QByteArray(R"({"other":1})") << QStringList();
        QTest::newRow("threads not an array")
            << QByteArray(R"({"threads":{"a":1}})") << QStringList();
        QTest::newRow("two threads")
            << compact(
                   {{"threads", QJsonArray{threadRecord("a", "甲", 1), threadRecord("b", "乙", 2)}},
                    {"extra", true}})
            << QStringList{"◇  乙", "◇  甲"};
    }

    void readableStore()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, listed);
        const QString name = QStringLiteral("private-u2.bin");
        if (content.isEmpty())
            QVERIFY(QDir(appDataDirectory()).removeRecursively());
        else
            QVERIFY(writeSealedFile(name, content));

        auto window = makeWindow(userWithId("u2"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QVERIFY(probe.privateAvailable());
        QVERIFY(probe.privateChatButton()->isEnabled());
        QCOMPARE(probe.chatNotice()->text(), QString());
        QCOMPARE(itemTexts(probe.privateList()), listed);
        QCOMPARE(probe.privateList()->currentItem(), nullptr);

        // A save rewrites the whole file as compact JSON holding "threads" only.
        probe.createPrivateThread();
        const QByteArray plain = readSealedFile(name);
        const QJsonObject document = QJsonDocument::fromJson(plain).object();
        QCOMPARE(document.keys(), QStringList{"threads"});
        QCOMPARE(plain, compact(document));
        QCOMPARE(document.value("threads").toArray(), probe.threads());
        QCOMPARE(probe.threads().size(), listed.size() + 1);
    }

    void createOpenUpdateAndReload()
    {
        auto window = makeWindow(userWithId("u3"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        const qint64 start = QDateTime::currentSecsSinceEpoch();

        QStringList ids;
        const QStringList models{"m-two", "m-one", "m-two"};
        for (const QString& model : models) {
            QVERIFY(chooseModel(probe, model));
            probe.privateChatButton()->click();
            ids << probe.privateId();
        }
        static const QRegularExpression uuid(
            "^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
        QCOMPARE(probe.threads().size(), 3);
        for (int i = 0; i < 3; ++i) {
            const QJsonObject record = probe.threads().at(i).toObject();
            QVERIFY2(uuid.match(record.value("id").toString()).hasMatch(),
                     qPrintable(record.value("id").toString()));
            QCOMPARE(record.value("id").toString(), ids.at(i));
            QCOMPARE(record.value("title").toString(), defaultTitle);
            QCOMPARE(record.value("model").toString(), models.at(i));
            QCOMPARE(record.value("messages").toArray(), QJsonArray());
            QVERIFY(record.value("created_at").toInteger() >= start);
            QCOMPARE(record.value("updated_at"), record.value("created_at"));
        }

        // The newest one is open.
        QCOMPARE(itemIds(probe.privateList()), (QStringList{ids[2], ids[1], ids[0]}));
        QCOMPARE(currentItemId(probe.privateList()), ids[2]);
        QVERIFY(probe.isPrivate());
        QCOMPARE(probe.cloudId(), QString());
        QCOMPARE(probe.chatTitle()->text(), defaultTitle);
        QCOMPARE(probe.modeBadge()->text(), QStringLiteral("仅本机保存"));
        QCOMPARE(probe.modeBadge()->property("private").toBool(), true);
        QCOMPARE(probe.chatNotice()->text(), openNotice);
        QVERIFY(probe.renameButton()->isEnabled());
        QVERIFY(probe.deleteButton()->isEnabled());
        QVERIFY(probe.modelSelect()->isEnabled());

        // Open the oldest from the list: its model is selected without saving anything.
        const QByteArray before = readSealedFile("private-u3.bin");
        QSignalSpy modelChanges(probe.modelSelect(), &QComboBox::currentIndexChanged);
        probe.conversationList()->setCurrentRow(0);
        emitPrivateClick(window.get(), ids[0]);
        QCOMPARE(probe.privateId(), ids[0]);
        QCOMPARE(probe.modelSelect()->currentData().toString(), QStringLiteral("m-two"));
        QCOMPARE(modelChanges.count(), 0);
        QCOMPARE(readSealedFile("private-u3.bin"), before);
        QVERIFY(probe.conversationList()->selectedItems().isEmpty());
        QCOMPARE(currentItemId(probe.privateList()), ids[0]);

        // A reply in the oldest thread retitles it but leaves the order.
        const QJsonArray exchange{
            QJsonObject{{"role", "user"}, {"content", "  Explain\n\n  sealed   files  "}},
            QJsonObject{{"role", "assistant"}, {"content", "They are encrypted."}}};
        probe.messages() = exchange;
        QVERIFY(probe.updatePrivateThread());
        QCOMPARE(itemIds(probe.privateList()), (QStringList{ids[2], ids[1], ids[0]}));
        QCOMPARE(probe.privateList()->item(2)->text(), QStringLiteral("◇  Explain sealed files"));
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("Explain sealed files"));
        QCOMPARE(currentItemId(probe.privateList()), ids[0]);

        // A new window for the same account finds everything again.
        const QJsonArray saved = probe.threads();
        window.reset();
        auto again = makeWindow(userWithId("u3"));
        QVERIFY(again);
        ChatWindowProbe reopened(again.get());
        QCOMPARE(reopened.threads(), saved);
        QCOMPARE(reopened.threads().at(0).toObject().value("messages").toArray(), exchange);
        QCOMPARE(itemIds(reopened.privateList()), (QStringList{ids[2], ids[1], ids[0]}));
        QCOMPARE(reopened.privateList()->currentItem(), nullptr);
    }

    void automaticRetitle_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("firstMessage");
        QTest::addColumn<QString>("expected");
        QTest::newRow("default title") << defaultTitle << "第一个 问题"
                                       << "第一个 问题";
        QTest::newRow("custom title kept") << "我的笔记"
                                           << "第一个问题"
                                           << "我的笔记";
        QTest::newRow("near-default kept") << defaultTitle + " "
                                           << "第一个问题" << defaultTitle + " ";
        QTest::newRow("blank first message") << defaultTitle << " \u3000\n" << defaultTitle;
        QTest::newRow("no messages") << defaultTitle << QString() << defaultTitle;
    }

    void automaticRetitle()
    {
        QFETCH(QString, title);
        QFETCH(QString, firstMessage);
        QFETCH(QString, expected);
        auto window = makeWindow(userWithId("u4"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        probe.createPrivateThread();
        QJsonObject record = probe.threads().at(0).toObject();
        record.insert("title", title);
        probe.threads().replace(0, record);
        if (!firstMessage.isNull())
            probe.messages() = QJsonArray{QJsonObject{{"role", "user"}, {"content", firstMessage}},
                                          QJsonObject{{"role", "assistant"}, {"content", "x"}}};
        QVERIFY(probe.updatePrivateThread());
        QCOMPARE(probe.threads().at(0).toObject().value("title").toString(), expected);
        QCOMPARE(itemTexts(probe.privateList()), QStringList{"◇  " + expected});
        QCOMPARE(sealedDocument("private-u4.bin").value("threads").toArray(), probe.threads());
    }

    void modelChangeSavesIdleOpenThread()
    {
        auto window = makeWindow(userWithId("u5"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QVERIFY(chooseModel(probe, "m-one"));
        probe.createPrivateThread();
        QJsonObject record = probe.threads().at(0).toObject();
        record.insert("updated_at", 7);
        probe.threads().replace(0, record);

        probe.modelSelect()->setCurrentIndex(probe.modelSelect()->findData("m-two"));
        QJsonObject stored = sealedDocument("private-u5.bin")["threads"][0].toObject();
        QCOMPARE(stored.value("model").toString(), QStringLiteral("m-two"));
        QVERIFY(stored.value("updated_at").toInteger() >= record.value("created_at").toInteger());
        QCOMPARE(stored.value("created_at"), record.value("created_at"));

        // Busy, or no private thread open: a model change is not the thread's business.
        probe.setBusy(true);
        probe.modelSelect()->setCurrentIndex(probe.modelSelect()->findData("m-one"));
        probe.setBusy(false);
        probe.startNewConversation();
        probe.modelSelect()->setCurrentIndex(probe.modelSelect()->findData("m-two"));
        probe.modelSelect()->setCurrentIndex(probe.modelSelect()->findData("m-one"));
        QCOMPARE(sealedDocument("private-u5.bin")["threads"][0].toObject(), stored);
        QCOMPARE(probe.threads().at(0).toObject(), stored);
    }

    void failedSavesKeepTheOldFile()
    {
        const QString name = QStringLiteral("private-u6.bin");
        const QJsonArray original{threadRecord("a", "甲", 1), threadRecord("b", "乙", 2)};
        QVERIFY(writeSealedFile(name, compact({{"threads", original}})));
        const QByteArray sealedBefore = fileBytes(appDataFilePath(name));

        auto window = makeWindow(userWithId("u6"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        const QStringList textsBefore = itemTexts(probe.privateList());
        // Results are only collected while writes fail: a test log that is a file could not
        // take a failure message until the limit is lifted.
        QJsonArray threadsAfterCreate;
        QStringList textsAfterCreate;
        QStringList idsAfterCreate;
        bool privateAfterCreate = true;
        QString noticeAfterCreate;
        QString noticeAfterOpen;
        QString noticeAfterModelChange;
        QString modelInMemory;
        bool updateSaved = true;
        {
            FailingFileWrites failing;
            probe.createPrivateThread();
            threadsAfterCreate = probe.threads();
            textsAfterCreate = itemTexts(probe.privateList());
            idsAfterCreate = itemIds(probe.privateList());
            privateAfterCreate = probe.isPrivate();
            noticeAfterCreate = probe.chatNotice()->text();

            probe.openPrivateThread("a");
            noticeAfterOpen = probe.chatNotice()->text();
            probe.modelSelect()->setCurrentIndex(probe.modelSelect()->findData("m-two"));
            noticeAfterModelChange = probe.chatNotice()->text();
            modelInMemory = probe.threads().at(0).toObject().value("model").toString();
            updateSaved = probe.updatePrivateThread();
        }
        // Creation rolls back: nothing new in memory, in the list or on screen.
        QCOMPARE(threadsAfterCreate, original);
        QCOMPARE(textsAfterCreate, textsBefore);
        QCOMPARE(idsAfterCreate, (QStringList{"b", "a"}));
        QVERIFY(!privateAfterCreate);
        QCOMPARE(noticeAfterCreate, saveFailed);
        // A model change in an open thread stays in memory and says the save failed.
        QCOMPARE(noticeAfterOpen, openNotice);
        QCOMPARE(noticeAfterModelChange, saveFailed);
        QCOMPARE(modelInMemory, QStringLiteral("m-two"));
        QVERIFY(!updateSaved);
        QCOMPARE(fileBytes(appDataFilePath(name)), sealedBefore);
        QCOMPARE(sealedDocument(name).value("threads").toArray(), original);

        // The next good save writes what memory holds.
        QVERIFY(probe.updatePrivateThread());
        QCOMPARE(sealedDocument(name).value("threads").toArray(), probe.threads());
        QCOMPARE(probe.threads().size(), 2);
    }

    // The save after a reply runs off the window's thread: it reports its true result, and a
    // window closed while it runs still leaves the whole new store on disk.
    void backgroundSaves()
    {
        const QString name = QStringLiteral("private-u8.bin");
        QJsonArray original;
        for (int i = 0; i < 600; ++i) // a store of about 1 MB, so a save takes a while
            original.append(threadRecord(QString::number(i), QString(400, QChar(0x9f99 - i)), i));
        QVERIFY(writeSealedFile(name, compact({{"threads", original}})));
        auto window = makeWindow(userWithId("u8"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        probe.openPrivateThread("7");
        auto addTurn = [&](const QString& text) {
            probe.messages().append(QJsonObject{{"role", "assistant"}, {"content", text}});
            QVERIFY(probe.recordTurnsInThread());
        };

        std::optional<bool> result;
        addTurn("第一次");
        probe.savePrivateStoreInBackground([&](bool saved) { result = saved; });
        QVERIFY(QTest::qWaitFor([&] { return result.has_value(); }));
        QVERIFY(*result);
        QCOMPARE(sealedDocument(name).value("threads").toArray(), probe.threads());

        const QByteArray sealedBefore = fileBytes(appDataFilePath(name));
        result.reset();
        bool arrived = false;
        {
            FailingFileWrites failing;
            addTurn("第二次");
            probe.savePrivateStoreInBackground([&](bool saved) { result = saved; });
            arrived = QTest::qWaitFor([&] { return result.has_value(); });
        }
        QVERIFY(arrived);
        QVERIFY(!*result);
        QCOMPARE(fileBytes(appDataFilePath(name)), sealedBefore);

        addTurn("第三次");
        const QJsonArray expected = probe.threads();
        bool reported = false;
        probe.savePrivateStoreInBackground([&](bool) { reported = true; });
        window.reset(); // closed at once, the save still running
        QCoreApplication::processEvents();
        QVERIFY(!reported); // no result reaches a window that is gone
        QCOMPARE(sealedDocument(name).value("threads").toArray(), expected);
    }

    // Each save keeps the file as it was before it; the first save has none to keep.
    void lastGoodCopyFollowsEachSave()
    {
        const QString name = QStringLiteral("private-u9.bin");
        const QString copy = appDataFilePath(lastGoodCopyName(name));
        auto window = makeWindow(userWithId("u9"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        probe.createPrivateThread();
        QVERIFY(!QFile::exists(copy));
        const QByteArray afterFirst = fileBytes(appDataFilePath(name));
        probe.createPrivateThread();
        QCOMPARE(fileBytes(copy), afterFirst);
        QCOMPARE(sealedDocument(lastGoodCopyName(name)).value("threads").toArray().size(), 1);
        QCOMPARE(sealedDocument(name).value("threads").toArray().size(), 2);
    }

    void damagedStoreRecoversFromLastGoodCopy_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("emptied") << "empty";
        QTest::newRow("bytes changed") << "tampered";
        QTest::newRow("cut short") << "truncated";
        QTest::newRow("no JSON object inside") << "array";
    }

    void damagedStoreRecoversFromLastGoodCopy()
    {
        QFETCH(QString, damage);
        const QString name = QStringLiteral("private-u10.bin");
        const QString path = appDataFilePath(name);
        const QJsonArray older{threadRecord("a", "甲", 1)};
        const QJsonArray newer{threadRecord("a", "甲", 1), threadRecord("b", "乙", 2)};
        QVERIFY(savePrivateStoreFile(name, older));
        QVERIFY(savePrivateStoreFile(name, newer));
        QByteArray bytes = fileBytes(path);
        if (damage == "empty")
            bytes.clear();
        else if (damage == "tampered")
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x40);
        else if (damage == "truncated")
            bytes.chop(bytes.size() / 3);
        if (damage == "array") {
            QVERIFY(writeSealedFile(name, "[]"));
            bytes = fileBytes(path);
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QCOMPARE(file.write(bytes), bytes.size());
        }

        auto window = makeWindow(userWithId("u10"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QVERIFY(probe.privateAvailable());
        QVERIFY(probe.privateChatButton()->isEnabled());
        QCOMPARE(probe.threads(), older);
        QCOMPARE(itemIds(probe.privateList()), QStringList{"a"});

        // The damaged file is kept, byte for byte, under a name that says what it is.
        const QStringList kept =
            QDir(appDataDirectory()).entryList({name + ".damaged-*"}, QDir::Files);
        QCOMPARE(kept.size(), 1);
        QCOMPARE(fileBytes(appDataFilePath(kept.first())), bytes);
        QVERIFY(!QFile::exists(path));
        QVERIFY(probe.chatNotice()->text().contains(kept.first()));
        QVERIFY(probe.chatNotice()->text().contains(QStringLiteral("完好副本")));

        // Work goes on from the copy; the copy stays what it was until the store is good again.
        probe.createPrivateThread();
        QCOMPARE(sealedDocument(name).value("threads").toArray().size(), 2);
        QCOMPARE(sealedDocument(lastGoodCopyName(name)).value("threads").toArray(), older);
        window.reset();
        auto again = makeWindow(userWithId("u10"));
        QVERIFY(again);
        QCOMPARE(ChatWindowProbe(again.get()).threads().size(), 2);
        QCOMPARE(ChatWindowProbe(again.get()).chatNotice()->text(), QString());
    }

    // Without a copy that opens, the store is unreadable as before and nothing is moved.
    void storeWithoutGoodCopyIsLeftAlone_data()
    {
        QTest::addColumn<QString>("kind");
#ifndef Q_OS_WIN // the stores of another Windows user: tst_foreign_user
        QTest::newRow("both sealed for another user") << "otherKey";
#endif
        QTest::newRow("both damaged") << "damaged";
    }

    void storeWithoutGoodCopyIsLeftAlone()
    {
        QFETCH(QString, kind);
        const QString name = QStringLiteral("private-u11.bin");
        const QString path = appDataFilePath(name);
        const QString copy = appDataFilePath(lastGoodCopyName(name));
        QVERIFY(savePrivateStoreFile(name, {threadRecord("a", "甲", 1)}));
        QVERIFY(savePrivateStoreFile(name, {threadRecord("b", "乙", 2)}));
        QByteArray key;
        if (kind == "otherKey") {
            QFile keyFile(sealingKeyPath());
            QVERIFY(keyFile.open(QIODevice::ReadWrite));
            key = keyFile.readAll();
            QByteArray other(32, '\0');
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(other.data()), 8);
            QVERIFY(keyFile.seek(0));
            keyFile.write(other);
        } else {
            for (const QString& file : {path, copy}) {
                QFile damaged(file);
                QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
                damaged.write("not a sealed store");
            }
        }
        const QByteArray storeBefore = fileBytes(path);
        const QByteArray copyBefore = fileBytes(copy);

        auto window = makeWindow(userWithId("u11"));
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QVERIFY(!probe.privateAvailable());
        QCOMPARE(probe.chatNotice()->text(), unreadable);
        window.reset();
        QCOMPARE(fileBytes(path), storeBefore);
        QCOMPARE(fileBytes(copy), copyBefore);
        QCOMPARE(QDir(appDataDirectory()).entryList({name + ".damaged-*"}).size(), 0);
        if (!key.isEmpty()) {
            QFile keyFile(sealingKeyPath());
            QVERIFY(keyFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
            keyFile.write(key);
        }
    }

    void accountsKeepSeparateFiles()
    {
        auto first = makeWindow(userWithId("alice"));
        QVERIFY(first);
        ChatWindowProbe(first.get()).createPrivateThread();
        const QString aliceThread = ChatWindowProbe(first.get()).privateId();
        first.reset();

        auto second = makeWindow(userWithId("bob"));
        QVERIFY(second);
        ChatWindowProbe bob(second.get());
        QCOMPARE(bob.threads().size(), 0);
        bob.createPrivateThread();
        bob.createPrivateThread();
        second.reset();

        QCOMPARE(sealedDocument("private-alice.bin")["threads"].toArray().size(), 1);
        QCOMPARE(sealedDocument("private-bob.bin")["threads"].toArray().size(), 2);
        auto again = makeWindow(userWithId("alice"));
        QVERIFY(again);
        QCOMPARE(itemIds(ChatWindowProbe(again.get()).privateList()), QStringList{aliceThread});
    }
};

KESTRUNE_TEST_MAIN(Tst_privatestore)
#include "tst_privatestore.moc"
