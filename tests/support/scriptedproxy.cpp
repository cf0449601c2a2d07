#include "scriptedproxy.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QUrl>

// Owned by its socket, which the proxy's server owns until the connection ends: nothing of a
// connection outlives the proxy.
struct ScriptedProxy::Client : QObject {
    explicit Client(QTcpSocket* socket) : QObject(socket), socket(socket) {}

    QPointer<QTcpSocket> socket;
    QPointer<QTcpSocket> target;
    QByteArray buffer;
    enum class Stage { Greeting, Login, Request, Piping } stage = Stage::Greeting;
};

ScriptedProxy::ScriptedProxy(Kind kind, quint16 targetPort, QString user, QString password)
    : kind(kind), targetPort(targetPort), user(std::move(user)), password(std::move(password))
{
    connect(&server, &QTcpServer::newConnection, this, [this] { accept(); });
    server.listen(QHostAddress::LocalHost);
}

ScriptedProxy::~ScriptedProxy() = default;

void ScriptedProxy::accept()
{
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        auto* client = new Client(socket);
        client->stage = kind == Kind::Http ? Client::Stage::Request : Client::Stage::Greeting;
        connect(socket, &QTcpSocket::readyRead, this, [this, client] {
            client->buffer += client->socket->readAll();
            if (client->stage == Client::Stage::Piping) {
                if (client->target && client->target->state() == QAbstractSocket::ConnectedState) {
                    client->target->write(client->buffer);
                    client->buffer.clear();
                }
                return;
            }
            if (kind == Kind::Http)
                readHttp(client);
            else
                readSocks(client);
        });
        connect(socket, &QTcpSocket::disconnected, this, [client] {
            if (client->target) {
                client->target->disconnect(); // no handler may reach the client after this
                client->target->abort();
            }
            client->socket->deleteLater(); // and the client with it
        });
    }
}

void ScriptedProxy::readHttp(Client* client)
{
    const qsizetype headEnd = client->buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    const QByteArray head = client->buffer.left(headEnd);
    QByteArray rest = client->buffer.mid(headEnd + 4);
    client->buffer.clear();
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3) {
        client->socket->disconnectFromHost();
        return;
    }
    if (!user.isEmpty()) {
        const QByteArray expected =
            "basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64();
        bool authorised = false;
        for (const QByteArray& line : lines) {
            const QByteArray trimmed = line.trimmed();
            if (trimmed.toLower().startsWith("proxy-authorization:"))
                authorised = trimmed.mid(20).trimmed().toLower() == expected.toLower();
        }
        if (!authorised) {
            ++credentialsRefused;
            client->socket->write("HTTP/1.1 407 Proxy Authentication Required\r\n"
                                  "Proxy-Authenticate: Basic realm=\"scripted\"\r\n"
                                  "Content-Length: 0\r\nConnection: close\r\n\r\n");
            client->socket->disconnectFromHost();
            return;
        }
    }
    if (requestLine.at(0) == "CONNECT") {
        connectTarget(client, QString::fromLatin1(requestLine.at(1)), rest,
                      "HTTP/1.1 200 Connection established\r\n\r\n");
        return;
    }
    // A plain request in absolute form: sent on in origin form.
    ++forwardedRequests;
    const QUrl url(QString::fromLatin1(requestLine.at(1)));
    QByteArray forwarded = requestLine.at(0) + ' ' + url.path(QUrl::FullyEncoded).toLatin1();
    if (url.hasQuery())
        forwarded += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    forwarded += ' ' + requestLine.at(2) + "\r\n";
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (!line.toLower().startsWith("proxy-"))
            forwarded += line + "\r\n";
    }
    forwarded += "\r\n" + rest;
    connectTarget(client, QStringLiteral("%1:%2").arg(url.host()).arg(url.port(80)), forwarded,
                  QByteArray());
}

void ScriptedProxy::readSocks(Client* client)
{
    QByteArray& in = client->buffer;
    const auto byte = [&in](qsizetype at) { return quint8(in.at(at)); };
    if (client->stage == Client::Stage::Greeting) {
        if (in.size() < 2 || in.size() < 2 + byte(1))
            return;
        const QByteArray methods = in.mid(2, byte(1));
        in.remove(0, 2 + byte(1));
        const char wanted = user.isEmpty() ? '\x00' : '\x02';
        if (!methods.contains(wanted)) {
            ++credentialsRefused;
            client->socket->write(QByteArray("\x05\xff", 2));
            client->socket->disconnectFromHost();
            return;
        }
        client->socket->write(QByteArray("\x05", 1) + wanted);
        client->stage = user.isEmpty() ? Client::Stage::Request : Client::Stage::Login;
    }
    if (client->stage == Client::Stage::Login) {
        if (in.size() < 2 || in.size() < 3 + byte(1) || in.size() < 3 + byte(1) + byte(2 + byte(1)))
            return;
        const qsizetype nameLength = byte(1);
        const QString name = QString::fromUtf8(in.mid(2, nameLength));
        const qsizetype secretLength = byte(2 + nameLength);
        const QString secret = QString::fromUtf8(in.mid(3 + nameLength, secretLength));
        in.remove(0, 3 + nameLength + secretLength);
        if (name != user || secret != password) {
            ++credentialsRefused;
            client->socket->write(QByteArray("\x01\x01", 2));
            client->socket->disconnectFromHost();
            return;
        }
        client->socket->write(QByteArray("\x01\x00", 2));
        client->stage = Client::Stage::Request;
    }
    if (client->stage == Client::Stage::Request) {
        if (in.size() < 5)
            return;
        QString host;
        qsizetype at = 4;
        if (byte(3) == 1) {
            if (in.size() < 10)
                return;
            host = QHostAddress(quint32(byte(4)) << 24 | byte(5) << 16 | byte(6) << 8 | byte(7))
                       .toString();
            at = 8;
        } else if (byte(3) == 3) {
            if (in.size() < 5 + byte(4) + 2)
                return;
            host = QString::fromLatin1(in.mid(5, byte(4)));
            at = 5 + byte(4);
        } else {
            client->socket->disconnectFromHost();
            return;
        }
        const int port = byte(at) << 8 | byte(at + 1);
        const QByteArray rest = in.mid(at + 2);
        in.clear();
        connectTarget(client, QStringLiteral("%1:%2").arg(host).arg(port), rest,
                      QByteArray("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10));
    }
}

void ScriptedProxy::connectTarget(Client* client, const QString& named,
                                  const QByteArray& firstBytes, const QByteArray& answer)
{
    opened.append(named);
    client->stage = Client::Stage::Piping;
    auto* target = new QTcpSocket(client->socket);
    client->target = target;
    client->buffer = firstBytes;
    QPointer<QTcpSocket> socket = client->socket;
    connect(target, &QTcpSocket::connected, this, [socket, target, answer, client] {
        if (!socket)
            return;
        socket->write(answer);
        target->write(client->buffer);
        client->buffer.clear();
    });
    connect(target, &QTcpSocket::readyRead, this, [socket, target] {
        if (socket)
            socket->write(target->readAll());
    });
    connect(target, &QTcpSocket::disconnected, this, [socket] {
        if (socket)
            socket->disconnectFromHost();
    });
    target->connectToHost(QHostAddress::LocalHost, targetPort);
}
