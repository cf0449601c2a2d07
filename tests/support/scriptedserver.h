#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

// One request as the scripted server received it.
struct RecordedRequest {
    QByteArray method;
    QByteArray path;                      // with query, as on the request line
    QMap<QByteArray, QByteArray> headers; // names lower-cased
    QByteArray body;

    QByteArray header(const QByteArray& name) const { return headers.value(name.toLower()); }
};

// What the server answers to one request: raw bytes, sent as they are.
struct ScriptedReply {
    enum class Ending {
        Close,    // close the connection cleanly after the last byte
        Abort,    // reset the connection after the last byte
        HoldOpen, // keep the connection open and silent
    };

    QByteArray bytes;
    QList<int> splitAt; // byte positions where the bytes are cut into separate writes
    int pauseMs = 0;    // pause before each piece after the first
    int cutAfter = -1;  // send only this many bytes (-1: all)
    Ending ending = Ending::Close;

    // A complete HTTP/1.1 response with Content-Length and "Connection: close".
    static ScriptedReply http(int status, const QByteArray& body,
                              const QByteArray& contentType = "application/json",
                              const QList<QByteArray>& extraHeaders = {});
    static ScriptedReply json(int status, const QByteArray& jsonText);
    // A streaming response head (no Content-Length) followed by `body`; the end of the
    // body is the end of the connection.
    static ScriptedReply eventStream(const QByteArray& body, int status = 200,
                                     const QByteArray& contentType = "text/event-stream");
};

// A loopback HTTP server for tests: records every request and plays back scripted replies,
// whole, in pieces, with pauses, cut off early or held open.
class ScriptedServer : public QObject
{
public:
    using Handler = std::function<ScriptedReply(const RecordedRequest&)>;

    ScriptedServer();
    ~ScriptedServer() override;

    quint16 port() const;
    QString origin() const; // "http://127.0.0.1:<port>"

    // Replies are used in request order; when none is queued the handler answers,
    // and without a handler a 404 JSON error.
    void enqueue(const ScriptedReply& reply);
    void setHandler(Handler handler);
    // Holds back every reply until release() is called, to test late completions.
    void holdReplies(bool hold);
    void release();
    // Sends the held replies to requests for `path` only, in the order they came; the others
    // stay held. Requests on separate connections may arrive in either order.
    void release(const QByteArray& path);

    const QList<RecordedRequest>& requests() const { return received; }
    int requestCount() const { return int(received.size()); }
    bool waitForRequests(int count, int timeoutMs = 5000);

private:
    struct Connection;
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const RecordedRequest& request);
    void play(QTcpSocket* socket, const ScriptedReply& reply);

    QTcpServer server;
    QList<RecordedRequest> received;
    QList<ScriptedReply> queue;
    Handler handler;
    bool holding = false;
    QList<std::pair<QByteArray, std::function<void()>>> held; // request path, answer
    QMap<QTcpSocket*, QByteArray> pending;
};
