// What the client remembers and how it behaves around the user's typing: the settings file
// and its checks, the transcript's zoom, drafts per conversation, the nudge after a reply in
// the background, the windows' places, input-method compositions and the network dialog.

#include "api/api.h"
#include "api/sealedfile.h"
#include "api/settingsfile.h"
#include "app/networkdialog.h"
#include "app/windowplace.h"
#include "chat/chatwindow.h"
#include "chat/drafts.h"
#include "login/loginwindow.h"
#include "probes.h"
#include "scriptedserver.h"
#include "testenvironment.h"
#include "workspacetesting.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QInputMethodEvent>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QRadioButton>
#include <QScreen>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QtTest>

#include <memory>

namespace
{

QByteArray sse(const QByteArray& name, const QJsonObject& data)
{
    return "event: " + name + "\ndata: " + QJsonDocument(data).toJson(QJsonDocument::Compact) +
           "\n\n";
}

// Written as another program would. The toolkit knows a file it has read by its size and
// time, so each version gets a comment of its own length.
void writeSettings(const QByteArray& text)
{
    static int written = 0;
    QDir().mkpath(QFileInfo(settingsfile::path()).absolutePath());
    QFile file(settingsfile::path());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("; " + QByteArray(++written, 'x') + "\n" + text);
}

// A workspace of "u1" on a scripted service with two cloud conversations ("c1" 甲, "c2" 乙),
// whose replies are the queued streams.
struct Workspace {
    ScriptedServer server;
    std::unique_ptr<Api> api;
    std::unique_ptr<ChatWindow> window;
    QList<ScriptedReply> streams;

    Workspace()
    {
        const auto service = twoModelService(
            R"({"conversations":[{"id":"c1","title":"甲"},{"id":"c2","title":"乙"}]})");
        server.setHandler([this, service](const RecordedRequest& request) {
            if (request.path.startsWith("/api/conversations/c") && request.method == "GET")
                return ScriptedReply::json(200,
                                           R"({"conversation":{"title":"对话","model":"m-one"},)"
                                           R"("messages":[]})");
            if (request.path.startsWith("/api/conversations/") && request.method == "DELETE")
                return ScriptedReply::json(200, R"({"ok":true})");
            if (request.path == "/api/chat/stream" && !streams.isEmpty())
                return streams.takeFirst();
            return service(request);
        });
        api = std::make_unique<Api>();
        api->baseUrl = QUrl(server.origin());
    }

    bool open()
    {
        window = std::make_unique<ChatWindow>(
            api.get(), QJsonObject{{"id", "u1"}, {"username", "mei"}, {"points", 100}}, [] {});
        return settled() && probe().conversationList()->count() == 2;
    }

    bool settled()
    {
        return QTest::qWaitFor([this] {
            return !probe().busy() && api->network.findChildren<QNetworkReply*>().isEmpty() &&
                   probe().modelSelect()->count() == 2;
        });
    }

    ChatWindowProbe probe() const { return ChatWindowProbe(window.get()); }

    bool openCloud(int row)
    {
        probe().openConversation(probe().conversationList()->item(row));
        const QString id = probe().conversationList()->item(row)->data(Qt::UserRole).toString();
        return QTest::qWaitFor([&] { return probe().cloudId() == id; }) && settled();
    }

    bool send(const QString& prompt)
    {
        probe().chatInput()->setPlainText(prompt);
        probe().submit();
        return probe().busy();
    }
};

ScriptedReply replyStream(const QList<QByteArray>& pieces, int pauseMs)
{
    const QByteArray body = pieces.join();
    ScriptedReply reply = ScriptedReply::eventStream(body);
    int at = int(reply.bytes.size() - body.size());
    for (const QByteArray& piece : pieces)
        reply.splitAt << (at += int(piece.size()));
    reply.pauseMs = pauseMs;
    return reply;
}

// The height of the first line of the block holding `text` in the transcript.
qreal lineHeightAt(QTextDocument* document, const QString& text)
{
    const QTextCursor found = document->find(text);
    if (found.isNull())
        return -1;
    const QTextBlock block = found.block();
    document->documentLayout()->blockBoundingRect(block); // laid out
    return block.layout()->lineCount() > 0 ? block.layout()->lineAt(0).height() : -1;
}

bool showActive(QWidget* window)
{
    window->show();
    window->activateWindow();
    return QTest::qWaitForWindowActive(window);
}

QString preedit(QTextEdit* edit)
{
    return edit->textCursor().block().layout()->preeditAreaText();
}

void compose(QWidget* field, const QString& preeditText, const QString& commit = {})
{
    QInputMethodEvent event(preeditText, {});
    if (!commit.isEmpty())
        event.setCommitString(commit);
    QApplication::sendEvent(field, &event);
}

const QString markdownReply = QStringLiteral(
    "# 大标题\n\n正文一段。\n\n| 列甲 | 列乙 |\n|---|---|\n| 格子 | 二 |\n\n```\ncode_line()\n```");

} // namespace

class TstComforts : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QFile::remove(settingsfile::path());
        QFile::remove(appDataFilePath(Drafts::fileNameFor("u1")));
    }

    // Values that are malformed, out of range or of another type read as the defaults.
    void settingsAreCheckedOnReading()
    {
        writeSettings("[transcript]\nzoom=banana\n[network]\nproxy=ftp\nhost=proxy.example\n"
                      "port=99999\n[windows]\nlogin=1 2\nloginMaximized=perhaps\n");
        QCOMPARE(Api().proxySettings(), ProxySettings());
        {
            Workspace ws;
            QVERIFY(ws.open());
            QCOMPARE(ws.probe().transcript()->zoom(), 100);
        }
        writeSettings("[transcript]\nzoom=151\n[network]\nproxy=http\nhost=proxy.example\n"
                      "port=99999\n");
        QCOMPARE(Api().proxySettings(), ProxySettings()); // a port no proxy has
        {
            Workspace ws;
            QVERIFY(ws.open());
            QCOMPARE(ws.probe().transcript()->zoom(), 100); // not one of the steps
        }
        writeSettings("[transcript]\nzoom=\"a, b\"\n[network]\nproxy=socks5\nhost=\"bad host\"\n"
                      "port=1080\n");
        QCOMPARE(Api().proxySettings(), ProxySettings());

        writeSettings("[transcript]\nzoom=150\n[network]\nproxy=socks5\nhost=proxy.example\n"
                      "port=1080\n");
        const ProxySettings read = Api().proxySettings();
        QCOMPARE(read.mode, ProxySettings::Mode::Socks5);
        QCOMPARE(read.host, QString("proxy.example"));
        QCOMPARE(read.port, 1080);
        Workspace ws;
        QVERIFY(ws.open());
        QCOMPARE(ws.probe().transcript()->zoom(), 150);

        LoginWindow login(ws.api.get(), [](QJsonObject) {});
        showInRememberedPlace(&login, "login"); // "1 2" is no place: shown as it is
        QCOMPARE(login.size(), QSize(900, LoginWindow::initialHeight));
    }

    // Everything in the pane scales together: turn headers, text, Markdown headings, tables
    // and code. Back at 100% the pane is pixel for pixel as it was before any zoom.
    void zoomScalesTheWholeTranscript()
    {
        Workspace ws;
        QVERIFY(ws.open());
        QVERIFY(showActive(ws.window.get()));
        ChatWindowProbe probe = ws.probe();
        MarkdownView* pane = probe.transcript();
        probe.messages() =
            QJsonArray{QJsonObject{{"role", "user"}, {"content", "用户的话"}},
                       QJsonObject{{"role", "assistant"}, {"content", markdownReply}}};
        probe.renderTranscript();
        const QStringList samples{"用户的话", "KestruneAI", "大标题",
                                  "正文一段", "格子",       "code_line"};
        QList<qreal> before;
        for (const QString& sample : samples)
            before << lineHeightAt(pane->document(), sample);
        const QImage original = pane->grab().toImage();

        for (int step = 0; step < 6; ++step) // 110, 125, 150, 175, 200, and no further
            QTest::keyClick(ws.window.get(), Qt::Key_Equal, Qt::ControlModifier);
        QCOMPARE(pane->zoom(), 200);
        for (qsizetype i = 0; i < samples.size(); ++i) {
            const qreal ratio = lineHeightAt(pane->document(), samples.at(i)) / before.at(i);
            QVERIFY2(ratio > 1.7 && ratio < 2.3,
                     qPrintable(QStringLiteral("%1: %2").arg(samples.at(i)).arg(ratio)));
        }

        QTest::keyClick(ws.window.get(), Qt::Key_0, Qt::ControlModifier);
        QCOMPARE(pane->zoom(), 100);
        QCOMPARE(pane->grab().toImage(), original);

        QWheelEvent wheel(QPointF(50, 50), pane->viewport()->mapToGlobal(QPointF(50, 50)), QPoint(),
                          QPoint(0, 120), Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase,
                          false);
        QApplication::sendEvent(pane->viewport(), &wheel);
        QCOMPARE(pane->zoom(), 110);
        QTest::keyClick(ws.window.get(), Qt::Key_Minus, Qt::ControlModifier);
        QTest::keyClick(ws.window.get(), Qt::Key_Minus, Qt::ControlModifier);
        QCOMPARE(pane->zoom(), 90);
        // The pane's own font stays: only the document is drawn larger or smaller.
        QCOMPARE(pane->font(), ws.probe().chatInput()->font());

        ws.window.reset();
        Workspace again;
        QVERIFY(again.open());
        QCOMPARE(again.probe().transcript()->zoom(), 90);
    }

    // A reply streaming in is drawn at the new size with the rest, and goes on streaming.
    void zoomWhileAReplyStreams()
    {
        Workspace ws;
        QVERIFY(ws.open());
        QVERIFY(showActive(ws.window.get()));
        ws.streams << replyStream({sse("delta", {{"text", "第一段"}}),
                                   sse("delta", {{"text", "第二段"}}),
                                   sse("done", {{"content", "第一段第二段"}, {"points", 90}})},
                                  400);
        QTextDocument* document = ws.probe().transcript()->document();
        QVERIFY(ws.send("问"));
        QVERIFY(QTest::qWaitFor([&] { return document->toPlainText().contains("第一段"); }));
        const qreal streamed = lineHeightAt(document, "第一段");
        QTest::keyClick(ws.window.get(), Qt::Key_Equal, Qt::ControlModifier); // 110
        QTest::keyClick(ws.window.get(), Qt::Key_Equal, Qt::ControlModifier); // 125
        QTest::keyClick(ws.window.get(), Qt::Key_Equal, Qt::ControlModifier); // 150
        QVERIFY(document->toPlainText().contains("第一段"));
        QVERIFY(lineHeightAt(document, "第一段") / streamed > 1.35);
        QVERIFY(ws.settled());
        QVERIFY(document->toPlainText().trimmed().endsWith("第一段第二段"));
        QCOMPARE(document->toPlainText().count("KestruneAI"), 1);
    }

    // The composer's text follows its conversation: cloud, private and new, across a restart;
    // sending clears it and deleting the conversation drops it. Nothing of it is written in
    // plain text.
    void draftsFollowTheirConversations()
    {
        auto ws = std::make_unique<Workspace>();
        QVERIFY(ws->open());
        QTextEdit* input = ws->probe().chatInput();
        input->setPlainText("新对话的草稿");
        QVERIFY(ws->openCloud(0));
        QCOMPARE(input->toPlainText(), QString());
        input->setPlainText("甲的草稿");
        QVERIFY(ws->openCloud(1));
        QCOMPARE(input->toPlainText(), QString());
        input->setPlainText("乙的草稿");
        ws->probe().createPrivateThread();
        const QString privateId = ws->probe().privateId();
        QVERIFY(!privateId.isEmpty());
        QCOMPARE(input->toPlainText(), QString());
        input->setPlainText("隐私草稿");
        QVERIFY(ws->openCloud(0));
        QCOMPARE(input->toPlainText(), QString("甲的草稿"));
        ws->probe().startNewConversation();
        QCOMPARE(input->toPlainText(), QString("新对话的草稿"));
        input->setPlainText("新对话的草稿，改过");

        // Quitting (or signing out) with the text unsaved: it is there at the next start.
        ws->window.reset();
        const QByteArray sealed = fileBytes(appDataFilePath(Drafts::fileNameFor("u1")));
        QVERIFY(!sealed.isEmpty());
        for (const char* text : {"甲的草稿", "隐私草稿", "新对话的草稿"})
            QVERIFY(!sealed.contains(QByteArray(text)));
        QVERIFY(ws->open());
        input = ws->probe().chatInput();
        QCOMPARE(input->toPlainText(), QString("新对话的草稿，改过"));
        ws->probe().openPrivateThread(privateId);
        QCOMPARE(input->toPlainText(), QString("隐私草稿"));

        // Sent: gone. Deleted: gone, with the conversation.
        ws->streams << replyStream({sse("done", {{"content", "答"}, {"points", 99}})}, 0);
        QVERIFY(ws->openCloud(1));
        QCOMPARE(input->toPlainText(), QString("乙的草稿"));
        QVERIFY(ws->send(input->toPlainText()));
        QVERIFY(ws->settled());
        input->setPlainText("乙的新草稿");
        answerNextQuestion(true);
        ws->probe().deleteCurrent(); // c2, with the draft typed after the send
        QVERIFY(ws->settled());
        QVERIFY(ws->openCloud(0));
        input->setPlainText("甲的草稿，改过");
        ws->probe().openPrivateThread(privateId);
        answerNextQuestion(true);
        ws->probe().deleteCurrent();
        QCOMPARE(input->toPlainText(), QString("新对话的草稿，改过"));

        ws->window.reset();
        Drafts kept("u1");
        QCOMPARE(kept.text("cloud:c2"), QString());
        QCOMPARE(kept.text("private:" + privateId), QString());
        QCOMPARE(kept.text("cloud:c1"), QString("甲的草稿，改过"));
        QCOMPARE(kept.text("new"), QString("新对话的草稿，改过"));
    }

    // A reply that ends while the window is in the background asks for attention, done or
    // failed; one that ends in front of the user does not.
    void nudgeOnlyFromTheBackground()
    {
        Workspace ws;
        QVERIFY(ws.open());
        QList<QWidget*> asked;
        ws.probe().askForAttention() = [&asked](QWidget* window) { asked << window; };
        QVERIFY(showActive(ws.window.get()));
        ws.streams << replyStream({sse("done", {{"content", "一"}, {"points", 99}})}, 0);
        QVERIFY(ws.send("前台"));
        QVERIFY(ws.settled());
        QVERIFY(asked.isEmpty());

        QWidget other;
        other.resize(200, 100);
        QVERIFY(showActive(&other));
        QVERIFY(!ws.window->isActiveWindow());
        ws.streams << replyStream({sse("done", {{"content", "二"}, {"points", 98}})}, 0);
        QVERIFY(ws.send("后台"));
        QVERIFY(ws.settled());
        QCOMPARE(asked, QList<QWidget*>{ws.window.get()});
        ws.streams << ScriptedReply::json(500, R"({"error":"出错了"})");
        QVERIFY(ws.send("后台失败"));
        QVERIFY(ws.settled());
        QCOMPARE(ws.probe().chatNotice()->text(), QString("出错了"));
        QCOMPARE(asked.size(), 2);
    }

    void placesFitTheScreensThereAreNow()
    {
        const QRect screen(0, 0, 1366, 720);
        const QList<QRect> screens{screen};
        // On the screen: kept.
        QCOMPARE(placeOnScreens(QRect(100, 80, 900, 560), screens, screen),
                 QRect(100, 80, 900, 560));
        // Partly off, larger than the screen (whose scale changed, say): shrunk and moved on.
        QCOMPARE(placeOnScreens(QRect(1000, 50, 1600, 900), screens, screen),
                 QRect(0, 0, 1366, 720));
        QCOMPARE(placeOnScreens(QRect(850, 570, 900, 560), screens, screen),
                 QRect(466, 160, 900, 560));
        // On a second screen that is gone: the middle of the one there is.
        QCOMPARE(placeOnScreens(QRect(2000, 100, 800, 600), screens, screen),
                 QRect(283, 60, 800, 600));
        // Its title bar above the screen's top: moved down.
        QCOMPARE(placeOnScreens(QRect(100, -300, 800, 600), screens, screen),
                 QRect(100, 0, 800, 600));
        // Hardly anything of it on the screen: the middle.
        QCOMPARE(placeOnScreens(QRect(1300, 700, 800, 600), screens, screen),
                 QRect(283, 60, 800, 600));
        // Two screens side by side: the right one still counts.
        QCOMPARE(placeOnScreens(QRect(1500, 100, 800, 600), {screen, QRect(1366, 0, 1920, 1040)},
                                screen),
                 QRect(1500, 100, 800, 600));
        // Across both: onto the one that shows more of it.
        QCOMPARE(placeOnScreens(QRect(1000, 100, 800, 600), {screen, QRect(1366, 0, 1920, 1040)},
                                screen),
                 QRect(1366, 100, 800, 600));
    }

    // The real windows: where they hid, they come back; maximised stays maximised; a place on
    // a screen that is gone comes onto this one.
    void windowsComeBackWhereTheyWere()
    {
        Api api;
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        {
            LoginWindow login(&api, [](QJsonObject) {});
            showInRememberedPlace(&login, "login");
            login.setGeometry(QRect(available.topLeft() + QPoint(20, 15), QSize(760, 570)));
            QTRY_COMPARE(login.geometry().size(), QSize(760, 570));
            login.hide();
        }
        {
            LoginWindow login(&api, [](QJsonObject) {});
            showInRememberedPlace(&login, "login");
            QCOMPARE(login.geometry(),
                     QRect(available.topLeft() + QPoint(20, 15), QSize(760, 570)));
            login.showMaximized();
            QTRY_VERIFY(login.isMaximized());
            login.close();
        }
        {
            LoginWindow login(&api, [](QJsonObject) {});
            showInRememberedPlace(&login, "login");
            QTRY_VERIFY(login.isMaximized());
            login.showNormal();
            QTRY_VERIFY(!login.isMaximized());
            login.hide();
        }
        settingsfile::write("windows/login", "9000 9000 760 570");
        LoginWindow login(&api, [](QJsonObject) {});
        showInRememberedPlace(&login, "login");
        QVERIFY(available.contains(login.geometry()));
        QCOMPARE(login.size(), QSize(760, 570));
    }

    // The Return that commits a composition never sends, and a send never loses a
    // composition still in progress.
    void compositionsAreTheInputMethods()
    {
        Workspace ws;
        QVERIFY(ws.open());
        QVERIFY(showActive(ws.window.get()));
        QTextEdit* input = ws.probe().chatInput();
        input->setFocus();
        QTRY_VERIFY(input->hasFocus());
        input->setPlainText("已经写好的，");
        input->moveCursor(QTextCursor::End);
        compose(input, "nihao");
        QCOMPARE(preedit(input), QString("nihao"));

        QTest::keyClick(input, Qt::Key_Return, Qt::ControlModifier);
        QTest::keyClick(input, Qt::Key_Return);
        QTest::keyClick(input, Qt::Key_Enter);
        ws.probe().sendButton()->click();
        QVERIFY(!ws.probe().busy());
        QCOMPARE(input->toPlainText(), QString("已经写好的，"));
        QCOMPARE(preedit(input), QString("nihao"));
        QVERIFY(input->hasFocus());

        compose(input, QString(), "你好"); // committed
        QCOMPARE(input->toPlainText(), QString("已经写好的，你好"));
        ws.streams << replyStream({sse("done", {{"content", "答"}, {"points", 99}})}, 0);
        QTest::keyClick(input, Qt::Key_Return, Qt::ControlModifier);
        QVERIFY(ws.probe().busy());
        QVERIFY(ws.settled());
        QCOMPARE(ws.probe().messages().first().toObject().value("content").toString(),
                 QString("已经写好的，你好"));

        // The sign-in window's Return signs in, but not while composing.
        ScriptedServer server;
        Api api;
        api.baseUrl = QUrl(server.origin());
        LoginWindow login(&api, [](QJsonObject) {});
        LoginWindowProbe probe(&login);
        QVERIFY(showActive(&login));
        probe.loginEdit()->setText("mei");
        probe.passwordEdit()->setFocus();
        QTRY_VERIFY(probe.passwordEdit()->hasFocus());
        compose(probe.passwordEdit(), "mi");
        QTest::keyClick(probe.passwordEdit(), Qt::Key_Return);
        QCOMPARE(probe.statusLabel()->text(), QString());
        compose(probe.passwordEdit(), QString(), "密");
        QTest::keyClick(probe.passwordEdit(), Qt::Key_Return);
        QCOMPARE(probe.statusLabel()->text(), QStringLiteral("正在登录…"));
        QVERIFY(server.waitForRequests(1));
    }

    // Ctrl+, and the context menu open "网络设置"; bad values are refused in the dialog; a
    // good proxy is used at once and kept with its password sealed, never in the settings.
    void networkDialogChecksAndSeals()
    {
        Api api;
        LoginWindow login(&api, [](QJsonObject) {});
        QVERIFY(showActive(&login));
        QStringList problems;
        bool seen = false;
        answerNextModal([&](QWidget* widget) {
            auto* dialog = qobject_cast<QDialog*>(widget);
            QVERIFY(dialog);
            seen = dialog->windowTitle() == QStringLiteral("网络设置");
            auto* modes = dialog->findChild<QButtonGroup*>();
            QCOMPARE(modes->checkedId(), int(ProxySettings::Mode::System));
            modes->button(int(ProxySettings::Mode::Http))->click();
            auto* kind = dialog->findChild<QComboBox*>("proxyKind");
            auto* host = dialog->findChild<QLineEdit*>("proxyHost");
            auto* port = dialog->findChild<QLineEdit*>("proxyPort");
            auto* problem = dialog->findChild<QLabel*>("proxyProblem");
            const auto tryWith = [&](const QString& h, const QString& p) {
                host->setText(h);
                port->setText(p);
                dialog->accept();
                problems << (problem->isVisible() ? problem->text() : QString());
            };
            tryWith("", "8080");
            tryWith("http://proxy.example", "8080");
            tryWith("proxy.example", "80x");
            tryWith("proxy.example", "70000");
            kind->setCurrentIndex(1);
            dialog->findChild<QLineEdit*>("proxyUser")->setText("王五");
            dialog->findChild<QLineEdit*>("proxyPassword")->setText("口令 secret");
            tryWith("proxy.example", "1080");
        });
        QTest::keyClick(&login, Qt::Key_Comma, Qt::ControlModifier);
        QTRY_VERIFY(seen);
        QCOMPARE(problems.size(), 5);
        QCOMPARE(problems.at(0), QStringLiteral("请填写代理服务器地址。"));
        QVERIFY(problems.at(1).contains(QStringLiteral("地址无效")));
        QVERIFY(problems.at(2).contains(QStringLiteral("端口")));
        QVERIFY(problems.at(3).contains(QStringLiteral("端口")));
        QCOMPARE(problems.at(4), QString());

        ProxySettings expected;
        expected.mode = ProxySettings::Mode::Socks5;
        expected.host = "proxy.example";
        expected.port = 1080;
        expected.user = QStringLiteral("王五");
        expected.password = QStringLiteral("口令 secret");
        QCOMPARE(api.proxySettings(), expected);
        QCOMPARE(Api().proxySettings(), expected);
        QVERIFY(!fileBytes(settingsfile::path()).contains("secret"));
        QVERIFY(!fileBytes(appDataFilePath(proxyPasswordFileName)).contains("secret"));
        QCOMPARE(readSealedFile(proxyPasswordFileName), QStringLiteral("口令 secret").toUtf8());

        // The context menu on the window, and back to the system's settings: the password
        // goes from the disk.
        answerNextMenu([](QMenu* menu) {
            QCOMPARE(actionTexts(menu), QStringList{"网络设置…"});
            answerNextModal([](QWidget* widget) {
                widget->findChild<QButtonGroup*>()
                    ->button(int(ProxySettings::Mode::System))
                    ->click();
                static_cast<QDialog*>(widget)->accept();
            });
            trigger(menu, "网络设置…");
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20),
                                login.mapToGlobal(QPoint(20, 20)));
        QApplication::sendEvent(&login, &event);
        QTRY_COMPARE(api.proxySettings(), ProxySettings());
        QVERIFY(!QFile::exists(appDataFilePath(proxyPasswordFileName)));
    }
};

KESTRUNE_TEST_MAIN(TstComforts)
#include "tst_comforts.moc"
