// The client reaches the service through the proxy the user chose: signing in and a streamed
// reply pass through real HTTP CONNECT and SOCKS5 proxies on loopback sockets, with and
// without credentials; a proxy that refuses or wants a login is named in the error; loopback
// is always reached directly. The service's host is a name only the proxy "resolves", so a
// request that did not go through it fails.

#include "api/api.h"
#include "api/origin.h"
#include "chat/chatwindow.h"
#include "login/loginwindow.h"
#include "probes.h"
#include "scriptedproxy.h"
#include "scriptedserver.h"
#include "testenvironment.h"

#include <QApplication>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTextDocument>
#include <QtTest>

#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace
{

QByteArray sse(const QByteArray& name, const QJsonObject& data)
{
    return "event: " + name + "\ndata: " + QJsonDocument(data).toJson(QJsonDocument::Compact) +
           "\n\n";
}

// A service that signs "mei" in, offers one model and streams "你好，代理" in two pieces.
void answerAsService(ScriptedServer& server)
{
    server.setHandler([](const RecordedRequest& request) {
        if (request.path == "/api/auth/login")
            return ScriptedReply::json(
                200, R"({"token":"t-1","user":{"id":"u1","username":"mei","points":50}})");
        if (request.path == "/api/models")
            return ScriptedReply::json(
                200, R"({"models":[{"id":"m","display_name":"M","points_per_100":1}]})");
        if (request.path == "/api/conversations" && request.method == "GET")
            return ScriptedReply::json(200, R"({"conversations":[]})");
        if (request.path == "/api/conversations" && request.method == "POST")
            return ScriptedReply::json(201, R"({"conversation":{"id":"c1"}})");
        if (request.path == "/api/chat/stream") {
            ScriptedReply reply = ScriptedReply::eventStream(
                sse("delta", {{"text", "你好，"}}) + sse("delta", {{"text", "代理"}}) +
                sse("done", {{"content", "你好，代理"}, {"charged", 1}, {"points", 49}}));
            reply.splitAt << int(reply.bytes.size() / 2);
            reply.pauseMs = 20;
            return reply;
        }
        return ScriptedReply::json(404, R"({"error":"unexpected"})");
    });
}

// A port on loopback where nothing listens.
quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

ProxySettings manual(ProxySettings::Mode mode, quint16 port, const QString& user = {},
                     const QString& password = {})
{
    ProxySettings settings;
    settings.mode = mode;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = port;
    settings.user = user;
    settings.password = password;
    return settings;
}

// The sign-in window and then the workspace, driven as a user would, against `origin`.
struct Client {
    std::unique_ptr<Api> api = std::make_unique<Api>();
    std::unique_ptr<LoginWindow> login;
    std::unique_ptr<ChatWindow> workspace;
    QJsonObject user;

    Client(const QUrl& origin, const ProxySettings& proxy)
    {
        api->baseUrl = origin;
        api->useProxy(proxy);
        login = std::make_unique<LoginWindow>(api.get(), [this](QJsonObject u) { user = u; });
    }

    LoginWindowProbe probe() const { return LoginWindowProbe(login.get()); }

    // Signs in with the window's controls; the status line's text when that fails.
    QString signIn()
    {
        probe().loginEdit()->setText("mei");
        probe().passwordEdit()->setText("secret-password");
        probe().primaryButton()->click();
        const bool answered = QTest::qWaitFor([this] {
            return !user.isEmpty() || probe().statusLabel()->text() != QStringLiteral("正在登录…");
        });
        if (!answered)
            return QStringLiteral("(no answer)");
        return user.isEmpty() ? probe().statusLabel()->text() : QString();
    }

    // Opens the workspace and sends one prompt; the transcript once the reply has ended.
    QString streamOneReply()
    {
        workspace = std::make_unique<ChatWindow>(api.get(), user, [] {});
        ChatWindowProbe chat(workspace.get());
        if (!QTest::qWaitFor([&] { return chat.modelSelect()->count() == 1; }))
            return QStringLiteral("(no models)");
        chat.chatInput()->setPlainText(QStringLiteral("请问"));
        chat.submit();
        if (!QTest::qWaitFor([&] { return !chat.busy(); }, 10000))
            return QStringLiteral("(the reply never ended)");
        return chat.transcript()->document()->toPlainText().trimmed();
    }
};

// Names `proxy` ("host:port") as the system's proxy for every scheme, or none when empty.
void setSystemProxy(const QString& proxy)
{
#ifdef Q_OS_WIN
    // The connection settings blob the Internet settings keep: a header (version 0x46, a
    // counter, flags: 2 for "use a proxy"), then the proxy's text and the bypass list.
    QByteArray blob;
    const auto number = [&blob](quint32 value) {
        blob.append(reinterpret_cast<const char*>(&value), sizeof value);
    };
    number(0x46);
    number(0);
    number(proxy.isEmpty() ? 1 : 3);
    number(quint32(proxy.size()));
    blob.append(proxy.toLatin1());
    number(0);
    number(0);
    blob.append(QByteArray(28, '\0'));
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER,
                    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet "
                    L"Settings\\Connections",
                    0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                   reinterpret_cast<const BYTE*>(blob.constData()), DWORD(blob.size()));
    RegCloseKey(key);
#else
    if (proxy.isEmpty())
        qunsetenv("http_proxy");
    else
        qputenv("http_proxy", ("http://" + proxy).toUtf8());
#endif
}

const QUrl serviceByName(quint16 port)
{
    return QUrl(QStringLiteral("http://kestrune.test:%1").arg(port));
}

} // namespace

class TstProxy : public QObject
{
    Q_OBJECT

private slots:
    void signsInAndStreamsThroughEachProxy_data()
    {
        QTest::addColumn<ScriptedProxy::Kind>("kind");
        QTest::addColumn<QString>("user");
        QTest::newRow("HTTP CONNECT") << ScriptedProxy::Kind::Http << QString();
        QTest::newRow("HTTP CONNECT with a login") << ScriptedProxy::Kind::Http << "proxy-user";
        QTest::newRow("SOCKS5") << ScriptedProxy::Kind::Socks5 << QString();
        QTest::newRow("SOCKS5 with a login") << ScriptedProxy::Kind::Socks5 << "proxy-user";
    }

    void signsInAndStreamsThroughEachProxy()
    {
        QFETCH(ScriptedProxy::Kind, kind);
        QFETCH(QString, user);
        ScriptedServer server;
        answerAsService(server);
        const QString password = user.isEmpty() ? QString() : QStringLiteral("p@ss:word");
        ScriptedProxy proxy(kind, server.port(), user, password);
        const auto mode = kind == ScriptedProxy::Kind::Http ? ProxySettings::Mode::Http
                                                            : ProxySettings::Mode::Socks5;
        Client client(serviceByName(server.port()), manual(mode, proxy.port(), user, password));

        QCOMPARE(client.signIn(), QString());
        const QString transcript = client.streamOneReply();
        QVERIFY2(transcript.endsWith(QStringLiteral("你好，代理")), qPrintable(transcript));

        // Every request went through the proxy, to the name the client was given.
        const QString target = QStringLiteral("kestrune.test:%1").arg(server.port());
        QVERIFY(!proxy.opened.isEmpty());
        QCOMPARE(proxy.opened.count(target), proxy.opened.size());
        // An HTTP proxy tunnels, so that it cannot hold back or change a streamed reply.
        QCOMPARE(proxy.forwardedRequests, 0);
        QStringList paths;
        for (const RecordedRequest& request : server.requests())
            paths << QString::fromLatin1(request.path);
        QVERIFY(paths.contains("/api/auth/login"));
        QVERIFY(paths.contains("/api/chat/stream"));
        // The service never sees the proxy's credentials.
        for (const RecordedRequest& request : server.requests())
            QVERIFY(request.header("proxy-authorization").isEmpty());
    }

    // A proxy that wants a login the settings do not give, or refuses the one they give, and
    // one that is not there: the sign-in window says so, naming the proxy.
    void proxyFailuresAreNamed_data()
    {
        QTest::addColumn<ScriptedProxy::Kind>("kind");
        QTest::addColumn<QString>("givenUser");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QString>("expected");
        const QString login = QStringLiteral("要求登录");
        QTest::newRow("HTTP, no login") << ScriptedProxy::Kind::Http << QString() << true << login;
        QTest::newRow("HTTP, wrong login")
            << ScriptedProxy::Kind::Http << "someone" << true << login;
        QTest::newRow("SOCKS5, no login")
            << ScriptedProxy::Kind::Socks5 << QString() << true << login;
        QTest::newRow("SOCKS5, wrong login")
            << ScriptedProxy::Kind::Socks5 << "someone" << true << login;
        QTest::newRow("HTTP, nothing there")
            << ScriptedProxy::Kind::Http << QString() << false << QStringLiteral("连接");
        QTest::newRow("SOCKS5, nothing there")
            << ScriptedProxy::Kind::Socks5 << QString() << false << QStringLiteral("连接");
    }

    void proxyFailuresAreNamed()
    {
        QFETCH(ScriptedProxy::Kind, kind);
        QFETCH(QString, givenUser);
        QFETCH(bool, listening);
        QFETCH(QString, expected);
        ScriptedServer server;
        answerAsService(server);
        ScriptedProxy proxy(kind, server.port(), "proxy-user", "right");
        const quint16 port = listening ? proxy.port() : closedPort();
        const auto mode = kind == ScriptedProxy::Kind::Http ? ProxySettings::Mode::Http
                                                            : ProxySettings::Mode::Socks5;
        Client client(serviceByName(server.port()),
                      manual(mode, port, givenUser, givenUser.isEmpty() ? "" : "wrong"));

        const QString shown = client.signIn();
        QVERIFY2(shown.contains(expected), qPrintable(shown));
        QVERIFY2(shown.contains(QStringLiteral("127.0.0.1:%1").arg(port)), qPrintable(shown));
        QCOMPARE(server.requestCount(), 0);
        if (listening)
            QVERIFY(proxy.credentialsRefused > 0);
    }

    // Loopback is reached directly whatever the setting: the proxy's own 127.0.0.1 is not
    // this machine's. And the origin rule is the proxy's business no more than before: plain
    // HTTP only for 127.0.0.1.
    void loopbackGoesDirect()
    {
        ScriptedServer server;
        answerAsService(server);
        ScriptedProxy proxy(ScriptedProxy::Kind::Http, server.port());
        Client client(QUrl(server.origin()), manual(ProxySettings::Mode::Http, proxy.port()));
        QCOMPARE(client.signIn(), QString());
        QVERIFY(client.streamOneReply().endsWith(QStringLiteral("你好，代理")));
        QVERIFY(proxy.opened.isEmpty());

        QCOMPARE(chooseServiceOrigin("http://kestrune.test:8080"),
                 QUrl(QString::fromLatin1(defaultServiceOrigin)));
        QCOMPARE(chooseServiceOrigin("http://127.0.0.1:8080"), QUrl("http://127.0.0.1:8080"));
    }

    // "No proxy" goes direct even where the system names one; "follow the system" uses it.
    // The system's proxy is the environment's http_proxy off Windows, the user's Internet
    // settings on Windows. The toolkit reads those once: this test is the first to ask.
    void systemProxyIsFollowedByDefault()
    {
        ScriptedServer server;
        answerAsService(server);
        ScriptedProxy proxy(ScriptedProxy::Kind::Http, server.port());
        setSystemProxy(QStringLiteral("127.0.0.1:%1").arg(proxy.port()));
        // Set back however the test ends: the Wine prefix is shared by every test program.
        const std::unique_ptr<void, void (*)(void*)> restore(
            &proxy, [](void*) { setSystemProxy(QString()); });
        QCOMPARE(Api().proxySettings().mode, ProxySettings::Mode::System);

        ProxySettings none;
        none.mode = ProxySettings::Mode::None;
        Client direct(serviceByName(server.port()), none);
        QVERIFY(!direct.signIn().isEmpty()); // the made-up name resolves nowhere
        QVERIFY(proxy.opened.isEmpty());

        Client following(serviceByName(server.port()), ProxySettings());
        QCOMPARE(following.signIn(), QString());
        QVERIFY(following.streamOneReply().endsWith(QStringLiteral("你好，代理")));
        QVERIFY(proxy.opened.contains(QStringLiteral("kestrune.test:%1").arg(server.port())));

        // The list fetched again after the reply is the last request through it.
        QTRY_VERIFY(following.api->network.findChildren<QNetworkReply*>().isEmpty());
        const int before = int(proxy.opened.size());
        Client local(QUrl(server.origin()), ProxySettings());
        QCOMPARE(local.signIn(), QString());
        QCOMPARE(proxy.opened.size(), before);
    }
};

KESTRUNE_TEST_MAIN(TstProxy)
#include "tst_proxy.moc"
