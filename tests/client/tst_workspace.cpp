#include "api/api.h"
#include "chat/chatwindow.h"
#include "probes.h"
#include "scriptedserver.h"
#include "testenvironment.h"
#include "widgetfinder.h"

#include <QApplication>
#include <QBoxLayout>
#include <QFrame>
#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QShortcut>
#include <QSignalSpy>
#include <QSpacerItem>
#include <QtTest>

#include <memory>

namespace
{

// One line per layout item: object name and text of a widget, "spacing N", "stretch", or a
// nested layout in brackets; " ×N" marks a stretch factor.
QStringList describe(QBoxLayout* layout)
{
    QStringList lines;
    const bool vertical = layout->direction() == QBoxLayout::TopToBottom;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        QString line;
        if (QWidget* widget = item->widget()) {
            line = widget->objectName();
            if (auto* label = qobject_cast<QLabel*>(widget); label && !label->text().isEmpty())
                line += " " + label->text();
            if (auto* button = qobject_cast<QAbstractButton*>(widget))
                line += " " + button->text();
        } else if (QSpacerItem* spacer = item->spacerItem()) {
            const bool expands = spacer->expandingDirections() != Qt::Orientations();
            const QSize size = spacer->sizeHint();
            line = expands ? "stretch"
                           : QString("spacing %1").arg(vertical ? size.height() : size.width());
        } else if (auto* inner = qobject_cast<QBoxLayout*>(item->layout())) {
            line = "[" + describe(inner).join(" | ") + "]";
        }
        if (layout->stretch(i) != 0)
            line += QString(" ×%1").arg(layout->stretch(i));
        lines << line;
    }
    return lines;
}

QBoxLayout* boxOf(QWidget* widget)
{
    return qobject_cast<QBoxLayout*>(widget->layout());
}

QByteArray modelsReply(const QByteArray& models)
{
    return R"({"models":)" + models + "}";
}

} // namespace

class Tst_workspace : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScriptedServer> server;
    std::unique_ptr<Api> api;
    QByteArray modelsBody;
    int modelsStatus = 200;
    int logouts = 0;

    std::unique_ptr<ChatWindow> makeWindow(QJsonObject user = {
                                               {"username", "ann"}, {"points", 42}, {"id", "u1"}})
    {
        return std::make_unique<ChatWindow>(api.get(), std::move(user), [this] { ++logouts; });
    }

private slots:
    void init()
    {
        server = std::make_unique<ScriptedServer>();
        modelsBody = modelsReply("[]");
        modelsStatus = 200;
        logouts = 0;
        server->setHandler([this](const RecordedRequest& request) {
            if (request.path == "/api/models")
                return ScriptedReply::json(modelsStatus, modelsBody);
            return ScriptedReply::json(200, R"({"conversations":[]})");
        });
        qputenv("KESTRUNEAI_BASE_URL", server->origin().toUtf8());
        api = std::make_unique<Api>();
    }

    void cleanup()
    {
        api.reset();
        server.reset();
    }

    void widgetTree()
    {
        auto window = makeWindow();
        QCOMPARE(window->objectName(), "chatWindow");
        QCOMPARE(window->windowTitle(), "KestruneAI");
        QCOMPARE(window->size(), QSize(1160, 760));
        QVERIFY(!window->parent());
        QCOMPARE(window->minimumSize(), QSize(0, 0)); // resized, not fixed

        QBoxLayout* root = boxOf(window.get());
        QCOMPARE(root->direction(), QBoxLayout::LeftToRight);
        QCOMPARE(root->contentsMargins(), QMargins(0, 0, 0, 0));
        QCOMPARE(root->spacing(), 0);
        QCOMPARE(describe(root), QStringList({"sidebar", "workspace ×1"}));

        auto* sidebar = byName<QFrame>(window.get(), "sidebar");
        QCOMPARE(sidebar->minimumWidth(), 278);
        QCOMPARE(sidebar->maximumWidth(), 278);
        QCOMPARE(boxOf(sidebar)->contentsMargins(), QMargins(21, 26, 21, 20));
        QCOMPARE(boxOf(sidebar)->spacing(), 13);
        QCOMPARE(
            describe(boxOf(sidebar)),
            QStringList({"sidebarBrand ✳   KestruneAI", "sidebarTagline 你的 AI 对话工作台",
                         "spacing 23", "newChatButton ＋   新建对话",
                         "privateChatButton ◇   隐私对话", "spacing 17", "sidebarSection 云端对话",
                         "conversationList ×1", "sidebarSection 本机隐私对话", "privateList ×1",
                         "sideDivider", "accountLabel ann\n对话额度 42", "logoutButton 退出登录"}));

        auto* workspace = byName<QFrame>(window.get(), "workspace");
        QCOMPARE(boxOf(workspace)->contentsMargins(), QMargins(35, 25, 35, 27));
        QCOMPARE(boxOf(workspace)->spacing(), 0);
        QCOMPARE(describe(boxOf(workspace)),
                 QStringList({"[chatTitle 新对话 | modeBadge 云端保存 | stretch | topAction 重命名"
                              " | topAction 删除]",
                              "spacing 18", "[modelLabel 模型 | modelSelect | stretch]",
                              "chatNotice", "transcript ×1", "composer"}));
        QCOMPARE(qobject_cast<QBoxLayout*>(boxOf(workspace)->itemAt(0)->layout())->spacing(), 10);
        QCOMPARE(qobject_cast<QBoxLayout*>(boxOf(workspace)->itemAt(2)->layout())->spacing(), 10);

        auto* composer = byName<QFrame>(window.get(), "composer");
        QCOMPARE(boxOf(composer)->contentsMargins(), QMargins(16, 13, 16, 13));
        QCOMPARE(
            describe(boxOf(composer)),
            QStringList({"chatInput", "[sendHint Ctrl + Enter 发送 · 支持 Markdown | stretch | "
                                      "sendButton 发送  ↗]"}));

        QCOMPARE(allByName<QLabel>(window.get(), "sidebarSection").size(), 2);
        QCOMPARE(allByName<QPushButton>(window.get(), "topAction").size(), 2);
    }

    void widgetProperties()
    {
        auto window = makeWindow({{"username", "<b>ann</b> %2"}});
        ChatWindowProbe probe(window.get());
        QCOMPARE(probe.conversationList()->frameShape(), QFrame::NoFrame);
        QCOMPARE(probe.privateList()->frameShape(), QFrame::NoFrame);
        QCOMPARE(byName<QFrame>(window.get(), "sideDivider")->frameShape(), QFrame::HLine);
        QCOMPARE(probe.accountLabel()->textFormat(), Qt::PlainText);
        QCOMPARE(probe.accountLabel()->text(), "<b>ann</b> %2\n对话额度 0");
        QCOMPARE(probe.user().value("points"), QJsonValue(0));
        QCOMPARE(probe.modelSelect()->minimumWidth(), 270);
        QCOMPARE(probe.modelSelect()->count(), 0);
        QVERIFY(probe.chatNotice()->wordWrap());
        QCOMPARE(probe.chatNotice()->text(), QString()); // the private store is fine here
        QCOMPARE(probe.chatInput()->placeholderText(), "向 KestruneAI 提问…");
        QCOMPARE(probe.chatInput()->maximumHeight(), 105);
        QVERIFY(probe.transcript()->isReadOnly());
        QVERIFY(!probe.transcript()->openExternalLinks());
        QVERIFY(!probe.transcript()->openLinks());
        QCOMPARE(probe.modeBadge()->property("private"), QVariant(false));
        QVERIFY(probe.transcript()->toPlainText().contains("从一个问题开始。"));

        // Right after construction: nothing to rename or delete, the selector is free.
        QVERIFY(probe.sendButton()->isEnabled());
        QVERIFY(!probe.renameButton()->isEnabled());
        QVERIFY(!probe.deleteButton()->isEnabled());
        QVERIFY(probe.modelSelect()->isEnabled());
        QVERIFY(probe.privateChatButton()->isEnabled());

        const QList<QShortcut*> shortcuts =
            probe.chatInput()->findChildren<QShortcut*>(QString(), Qt::FindDirectChildrenOnly);
        QCOMPARE(shortcuts.size(), 1);
        QCOMPARE(shortcuts.first()->key(), QKeySequence(Qt::CTRL | Qt::Key_Return));
        QCOMPARE(shortcuts.first()->context(), Qt::WindowShortcut);
        // The only other keys: find, search, jump, network settings and zoom in the whole
        // window, and Return and Enter on each list, which open the selected item.
        QStringList others;
        for (QShortcut* shortcut : window->findChildren<QShortcut*>()) {
            if (shortcut == shortcuts.first())
                continue;
            const bool windowWide = shortcut->parent() == window.get();
            QCOMPARE(shortcut->context(), windowWide ? Qt::WindowShortcut : Qt::WidgetShortcut);
            others << shortcut->parent()->objectName() + " " + shortcut->key().toString();
        }
        others.sort();
        QCOMPARE(others, (QStringList{"chatWindow Ctrl++", "chatWindow Ctrl+,", "chatWindow Ctrl+-",
                                      "chatWindow Ctrl+0", "chatWindow Ctrl+=", "chatWindow Ctrl+F",
                                      "chatWindow Ctrl+K", "chatWindow Ctrl+Shift+F",
                                      "conversationList Enter", "conversationList Return",
                                      "privateList Enter", "privateList Return"}));
    }

    void enabledStates_data()
    {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("isPrivate");
        QTest::addColumn<bool>("hasCloudId");
        QTest::addColumn<bool>("hasPrivateId");
        QTest::addColumn<bool>("available");
        for (int bits = 0; bits < 32; ++bits) {
            const bool b[5] = {bool(bits & 1), bool(bits & 2), bool(bits & 4), bool(bits & 8),
                               bool(bits & 16)};
            QTest::addRow("busy=%d private=%d cloudId=%d privateId=%d available=%d", b[0], b[1],
                          b[2], b[3], b[4])
                << b[0] << b[1] << b[2] << b[3] << b[4];
        }
    }

    void enabledStates()
    {
        QFETCH(bool, busy);
        QFETCH(bool, isPrivate);
        QFETCH(bool, hasCloudId);
        QFETCH(bool, hasPrivateId);
        QFETCH(bool, available);
        auto window = makeWindow();
        ChatWindowProbe probe(window.get());
        probe.isPrivate() = isPrivate;
        probe.cloudId() = hasCloudId ? "c1" : "";
        probe.privateId() = hasPrivateId ? "p1" : "";
        probe.privateAvailable() = available;
        probe.setBusy(!busy); // start from the opposite states
        probe.setBusy(busy);

        const bool idOpen = isPrivate ? hasPrivateId : hasCloudId;
        QCOMPARE(probe.busy(), busy);
        QCOMPARE(probe.sendButton()->isEnabled(), !busy);
        QCOMPARE(probe.newChatButton()->isEnabled(), !busy);
        QCOMPARE(probe.privateChatButton()->isEnabled(), !busy && available);
        QCOMPARE(probe.conversationList()->isEnabled(), !busy);
        QCOMPARE(probe.privateList()->isEnabled(), !busy);
        QCOMPARE(probe.renameButton()->isEnabled(), !busy && idOpen);
        QCOMPARE(probe.deleteButton()->isEnabled(), !busy && idOpen);
        QCOMPARE(probe.modelSelect()->isEnabled(), !busy && (isPrivate || !hasCloudId));
        QVERIFY(probe.chatInput()->isEnabled());
        QVERIFY(probe.transcript()->isEnabled());
        QVERIFY(byName<QPushButton>(window.get(), "logoutButton")->isEnabled());
    }

    void signOutWaitsForReply()
    {
        auto window = makeWindow();
        window->show();
        ChatWindowProbe probe(window.get());
        auto* logout = byName<QPushButton>(window.get(), "logoutButton");
        probe.setBusy(true);
        QTest::mouseClick(logout, Qt::LeftButton);
        QCOMPARE(logouts, 0);
        QVERIFY(window->isVisible()); // the window does not close itself
        probe.setBusy(false);
        QTest::mouseClick(logout, Qt::LeftButton);
        QCOMPARE(logouts, 1);
    }

    // The badge's style follows its "private" property at once, in both directions.
    void modeBadgeRepolished()
    {
        auto window = makeWindow();
        window->setStyleSheet("QLabel#modeBadge { color: #2c7078; }"
                              "QLabel#modeBadge[private=\"true\"] { color: #7c5d3c; }");
        window->show();
        ChatWindowProbe probe(window.get());
        QLabel* badge = probe.modeBadge();
        const auto colour = [badge] { return badge->palette().color(QPalette::WindowText); };
        QCOMPARE(colour(), QColor("#2c7078"));

        probe.threads() = QJsonArray{QJsonObject{
            {"id", "t1"}, {"title", "本机"}, {"model", "m1"}, {"messages", QJsonArray()}}};
        probe.openPrivateThread("t1");
        QCOMPARE(badge->property("private"), QVariant(true));
        QCOMPARE(colour(), QColor("#7c5d3c"));

        probe.startNewConversation();
        QCOMPARE(badge->property("private"), QVariant(false));
        QCOMPARE(badge->text(), "云端保存");
        QCOMPARE(colour(), QColor("#2c7078"));
    }

    void constructionRequestsTogether()
    {
        server->holdReplies(true);
        modelsBody = modelsReply(R"([{"id":"m1","display_name":"一","points_per_100":1}])");
        auto window = makeWindow();
        QVERIFY(server->waitForRequests(2));
        QStringList paths;
        for (const RecordedRequest& request : server->requests())
            paths << QString::fromUtf8(request.method + " " + request.path);
        paths.sort();
        QCOMPARE(paths, QStringList({"GET /api/conversations", "GET /api/models"}));
        QCOMPARE(ChatWindowProbe(window.get()).modelSelect()->count(), 0); // nothing answered
        server->release();
        QTRY_COMPARE(ChatWindowProbe(window.get()).modelSelect()->count(), 1);
    }

    void closedWindowIgnoresLateReplies()
    {
        server->holdReplies(true);
        modelsBody = modelsReply(R"([{"id":"m1","display_name":"一","points_per_100":1}])");
        auto owned = makeWindow();
        QPointer<ChatWindow> window = owned.release();
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->show();
        QVERIFY(server->waitForRequests(2));
        window->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!window);
        server->release();
        QTest::qWait(200); // both replies arrive and are dropped without a crash
        QCOMPARE(server->requestCount(), 2);
    }

    void modelList_data()
    {
        QTest::addColumn<QByteArray>("models");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QStringList>("ids");

        QTest::newRow("reply order")
            << QByteArray(R"([{"id":"b","display_name":"回声","points_per_100":2},
                              {"id":"a","display_name":"展示","points_per_100":1}])")
            << QStringList({"回声  ·  2 额度 / 100 字", "展示  ·  1 额度 / 100 字"})
            << QStringList({"b", "a"});
        QTest::newRow("odd prices show 0")
            << QByteArray(R"([{"id":"z","display_name":"零","points_per_100":0},
                              {"id":"f","display_name":"分数","points_per_100":1.5},
                              {"id":"m","display_name":"缺失"},
                              {"id":"s","display_name":"文字","points_per_100":"3"}])")
            << QStringList({"零  ·  0 额度 / 100 字", "分数  ·  0 额度 / 100 字",
                            "缺失  ·  0 额度 / 100 字", "文字  ·  0 额度 / 100 字"})
            << QStringList({"z", "f", "m", "s"});
        QTest::newRow("placeholders in a name stay literal")
            << QByteArray(R"([{"id":"p","display_name":"%1 和 %2","points_per_100":7}])")
            << QStringList({"%1 和 %2  ·  7 额度 / 100 字"}) << QStringList({"p"});
    }

    void modelList()
    {
        QFETCH(QByteArray, models);
        QFETCH(QStringList, texts);
        QFETCH(QStringList, ids);
        modelsBody = modelsReply(models);
        auto window = makeWindow();
        ChatWindowProbe probe(window.get());
        QComboBox* select = probe.modelSelect();
        QSignalSpy changes(select, &QComboBox::currentIndexChanged);
        QTRY_COMPARE(select->count(), int(texts.size()));
        QTest::qWait(50); // the conversation list has answered too
        for (int i = 0; i < select->count(); ++i) {
            QCOMPARE(select->itemText(i), texts.at(i));
            QCOMPARE(select->itemData(i, Qt::UserRole), QVariant(ids.at(i)));
            QVERIFY(select->itemIcon(i).isNull());
        }
        QCOMPARE(select->currentIndex(), 0);
        QCOMPARE(changes.count(), 0); // filled with its signals blocked
        QVERIFY(!select->signalsBlocked());
        QCOMPARE(probe.chatNotice()->text(), QString());
    }

    // Filling the selector while a private thread is open leaves the thread's model alone.
    void modelsArrivingKeepPrivateThread()
    {
        server->holdReplies(true);
        modelsBody = modelsReply(R"([{"id":"m1","display_name":"一","points_per_100":1},
                                     {"id":"m2","display_name":"二","points_per_100":2}])");
        auto window = makeWindow();
        ChatWindowProbe probe(window.get());
        probe.threads() = QJsonArray{QJsonObject{
            {"id", "t1"}, {"title", "本机"}, {"model", "m2"}, {"messages", QJsonArray()}}};
        probe.openPrivateThread("t1");
        QVERIFY(server->waitForRequests(2));
        server->release();
        QTRY_COMPARE(probe.modelSelect()->count(), 2);
        QCOMPARE(probe.threads().at(0).toObject().value("model").toString(), "m2");
    }

    void modelListEmptyOrFailed_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("notice");
        QTest::newRow("empty") << 200 << modelsReply("[]") << "管理员尚未开放聊天模型。";
        QTest::newRow("no models key") << 200 << QByteArray("{}") << "管理员尚未开放聊天模型。";
        QTest::newRow("failed") << 503 << QByteArray(R"({"error":"模型服务暂不可用。"})")
                                << "模型服务暂不可用。";
        QTest::newRow("markup in the error")
            << 500 << QByteArray(R"({"error":"<img src='a.png'>失败"})") << "<img src='a.png'>失败";
    }

    void modelListEmptyOrFailed()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, notice);
        modelsStatus = status;
        modelsBody = body;
        auto window = makeWindow();
        ChatWindowProbe probe(window.get());
        QTRY_COMPARE(probe.chatNotice()->text(), notice);
        QCOMPARE(probe.chatNotice()->textFormat(), Qt::PlainText); // service text never as markup
        QCOMPARE(probe.modelSelect()->count(), 0);
        QCOMPARE(probe.modelSelect()->currentIndex(), -1);
        QVERIFY(probe.sendButton()->isEnabled()); // sending itself refuses later
    }

    void accountPanel()
    {
        auto window = makeWindow({{"username", "<i>li</i> %1%2"}, {"points", 42}});
        ChatWindowProbe probe(window.get());
        QCOMPARE(probe.accountLabel()->text(), "<i>li</i> %1%2\n对话额度 42");
        probe.setPoints(7);
        QCOMPARE(probe.accountLabel()->text(), "<i>li</i> %1%2\n对话额度 7");
        QCOMPARE(probe.user().value("points"), QJsonValue(7));
        probe.setPoints(-3);
        QCOMPARE(probe.accountLabel()->text(), "<i>li</i> %1%2\n对话额度 -3");
    }
};

KESTRUNE_TEST_MAIN(Tst_workspace)
#include "tst_workspace.moc"
