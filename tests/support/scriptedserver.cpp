#include "scriptedserver.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>

namespace
{

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

QByteArray statusLine(int status)
{
    return "HTTP/1.1 " + QByteArray::number(status) + " " + reasonPhrase(status) + "\r\n";
}

// Writes one piece per call and schedules itself for the next one.
struct Player {
    QPointer<QTcpSocket> socket;
    std::shared_ptr<QList<QByteArray>> pieces;
    int pauseMs;
    ScriptedReply::Ending ending;

    void operator()() const
    {
        if (!socket)
            return;
        if (!pieces->isEmpty()) {
            socket->write(pieces->takeFirst());
            socket->flush();
            QTimer::singleShot(pieces->isEmpty() ? 0 : pauseMs, socket.data(), *this);
            return;
        }
        switch (ending) {
        case ScriptedReply::Ending::Close:
            socket->disconnectFromHost();
            break;
        case ScriptedReply::Ending::Abort:
            socket->abort();
            break;
        case ScriptedReply::Ending::HoldOpen:
            break;
        }
    }
};

} // namespace

ScriptedReply ScriptedReply::http(int status, const QByteArray& body, const QByteArray& contentType,
                                  const QList<QByteArray>& extraHeaders)
{
    QByteArray bytes = statusLine(status);
    if (!contentType.isEmpty())
        bytes += "Content-Type: " + contentType + "\r\n";
    for (const QByteArray& header : extraHeaders)
        bytes += header + "\r\n";
    bytes += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    bytes += "Connection: close\r\n\r\n";
    bytes += body;
    ScriptedReply reply;
    reply.bytes = bytes;
    return reply;
}

ScriptedReply ScriptedReply::json(int status, const QByteArray& jsonText)
{
    return http(status, jsonText);
}

ScriptedReply ScriptedReply::eventStream(const QByteArray& body, int status,
                                         const QByteArray& contentType)
{
    ScriptedReply reply;
    reply.bytes = statusLine(status) + "Content-Type: " + contentType +
                  "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n" + body;
    return reply;
}

ScriptedServer::ScriptedServer()
{
    server.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0);
    connect(&server, &QTcpServer::newConnection, this, [this] { onNewConnection(); });
}

ScriptedServer::~ScriptedServer() = default;

quint16 ScriptedServer::port() const
{
    return server.serverPort();
}

QString ScriptedServer::origin() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void ScriptedServer::enqueue(const ScriptedReply& reply)
{
    queue.append(reply);
}

void ScriptedServer::setHandler(Handler h)
{
    handler = std::move(h);
}

void ScriptedServer::holdReplies(bool hold)
{
    holding = hold;
}

void ScriptedServer::release()
{
    holding = false;
    const auto work = std::exchange(held, {});
    for (const auto& job : work)
        job.second();
}

void ScriptedServer::release(const QByteArray& path)
{
    QList<std::function<void()>> due;
    for (auto it = held.begin(); it != held.end();) {
        if (it->first == path) {
            due.append(it->second);
            it = held.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& job : due)
        job();
}

bool ScriptedServer::waitForRequests(int count, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (requestCount() < count && timer.elapsed() < timeoutMs)
        QTest::qWait(5);
    return requestCount() >= count;
}

void ScriptedServer::onNewConnection()
{
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            pending.remove(socket);
            socket->deleteLater();
        });
    }
}

void ScriptedServer::onReadyRead(QTcpSocket* socket)
{
    QByteArray& buffer = pending[socket];
    buffer += socket->readAll();
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;

    RecordedRequest request;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.path = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
    }
    const qsizetype length = request.header("content-length").toLongLong();
    if (buffer.size() < headEnd + 4 + length)
        return;
    request.body = buffer.mid(headEnd + 4, length);
    buffer.remove(0, headEnd + 4 + length);
    received.append(request);

    if (holding) {
        QPointer<QTcpSocket> guarded(socket);
        held.append({request.path, [this, guarded, request] {
                         if (guarded)
                             answer(guarded, request);
                     }});
        return;
    }
    answer(socket, request);
}

void ScriptedServer::answer(QTcpSocket* socket, const RecordedRequest& request)
{
    ScriptedReply reply;
    if (!queue.isEmpty())
        reply = queue.takeFirst();
    else if (handler)
        reply = handler(request);
    else
        reply = ScriptedReply::json(404, R"({"error":"no scripted reply"})");
    play(socket, reply);
}

void ScriptedServer::play(QTcpSocket* socket, const ScriptedReply& reply)
{
    const QByteArray bytes = reply.cutAfter >= 0 ? reply.bytes.left(reply.cutAfter) : reply.bytes;
    auto pieces = std::make_shared<QList<QByteArray>>();
    int from = 0;
    for (int cut : reply.splitAt) {
        if (cut <= from || cut >= bytes.size())
            continue;
        pieces->append(bytes.mid(from, cut - from));
        from = cut;
    }
    pieces->append(bytes.mid(from));

    Player{QPointer<QTcpSocket>(socket), pieces, reply.pauseMs, reply.ending}();
}
