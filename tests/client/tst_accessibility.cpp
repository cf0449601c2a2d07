// What assistive technology gets from both windows, read through the toolkit's accessibility
// interfaces (as a screen reader's bridge reads them): names, descriptions, roles and states,
// the order Tab walks in, and every action done from the keyboard.

#include "api/api.h"
#include "chat/chatwindow.h"
#include "login/loginwindow.h"
#include "probes.h"
#include "scriptedserver.h"
#include "signintesting.h"
#include "testenvironment.h"
#include "widgetfinder.h"

#include <QAccessible>
#include <QApplication>
#include <QJsonArray>
#include <QtTest>

#include <memory>

namespace
{

struct Spoken {
    QString name;
    QString description;
    QAccessible::Role role = QAccessible::NoRole;
};

Spoken spoken(QObject* object)
{
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(object);
    if (!face)
        return {};
    return {face->text(QAccessible::Name), face->text(QAccessible::Description), face->role()};
}

// The names of the widgets Tab visits, starting at `first`, until it comes back.
QStringList tabOrder(QWidget* window, QWidget* first)
{
    first->setFocus(Qt::TabFocusReason);
    QStringList names;
    for (int i = 0; i < 30; ++i) {
        QWidget* focus = QApplication::focusWidget();
        if (!focus || (i > 0 && focus == first))
            break;
        // The widget's own name where one is set: a selector's spoken name on Linux is its
        // current value (its label comes as a relation).
        names << (focus->accessibleName().isEmpty() ? spoken(focus).name : focus->accessibleName());
        QTest::keyClick(window, Qt::Key_Tab);
    }
    return names;
}

} // namespace

class TstAccessibility : public QObject
{
    Q_OBJECT

    ScriptedServer server;
    std::unique_ptr<Api> api;

private slots:
    void initTestCase()
    {
        server.setHandler([](const RecordedRequest& request) {
            if (request.path == "/api/models")
                return ScriptedReply::json(
                    200, R"({"models":[{"id":"m1","display_name":"回声","points_per_100":2}]})");
            if (request.path == "/api/conversations")
                return ScriptedReply::json(200, R"({"conversations":[{"id":"c1","title":"周报"},)"
                                                R"({"id":"c2","title":"旅行计划"}]})");
            if (request.path.startsWith("/api/conversations/"))
                return ScriptedReply::json(
                    200, R"({"conversation":{"title":"旅行计划","model":"m1"},"messages":[]})");
            if (request.path == "/api/auth/register")
                return ScriptedReply::json(200, R"({"pending_id":"p1"})");
            return ScriptedReply::json(404, R"({"error":"没有这个接口。"})");
        });
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        api = std::make_unique<Api>();
    }

    void signInWindowSpeaks()
    {
        LoginWindow window(api.get(), [](QJsonObject) {});
        const LoginWindowProbe probe(&window);
        const Spoken login = spoken(probe.loginEdit());
        QCOMPARE(login.name, QStringLiteral("用户名或邮箱"));
        QCOMPARE(login.description, QStringLiteral("输入用户名或邮箱"));
        QCOMPARE(login.role, QAccessible::EditableText);
        QCOMPARE(spoken(probe.usernameEdit()).name, QStringLiteral("用户名"));
        QCOMPARE(spoken(probe.emailEdit()).name, QStringLiteral("邮箱"));
        QCOMPARE(spoken(probe.codeEdit()).name, QStringLiteral("验证码"));
        QCOMPARE(spoken(probe.passwordEdit()).name, QStringLiteral("密码"));
        QVERIFY(QAccessible::queryAccessibleInterface(probe.passwordEdit())->state().passwordEdit);
        // Buttons say what they do, without the arrows they show, and follow the mode.
        QCOMPARE(spoken(probe.primaryButton()).name, QStringLiteral("登录"));
        QCOMPARE(spoken(probe.primaryButton()).role, QAccessible::Button);
        QCOMPARE(spoken(probe.textButton()).name, QStringLiteral("创建账号"));
        probe.setRegisterMode(true);
        QCOMPARE(spoken(probe.primaryButton()).name, QStringLiteral("发送验证码"));
        QCOMPARE(spoken(probe.textButton()).name, QStringLiteral("返回登录"));
        QCOMPARE(spoken(byName<QPushButton>(&window, "secondaryButton")).name,
                 QStringLiteral("验证邮箱"));
        // The status line is read as what it says.
        probe.statusLabel()->setText(QStringLiteral("正在登录…"));
        QCOMPARE(spoken(probe.statusLabel()).name, QStringLiteral("正在登录…"));
        QCOMPARE(spoken(probe.statusLabel()).description, QStringLiteral("状态"));
        QCOMPARE(spoken(byName<QLabel>(&window, "loginBrand")).name, QStringLiteral("KestruneAI"));
    }

    void signInTabOrderFollowsTheForm()
    {
        LoginWindow window(api.get(), [](QJsonObject) {});
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        const LoginWindowProbe probe(&window);
        QCOMPARE(tabOrder(&window, probe.loginEdit()),
                 (QStringList{"用户名或邮箱", "密码", "登录", "创建账号"}));

        QVERIFY(registerUntilCodeRow(probe, QStringLiteral("lin@example.com")));
        QCOMPARE(tabOrder(&window, probe.usernameEdit()),
                 (QStringList{"用户名", "邮箱", "密码", "发送验证码", "返回登录", "验证码",
                              "验证邮箱"}));
    }

    void workspaceSpeaks()
    {
        ChatWindow window(api.get(), QJsonObject{{"id", "a1"}, {"username", "ann"}}, [] {});
        const ChatWindowProbe probe(&window);
        QTRY_COMPARE(probe.conversationList()->count(), 2);
        const QList<std::pair<QWidget*, Spoken>> expected{
            {probe.newChatButton(),
             {"新建对话", "开始一个在云端保存的新对话", QAccessible::Button}},
            {probe.privateChatButton(),
             {"新建隐私对话", "开始一个只加密保存在本机的对话", QAccessible::Button}},
            {probe.conversationList(), {"云端对话", "按回车键打开所选对话", QAccessible::List}},
            {probe.privateList(), {"本机隐私对话", "按回车键打开所选对话", QAccessible::List}},
            {probe.renameButton(), {"重命名", "重命名当前对话", QAccessible::Button}},
            {probe.deleteButton(), {"删除", "删除当前对话", QAccessible::Button}},
            {probe.modelSelect(),
             {"模型", "回复所用的模型及每 100 字的额度", QAccessible::ComboBox}},
            {probe.chatInput(),
             {"向 KestruneAI 提问", "Ctrl + Enter 发送，支持 Markdown", QAccessible::EditableText}},
            {probe.sendButton(), {"发送", "发送提问，快捷键 Ctrl + Enter", QAccessible::Button}},
        };
        for (const auto& [widget, want] : expected) {
            const Spoken got = spoken(widget);
            if (widget != probe.modelSelect())
                QCOMPARE(got.name, want.name);
            QCOMPARE(got.description, want.description);
            QCOMPARE(got.role, want.role);
        }
        // The selector is labelled by "模型" beside it and reads out the chosen model.
        QAccessibleInterface* selector = QAccessible::queryAccessibleInterface(probe.modelSelect());
        const auto labels = selector->relations(QAccessible::Label);
        QCOMPARE(labels.size(), 1);
        QCOMPARE(labels.first().first->text(QAccessible::Name), QStringLiteral("模型"));
        QCOMPARE(selector->text(QAccessible::Value), probe.modelSelect()->currentText());

        // List items are read by their titles, without the list marker.
        QAccessibleInterface* list =
            QAccessible::queryAccessibleInterface(probe.conversationList());
        QCOMPARE(list->childCount(), 2);
        QCOMPARE(list->child(0)->text(QAccessible::Name), QStringLiteral("周报"));
        QCOMPARE(list->child(0)->role(), QAccessible::ListItem);

        // The transcript is named as the conversation, the badge says where it is kept.
        QCOMPARE(spoken(probe.transcript()).name, QStringLiteral("对话记录：新对话"));
        QVERIFY(QAccessible::queryAccessibleInterface(probe.transcript())->state().readOnly);
        QCOMPARE(spoken(probe.modeBadge()).name, QStringLiteral("保存方式：云端保存"));
        probe.createPrivateThread();
        QCOMPARE(spoken(probe.transcript()).name, QStringLiteral("对话记录：隐私对话"));
        QCOMPARE(spoken(probe.modeBadge()).name, QStringLiteral("保存方式：仅本机保存"));
        // A disabled control says so.
        probe.setBusy(true);
        QVERIFY(QAccessible::queryAccessibleInterface(probe.sendButton())->state().disabled);
    }

    void workspaceByKeyboard()
    {
        ChatWindow window(api.get(), QJsonObject{{"id", "a2"}, {"username", "ann"}}, [] {});
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        const ChatWindowProbe probe(&window);
        QTRY_COMPARE(probe.conversationList()->count(), 2);
        QTRY_COMPARE(probe.modelSelect()->count(), 1);

        // Left column, then the right one, top to bottom; Tab leaves the composer.
        QCOMPARE(tabOrder(&window, probe.newChatButton()),
                 (QStringList{"新建对话", "新建隐私对话", "云端对话", "本机隐私对话", "退出登录",
                              "模型", "对话记录：新对话", "向 KestruneAI 提问", "发送"}));

        // Moving through a list opens nothing; Return opens the selected conversation.
        QListWidget* list = probe.conversationList();
        list->setFocus();
        const int before = server.requestCount();
        QTest::keyClick(list, Qt::Key_Down);
        QTest::keyClick(list, Qt::Key_Down);
        QTest::qWait(50);
        QCOMPARE(server.requestCount(), before);
        QCOMPARE(list->currentRow(), 1);
        QTest::keyClick(list, Qt::Key_Return);
        QTRY_COMPARE(probe.cloudId(), QStringLiteral("c2"));
        QCOMPARE(probe.chatTitle()->text(), QStringLiteral("旅行计划"));

        // While a reply is being received, Return opens nothing, as a click would not.
        probe.setBusy(true);
        list->setCurrentRow(0);
        QTest::keyClick(list, Qt::Key_Enter);
        QTest::qWait(50);
        QCOMPARE(probe.cloudId(), QStringLiteral("c2"));
        probe.setBusy(false);

        // A private thread opens from its list the same way.
        probe.createPrivateThread();
        const QString thread = probe.privateId();
        probe.startNewConversation();
        probe.privateList()->setFocus();
        probe.privateList()->setCurrentRow(0);
        QTest::keyClick(probe.privateList(), Qt::Key_Return);
        QCOMPARE(probe.privateId(), thread);
        QVERIFY(probe.isPrivate());
    }
};

KESTRUNE_TEST_MAIN(TstAccessibility)
#include "tst_accessibility.moc"
