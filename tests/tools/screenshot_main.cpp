// Drives the real windows against a scripted service into their main states and saves a
// picture of each, for looking at the program as a person would.

#include "api/api.h"
#include "app/handoff.h"
#include "app/theme.h"
#include "app/toolkittranslation.h"
#include "chat/chatwindow.h"
#include "chat/jumplist.h"
#include "login/loginwindow.h"
#include "probes.h"
#include "scriptedserver.h"
#include "testenvironment.h"

#include <QApplication>
#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <cstdio>
#include <functional>

namespace
{

const char* cloudReply = R"(下面是三种方案的对比：

| 方案 | 成本 | 上线时间 |
|---|---|---|
| 自建 | 高 | 3 个月 |
| 托管 | 中 | 2 周 |
| 混合 | 低 | 1 个月 |

建议的步骤：

1. 先用**托管**方案验证需求；
2. 再把核心数据迁回自建集群；
3. 最后评估 `混合` 部署的成本。

- 风险：供应商锁定
- 收益：更快上线

```cpp
int main() {
    std::puts("你好，KestruneAI");
    return 0;
}
```
)";

const char* privateReply = R"(好的，这是一份**仅保存在本机**的周计划草稿：

1. 周一：整理需求清单
2. 周三：与设计同步原型
3. 周五：回顾并写周报

> 这段对话不会进入云端历史。)";

// As long as a title a user may type: the header cuts it with "…" instead of widening.
const char* longTitle = "一个很长很长的对话标题，用来看看侧栏和标题栏里的截断效果："
                        "季度复盘、预算调整、招聘计划与下半年路线图的逐项讨论记录";

QByteArray modelsJson()
{
    return R"({"models":[)"
           R"({"id":"kestrune-showcase","display_name":"Markdown 展示","points_per_100":1},)"
           R"({"id":"kestrune-echo","display_name":"回声","points_per_100":2}]})";
}

QByteArray conversationsJson()
{
    const QJsonArray list{
        QJsonObject{{"id", "c1"}, {"title", "部署方案对比"}},
        QJsonObject{{"id", "c2"}, {"title", "周报润色"}},
        QJsonObject{{"id", "c3"}, {"title", QString::fromUtf8(longTitle)}},
    };
    return QJsonDocument(QJsonObject{{"conversations", list}}).toJson(QJsonDocument::Compact);
}

QByteArray longConversationJson()
{
    const QJsonArray messages{
        QJsonObject{{"role", "user"}, {"content", "把这次讨论整理成要点。"}},
        QJsonObject{{"role", "assistant"},
                    {"content", "好的：\n\n- 预算下调 5%\n- 招聘延后一个月"}},
    };
    const QJsonObject conversation{
        {"id", "c3"}, {"title", QString::fromUtf8(longTitle)}, {"model", "kestrune-showcase"}};
    return QJsonDocument(QJsonObject{{"conversation", conversation}, {"messages", messages}})
        .toJson(QJsonDocument::Compact);
}

QByteArray conversationJson()
{
    const QJsonArray messages{
        QJsonObject{{"role", "user"}, {"content", "帮我对比一下三种部署方案，并给出步骤。"}},
        QJsonObject{{"role", "assistant"}, {"content", QString::fromUtf8(cloudReply)}},
    };
    const QJsonObject conversation{
        {"id", "c1"}, {"title", "部署方案对比"}, {"model", "kestrune-showcase"}};
    return QJsonDocument(QJsonObject{{"conversation", conversation}, {"messages", messages}})
        .toJson(QJsonDocument::Compact);
}

QByteArray privateStoreJson()
{
    const QJsonArray messages{
        QJsonObject{{"role", "user"}, {"content", "帮我排一下这周的计划"}},
        QJsonObject{{"role", "assistant"}, {"content", QString::fromUtf8(privateReply)}},
    };
    const QJsonObject thread{{"id", "0b7c7f4e-6a55-4d39-9d7a-3f0e2f1c9a10"},
                             {"title", "这周的计划"},
                             {"model", "kestrune-echo"},
                             {"messages", messages},
                             {"created_at", 1767225600},
                             {"updated_at", 1767229200}};
    const QJsonObject older{{"id", "5d2e61a0-1b7c-4f0a-8e3b-2c9d4e5f6a7b"},
                            {"title", "体检报告解读"},
                            {"model", "kestrune-echo"},
                            {"messages", QJsonArray{}},
                            {"created_at", 1767139200},
                            {"updated_at", 1767139200}};
    return QJsonDocument(QJsonObject{{"threads", QJsonArray{older, thread}}})
        .toJson(QJsonDocument::Compact);
}

QByteArray streamEvent(const QByteArray& name, const QJsonObject& data)
{
    return "event: " + name + "\ndata: " + QJsonDocument(data).toJson(QJsonDocument::Compact) +
           "\n\n";
}

ScriptedReply answer(const RecordedRequest& request)
{
    const QByteArray path = request.path;
    if (path == "/api/auth/register")
        return ScriptedReply::json(200, R"({"pending_id":"p-1","email":"lin@example.com"})");
    if (path == "/api/models")
        return ScriptedReply::json(200, modelsJson());
    if (path == "/api/conversations" && request.method == "GET")
        return ScriptedReply::json(200, conversationsJson());
    if (path == "/api/conversations" && request.method == "POST")
        return ScriptedReply::json(200, R"({"conversation":{"id":"c9","title":"新对话"}})");
    if (path == "/api/conversations/c1")
        return ScriptedReply::json(200, conversationJson());
    if (path == "/api/conversations/c3")
        return ScriptedReply::json(200, longConversationJson());
    if (path == "/api/auth/login")
        return ScriptedReply::json(
            200, R"({"token":"tok-demo","user":{"id":"u2","username":"demo","points":1280}})");
    if (path == "/api/auth/logout")
        return ScriptedReply::json(200, "{}");
    if (path == "/api/chat/stream") {
        // A reply that has begun and then keeps the stream open: the window stays busy.
        QByteArray body = streamEvent("delta", {{"text", "好的，我先梳理一下"}});
        body += streamEvent("delta", {{"text", "这段代码的结构，再逐条说明……"}});
        ScriptedReply reply = ScriptedReply::eventStream(body);
        reply.ending = ScriptedReply::Ending::HoldOpen;
        return reply;
    }
    return ScriptedReply::json(404, R"({"error":"没有这个接口。"})");
}

class Shooter
{
public:
    explicit Shooter(QString folder) : folder(std::move(folder)) {}

    // Waits for a state the window should reach; notes it when it does not.
    void expect(const char* what, const std::function<bool()>& reached, int timeoutMs = 5000)
    {
        if (!QTest::qWaitFor(reached, timeoutMs)) {
            std::fprintf(stderr, "screenshot: not reached: %s\n", what);
            ok = false;
        }
    }

    // `withPopups`: the screen's pixels where the window is, so that a pop-up over it shows.
    void shoot(QWidget* window, const QString& name, bool withPopups = false)
    {
        if (!withPopups) {
            window->raise();
            window->activateWindow();
        }
        if (!QTest::qWaitForWindowExposed(window))
            ok = false;
        QTest::qWait(300); // let late layouts and the text cursor settle
        // What the display server shows, where there is one; the widget's own picture if not.
        QPixmap picture;
        if (QScreen* screen = window->screen()) {
            const QRect area = window->frameGeometry();
            picture = withPopups
                          ? screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                          : screen->grabWindow(window->winId());
        }
        if (picture.isNull() || picture.size() != window->size() * picture.devicePixelRatio())
            picture = window->grab();
        const QString path = QDir(folder).filePath(name + ".png");
        if (!picture.save(path)) {
            std::fprintf(stderr, "screenshot: cannot write %s\n", qPrintable(path));
            ok = false;
            return;
        }
        std::printf("%s\n", qPrintable(path));
    }

    bool ok = true;

private:
    QString folder;
};

} // namespace

int main(int argc, char** argv)
{
    IsolatedHome home;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KestruneAI"));
    applyTheme(app);
    installToolkitTranslation(app);

    const QStringList arguments = QApplication::arguments();
    const QString folder = arguments.size() > 1 ? arguments.at(1) : QStringLiteral("screenshots");
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "screenshot: cannot create %s\n", qPrintable(folder));
        return 1;
    }
    Shooter shooter(folder);

    ScriptedServer server;
    server.setHandler(answer);
    qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
    Api api;

    // The sign-in window: sign-in mode, then register mode after a code was sent.
    {
        LoginWindow login(&api, [](QJsonObject) {});
        const LoginWindowProbe probe(&login);
        login.show();
        probe.loginEdit()->setText(QStringLiteral("demo"));
        probe.passwordEdit()->setText(QStringLiteral("demo-password-2026"));
        shooter.shoot(&login, QStringLiteral("signin"));

        probe.textButton()->click();
        probe.usernameEdit()->setText(QStringLiteral("lin_wei"));
        probe.emailEdit()->setText(QStringLiteral("lin@example.com"));
        probe.primaryButton()->click();
        shooter.expect("code row after a registration",
                       [&] { return probe.verifyGroup()->isVisible(); });
        probe.codeEdit()->setText(QStringLiteral("4821"));
        shooter.shoot(&login, QStringLiteral("register"));
        login.hide();
    }

    // The workspace, with one private thread in the sealed store beforehand.
    writeSealedFile(QStringLiteral("private-u1.bin"), privateStoreJson());
    const QJsonObject user{{"id", "u1"}, {"username", "demo"}, {"points", 1280}};
    ChatWindow chat(&api, user, [] {});
    const ChatWindowProbe probe(&chat);
    chat.show();
    shooter.expect("models listed", [&] { return probe.modelSelect()->count() == 2; });
    shooter.expect("cloud list filled", [&] { return probe.conversationList()->count() == 3; });

    if (QListWidgetItem* item = probe.conversationList()->item(0)) {
        probe.conversationList()->setCurrentItem(item);
        probe.openConversation(item);
    }
    shooter.expect("cloud conversation open", [&] { return probe.cloudId() == "c1"; });
    shooter.shoot(&chat, QStringLiteral("workspace-cloud"));

    const QString threadId = QStringLiteral("0b7c7f4e-6a55-4d39-9d7a-3f0e2f1c9a10");
    probe.openPrivateThread(threadId);
    shooter.expect("private thread open", [&] { return probe.privateId() == threadId; });
    shooter.shoot(&chat, QStringLiteral("workspace-private"));

    // A title longer than the header: cut with "…", the window keeps its width.
    if (QListWidgetItem* item = probe.conversationList()->item(2)) {
        probe.conversationList()->setCurrentItem(item);
        probe.openConversation(item);
    }
    shooter.expect("long title open", [&] { return probe.cloudId() == "c3"; });
    shooter.shoot(&chat, QStringLiteral("workspace-long-title"));

    // The reader's tools: the find bar over the transcript (Ctrl+F), then the jump list (Ctrl+K).
    if (QListWidgetItem* item = probe.conversationList()->item(0)) {
        probe.conversationList()->setCurrentItem(item);
        probe.openConversation(item);
    }
    shooter.expect("cloud conversation open again", [&] { return probe.cloudId() == "c1"; });
    chat.activateWindow();
    QTest::keyClick(&chat, Qt::Key_F, Qt::ControlModifier);
    probe.findBar()->field()->setText(QStringLiteral("方案"));
    shooter.expect("matches found", [&] { return probe.findBar()->matchCount() > 0; });
    shooter.shoot(&chat, QStringLiteral("workspace-find"));
    QTest::keyClick(probe.findBar()->field(), Qt::Key_Escape);
    QTest::keyClick(&chat, Qt::Key_K, Qt::ControlModifier);
    // By name: the pop-up has no meta-object of its own to be cast by.
    shooter.expect("jump list open", [&] { return chat.findChild<QFrame*>("jumpList"); });
    if (auto* jump = static_cast<JumpList*>(chat.findChild<QFrame*>("jumpList"))) {
        jump->field()->setText(QStringLiteral("对"));
        shooter.shoot(&chat, QStringLiteral("workspace-jump"), true);
        jump->close();
    }

    // The toolkit's own dialogs, in Chinese: rename, then the delete question; both cancelled.
    answerNextModal([&](QWidget* dialog) {
        shooter.shoot(dialog, QStringLiteral("dialog-rename"));
        dialog->close();
    });
    probe.renameCurrent();
    answerNextModal([&](QWidget* dialog) {
        shooter.shoot(dialog, QStringLiteral("dialog-delete"));
        dialog->close();
    });
    probe.deleteCurrent();

    // The network settings with a manual proxy whose port is refused; then cancelled.
    chat.activateWindow();
    shooter.expect("workspace active", [&] { return chat.isActiveWindow(); });
    answerNextModal([&](QWidget* dialog) {
        if (auto* modes = dialog->findChild<QButtonGroup*>())
            modes->button(int(ProxySettings::Mode::Http))->click();
        if (auto* host = dialog->findChild<QLineEdit*>(QStringLiteral("proxyHost")))
            host->setText(QStringLiteral("proxy.example.com"));
        if (auto* port = dialog->findChild<QLineEdit*>(QStringLiteral("proxyPort")))
            port->setText(QStringLiteral("80800"));
        if (auto* buttons = dialog->findChild<QDialogButtonBox*>())
            buttons->button(QDialogButtonBox::Ok)->click();
        shooter.shoot(dialog, QStringLiteral("dialog-network"));
        dialog->close();
    });
    QTest::keyClick(&chat, Qt::Key_Comma, Qt::ControlModifier);

    // The transcript at 150%, then back to 100%.
    shooter.expect("network dialog shown", [&] {
        return QFile::exists(QDir(folder).filePath(QStringLiteral("dialog-network.png")));
    });
    chat.activateWindow();
    shooter.expect("workspace active again", [&] { return chat.isActiveWindow(); });
    QTest::keyClick(&chat, Qt::Key_Equal, Qt::ControlModifier);
    QTest::keyClick(&chat, Qt::Key_Equal, Qt::ControlModifier);
    QTest::keyClick(&chat, Qt::Key_Equal, Qt::ControlModifier);
    shooter.expect("transcript zoomed", [&] { return probe.transcript()->zoom() == 150; });
    shooter.shoot(&chat, QStringLiteral("workspace-zoom-150"));
    QTest::keyClick(&chat, Qt::Key_0, Qt::ControlModifier);

    // The backup's passphrase, refused once so that its error shows; then cancelled.
    answerNextModal([&](QWidget* dialog) {
        const QList<QLineEdit*> fields = dialog->findChildren<QLineEdit*>();
        for (QLineEdit* field : fields)
            field->setText(QStringLiteral("short"));
        if (auto* buttons = dialog->findChild<QDialogButtonBox*>())
            buttons->button(QDialogButtonBox::Ok)->click();
        shooter.shoot(dialog, QStringLiteral("dialog-backup"));
        dialog->close();
    });
    probe.backUpPrivateThreads();

    // A new conversation with a reply under way: the controls are locked.
    probe.startNewConversation();
    probe.chatInput()->setPlainText(QStringLiteral("解释一下这段代码的结构"));
    probe.submit();
    shooter.expect("reply streaming", [&] {
        return probe.busy() && probe.transcript()->toPlainText().contains("逐条说明");
    });
    shooter.shoot(&chat, QStringLiteral("workspace-streaming"));

    chat.close();

    // Signed in and out again: the sign-in window comes back without the password or the
    // "signing in" line, the user name kept.
    {
        WindowHandoff handoff(&api);
        handoff.start();
        const LoginWindowProbe login(handoff.loginWindow());
        login.loginEdit()->setText(QStringLiteral("demo"));
        login.passwordEdit()->setText(QStringLiteral("demo-password-2026"));
        login.primaryButton()->click();
        shooter.expect("signed in", [&] { return handoff.currentWorkspace() != nullptr; });
        if (ChatWindow* workspace = handoff.currentWorkspace()) {
            if (auto* logout = workspace->findChild<QPushButton*>(QStringLiteral("logoutButton")))
                logout->click();
        }
        shooter.expect("signed out", [&] { return handoff.loginWindow()->isVisible(); });
        shooter.shoot(handoff.loginWindow(), QStringLiteral("signin-after-signout"));
    }

    return shooter.ok ? 0 : 2;
}
