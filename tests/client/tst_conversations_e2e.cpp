#include "api/api.h"
#include "chat/chatwindow.h"
#include "chat/findbar.h"
#include "probes.h"
#include "serverprocess.h"
#include "testenvironment.h"
#include "workspacetesting.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QJsonArray>
#include <QMenu>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest>

#include <memory>

// Both conversation lists of a real workspace against the real local service.
class Tst_conversations_e2e : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<Api> api;
    QJsonObject user;

    // One JSON request, waited for; `ok` false fails the calling test through the result.
    QJsonObject call(const QByteArray& method, const QString& path, const QJsonObject& body,
                     bool* ok = nullptr)
    {
        bool done = false;
        bool succeeded = false;
        QJsonObject reply;
        api->request(method, path, body, [&](bool good, const QJsonObject& b, const QString&) {
            done = true;
            succeeded = good;
            reply = b;
        });
        const bool finished = QTest::qWaitFor([&] { return done; }, 10000);
        if (ok)
            *ok = finished && succeeded;
        return reply;
    }

    std::unique_ptr<ChatWindow> makeWindow()
    {
        auto window = std::make_unique<ChatWindow>(api.get(), user, [] {});
        ChatWindowProbe probe(window.get());
        if (!QTest::qWaitFor([&] { return probe.modelSelect()->count() >= 2; }, 10000) ||
            !QTest::qWaitFor([&] { return probe.conversationList()->count() >= 1; }, 10000))
            return nullptr;
        return window;
    }

private slots:
    void initTestCase()
    {
        server = std::make_unique<ServerProcess>(QStringList{"--demo"});
        QVERIFY2(server->started(), qPrintable(server->output()));
        qputenv("KESTRUNEAI_BASE_URL", server->origin().toUtf8());
        api = std::make_unique<Api>();

        bool ok = false;
        const QJsonObject login =
            call("POST", "/api/auth/login", {{"login", "demo"}, {"password", "demo-password-2026"}},
                 &ok);
        QVERIFY(ok);
        api->token = login.value("token").toString();
        user = login.value("user").toObject();
        QVERIFY(!api->token.isEmpty());
        QVERIFY(!user.value("id").toString().isEmpty());
    }

    void cloudConversations()
    {
        bool ok = false;
        const QString first = call("POST", "/api/conversations", {{"model", "kestrune-echo"}}, &ok)
                                  .value("conversation")
                                  .toObject()
                                  .value("id")
                                  .toString();
        QVERIFY(ok);
        const QString second =
            call("POST", "/api/conversations", {{"model", "kestrune-showcase"}}, &ok)
                .value("conversation")
                .toObject()
                .value("id")
                .toString();
        QVERIFY(ok);

        // Give the first one a turn through the service's own stream.
        bool streamed = false;
        api->streamChat(
            {{"conversation_id", first}, {"prompt", "你好，回声"}}, [](QString) {},
            [&](QJsonObject) { streamed = true; }, [&](QString) { streamed = true; });
        QTRY_VERIFY_WITH_TIMEOUT(streamed, 15000);

        auto window = makeWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QVERIFY(itemIds(probe.conversationList()).contains(first));
        QVERIFY(itemIds(probe.conversationList()).contains(second));

        const int row = int(itemIds(probe.conversationList()).indexOf(first));
        emit probe.conversationList()->itemClicked(probe.conversationList()->item(row));
        QTRY_COMPARE_WITH_TIMEOUT(probe.cloudId(), first, 10000);
        QCOMPARE(probe.modelSelect()->currentData().toString(), QStringLiteral("kestrune-echo"));
        QCOMPARE(probe.chatNotice()->text(), QString());
        QVERIFY(probe.messages().size() >= 2);
        QCOMPARE(probe.messages().at(0).toObject().value("content").toString(),
                 QStringLiteral("你好，回声"));

        answerNextTextInput("  回声练习  ", true);
        probe.renameButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(probe.chatTitle()->text(), QStringLiteral("回声练习"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(itemTexts(probe.conversationList()).contains("◦  回声练习"),
                                 10000);
        QCOMPARE(currentItemId(probe.conversationList()), first);

        answerNextQuestion(true);
        probe.deleteButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!itemIds(probe.conversationList()).contains(first), 10000);
        QCOMPARE(probe.cloudId(), QString());
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("新对话"));
        QVERIFY(itemIds(probe.conversationList()).contains(second));
        call("GET", "/api/conversations/" + first, {}, &ok);
        QVERIFY(!ok);
    }

    void privateThreadsSurviveANewWindow()
    {
        QString kept;
        {
            auto window = makeWindow();
            QVERIFY(window);
            ChatWindowProbe probe(window.get());
            probe.privateChatButton()->click();
            const QString doomed = probe.privateId();
            probe.privateChatButton()->click();
            kept = probe.privateId();
            QVERIFY(!doomed.isEmpty() && doomed != kept);

            answerNextTextInput("本机笔记", true);
            probe.renameButton()->click();
            QCOMPARE(probe.chatTitle()->text(), QStringLiteral("本机笔记"));

            probe.openPrivateThread(doomed);
            answerNextQuestion(true);
            probe.deleteButton()->click();
            QCOMPARE(itemIds(probe.privateList()), QStringList{kept});
        }

        // A new sign-in reads the sealed file of this account.
        auto window = makeWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QCOMPARE(itemTexts(probe.privateList()), QStringList{"◇  本机笔记"});
        emit probe.privateList()->itemClicked(probe.privateList()->item(0));
        QCOMPARE(probe.privateId(), kept);
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("本机笔记"));
        QCOMPARE(sealedDocument("private-" + user.value("id").toString() + ".bin")
                     .value("threads")
                     .toArray()
                     .size(),
                 1);
    }

    // The reader's tools on a conversation the service wrote: a showcase reply found in,
    // its code block copied, and the conversation exported as the service keeps it.
    void readerToolsOnAServiceConversation()
    {
        auto window = makeWindow();
        QVERIFY(window);
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        ChatWindowProbe probe(window.get());
        probe.modelSelect()->setCurrentIndex(probe.modelSelect()->findData("kestrune-showcase"));
        probe.chatInput()->setPlainText(QStringLiteral("展示一下 Markdown"));
        probe.submit();
        QVERIFY(
            QTest::qWaitFor([&] { return !probe.busy() && !probe.cloudId().isEmpty(); }, 20000));
        const QString id = probe.cloudId();

        // Find: every match of a word of the reply, marked in the pane.
        QTest::keyClick(window.get(), Qt::Key_F, Qt::ControlModifier);
        QTest::keyClicks(probe.findBar()->field(), "kestrune");
        QVERIFY(probe.findBar()->matchCount() > 0);
        QCOMPARE(probe.transcript()->extraSelections().size(), probe.findBar()->matchCount());
        QTest::keyClick(probe.findBar()->field(), Qt::Key_Escape);

        // Copy: the first code block of the reply, through the transcript's menu.
        QTextDocument* document = probe.transcript()->document();
        QTextBlock code = document->begin();
        while (code.isValid() && !code.blockFormat().hasProperty(QTextFormat::BlockCodeFence))
            code = code.next();
        QVERIFY2(code.isValid(), "the showcase reply has a code block");
        QTextCursor cursor(code);
        probe.transcript()->setTextCursor(cursor);
        const QPoint point = probe.transcript()->cursorRect(cursor).center();
        QGuiApplication::clipboard()->clear();
        QTimer::singleShot(50, [] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                for (QAction* action : menu->actions()) {
                    if (action->text() == QStringLiteral("复制代码")) {
                        menu->close();
                        action->trigger();
                        return;
                    }
                }
                menu->close();
            }
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, point,
                                probe.transcript()->viewport()->mapToGlobal(point));
        QApplication::sendEvent(probe.transcript()->viewport(), &event);
        QTRY_VERIFY(QGuiApplication::clipboard()->text().contains(code.text()));

        // Export: the turns as the service keeps them.
        bool ok = false;
        const QJsonObject stored = call("GET", "/api/conversations/" + id, {}, &ok);
        QVERIFY(ok);
        QTemporaryDir folder;
        const QString path = folder.filePath("export.md");
        answerNextModal([path](QWidget* widget) {
            auto* dialog = qobject_cast<QFileDialog*>(widget);
            if (!dialog) {
                widget->close();
                return;
            }
            dialog->selectFile(path);
            static_cast<QDialog*>(dialog)->accept();
        });
        // The list's menu entry, for this conversation.
        QListWidget* list = probe.conversationList();
        const int row = int(itemIds(list).indexOf(id));
        QVERIFY(row >= 0);
        const QRect rect = list->visualItemRect(list->item(row));
        QTimer::singleShot(50, [] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                QAction* action = menu->actions().value(0);
                menu->close();
                if (action)
                    action->trigger();
            }
        });
        QContextMenuEvent listEvent(QContextMenuEvent::Mouse, rect.center(),
                                    list->viewport()->mapToGlobal(rect.center()));
        QApplication::sendEvent(list->viewport(), &listEvent);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path), 10000);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString markdown = QString::fromUtf8(file.readAll());
        for (const QJsonValue& value : stored.value("messages").toArray()) {
            const QString content = value.toObject().value("content").toString().trimmed();
            QVERIFY2(markdown.contains(content), qPrintable(content.left(40)));
        }
        const QStringList lines = markdown.split('\n');
        QCOMPARE(int(lines.count("## 你") + lines.count("## KestruneAI")),
                 int(stored.value("messages").toArray().size()));
    }
};

KESTRUNE_TEST_MAIN(Tst_conversations_e2e)
#include "tst_conversations_e2e.moc"
