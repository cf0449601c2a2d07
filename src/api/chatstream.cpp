#include "api/api.h"

#include "api/eventstream.h"
#include "api/flatjson.h"
#include "api/replyjudgement.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

namespace
{

// Shared by the read and end handlers of one stream; lives until the reply is deleted.
struct State {
    QByteArray buffer;
    bool finished = false;   // a "done" or "error" event has been dispatched
    bool overflowed = false; // an unfinished block outgrew maxPendingBlock
};

// Far above any real event (a finished reply's "done" carries its whole text), so only a
// stream that never ends its block gets here: it would otherwise grow without bound.
constexpr qsizetype maxPendingBlock = 8 * 1024 * 1024;

const QString brokenStream = QStringLiteral("回复连接中断，请重试");

} // namespace

void Api::streamChat(const QJsonObject& body, std::function<void(QString)> onDelta,
                     std::function<void(QJsonObject)> onDone, std::function<void(QString)> onError)
{
    QNetworkRequest request(baseUrl.resolved(QUrl(QStringLiteral("/api/chat/stream"))));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept", "text/event-stream");
    // Sent even without a token, so the service answers with its own authorisation error.
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    // An inactivity limit: a reply that keeps sending is never cut off by it.
    request.setTransferTimeout(transferTimeoutMs);

    QNetworkReply* reply =
        network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
    auto state = std::make_shared<State>();

    auto readHandler = [reply, state, onDelta, onDone, onError = onError] {
        // An aborted reply (time-out) is closed: reading it would only draw a warning.
        const QByteArray incoming = reply->isOpen() ? reply->readAll() : QByteArray();
        // Every event of this read is taken before any handler runs.
        const QList<ReplyEvent> events = takeReplyEvents(state->buffer, incoming);
        for (const ReplyEvent& event : events) {
            switch (event.kind) {
            case ReplyEvent::Kind::Delta:
                onDelta(event.text);
                break;
            case ReplyEvent::Kind::Done:
                state->finished = true;
                onDone(eventObject(event.data));
                break;
            case ReplyEvent::Kind::Error:
                state->finished = true;
                onError(event.text);
                break;
            }
        }
        if (state->buffer.size() > maxPendingBlock && !state->overflowed) {
            state->overflowed = true;
            state->buffer.clear();
            reply->abort(); // the end handler reports it, once
        }
    };
    connect(reply, &QNetworkReply::readyRead, this, readHandler);

    connect(reply, &QNetworkReply::finished, this,
            [this, reply, state, readHandler, onError = std::move(onError)] {
                readHandler();
                if (state->overflowed && !state->finished) {
                    onError(brokenStream);
                } else if (!state->finished) {
                    // A plain JSON error reply holds no blank line, so it is still here whole.
                    const QJsonValue serviceError = jsonObjectOf(state->buffer).value("error");
                    const QString fallback = reply->error() != QNetworkReply::NoError
                                                 ? failureText(reply)
                                                 : brokenStream;
                    onError(serviceError.isString() ? serviceError.toString() : fallback);
                }
                reply->deleteLater();
            });
}
