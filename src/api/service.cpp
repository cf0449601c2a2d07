#include "api/service.h"

#include "api/api.h"

#include <QUrl>

namespace service
{

namespace
{

const QString conversationsPath = QStringLiteral("/api/conversations");

QString conversationPath(const QString& id)
{
    return conversationsPath + QLatin1Char('/') + id;
}

// The reply's body to `onReply`, or its error text to `onFailure`.
void call(Api& api, const QByteArray& method, const QString& path, const QJsonObject& body,
          std::function<void(const QJsonObject&)> onReply, Failure onFailure)
{
    api.request(method, path, body,
                [onReply = std::move(onReply), onFailure = std::move(onFailure)](
                    bool ok, const QJsonObject& reply, const QString& error) {
                    if (ok)
                        onReply(reply);
                    else if (onFailure)
                        onFailure(error);
                });
}

} // namespace

void signIn(Api& api, const QString& login, const QString& password,
            std::function<void(const QString&, const QJsonObject&)> onSignedIn, Failure onFailure)
{
    call(
        api, "POST", QStringLiteral("/api/auth/login"),
        QJsonObject{{"login", login}, {"password", password}},
        [onSignedIn = std::move(onSignedIn)](const QJsonObject& reply) {
            onSignedIn(reply.value("token").toString(), reply.value("user").toObject());
        },
        std::move(onFailure));
}

void startRegistration(Api& api, const QString& username, const QString& email,
                       const QString& password, std::function<void(const QString&)> onSent,
                       Failure onFailure)
{
    call(
        api, "POST", QStringLiteral("/api/auth/register"),
        QJsonObject{{"username", username}, {"email", email}, {"password", password}},
        [onSent = std::move(onSent)](const QJsonObject& reply) {
            onSent(reply.value("pending_id").toString());
        },
        std::move(onFailure));
}

void verifyRegistration(Api& api, const QString& pendingId, const QString& code,
                        std::function<void(bool)> onAnswer, Failure onFailure)
{
    call(
        api, "POST", QStringLiteral("/api/auth/verify"),
        QJsonObject{{"pending_id", pendingId}, {"code", code}},
        [onAnswer = std::move(onAnswer)](const QJsonObject& reply) {
            onAnswer(reply.value("verified").toBool());
        },
        std::move(onFailure));
}

void fetchCurrentUser(Api& api, std::function<void(const QJsonObject&)> onUser, Failure onFailure)
{
    call(
        api, "GET", QStringLiteral("/api/me"), {},
        [onUser = std::move(onUser)](const QJsonObject& reply) {
            onUser(reply.value("user").toObject());
        },
        std::move(onFailure));
}

void signOut(Api& api)
{
    call(api, "POST", QStringLiteral("/api/auth/logout"), {}, [](const QJsonObject&) {}, {});
}

void listModels(Api& api, std::function<void(const QList<ModelOffer>&)> onModels, Failure onFailure)
{
    call(
        api, "GET", QStringLiteral("/api/models"), {},
        [onModels = std::move(onModels)](const QJsonObject& reply) {
            QList<ModelOffer> models;
            for (const QJsonValue& value : reply.value("models").toArray()) {
                const QJsonObject model = value.toObject();
                models.append({model.value("id").toString(), model.value("display_name").toString(),
                               model.value("points_per_100").toInt()});
            }
            onModels(models);
        },
        std::move(onFailure));
}

void listConversations(Api& api, std::function<void(const QList<ConversationEntry>&)> onList,
                       Failure onFailure)
{
    call(
        api, "GET", conversationsPath, {},
        [onList = std::move(onList)](const QJsonObject& reply) {
            QList<ConversationEntry> entries;
            for (const QJsonValue& value : reply.value("conversations").toArray()) {
                const QJsonObject conversation = value.toObject();
                entries.append(
                    {conversation.value("id").toString(), conversation.value("title").toString()});
            }
            onList(entries);
        },
        std::move(onFailure));
}

void fetchConversation(Api& api, const QString& id,
                       std::function<void(const CloudConversation&)> onFetched, Failure onFailure)
{
    call(
        api, "GET", conversationPath(id), {},
        [onFetched = std::move(onFetched)](const QJsonObject& reply) {
            const QJsonObject conversation = reply.value("conversation").toObject();
            onFetched({conversation.value("title").toString(),
                       conversation.value("model").toString(), reply.value("messages").toArray()});
        },
        std::move(onFailure));
}

void createConversation(Api& api, const QString& model,
                        std::function<void(const QString&)> onCreated, Failure onFailure)
{
    call(
        api, "POST", conversationsPath, QJsonObject{{"model", model}},
        [onCreated = std::move(onCreated)](const QJsonObject& reply) {
            onCreated(reply.value("conversation").toObject().value("id").toString());
        },
        std::move(onFailure));
}

void renameConversation(Api& api, const QString& id, const QString& title,
                        std::function<void(const QString&)> onRenamed, Failure onFailure)
{
    call(
        api, "PATCH", conversationPath(id), QJsonObject{{"title", title}},
        [onRenamed = std::move(onRenamed)](const QJsonObject& reply) {
            onRenamed(reply.value("title").toString());
        },
        std::move(onFailure));
}

void deleteConversation(Api& api, const QString& id, std::function<void()> onDeleted,
                        Failure onFailure)
{
    call(
        api, "DELETE", conversationPath(id), {},
        [onDeleted = std::move(onDeleted)](const QJsonObject&) { onDeleted(); },
        std::move(onFailure));
}

FinishedReply finishedReply(const QJsonObject& doneEvent)
{
    return {doneEvent.value("content").toString(), doneEvent.value("points").toInt(),
            doneEvent.value("charged").toInt(), doneEvent.value("truncated").toBool()};
}

QJsonObject cloudChatRequest(const QString& prompt, const QString& conversationId)
{
    return {{"prompt", prompt}, {"conversation_id", conversationId}};
}

QJsonObject privateChatRequest(const QString& prompt, const QString& model,
                               const QJsonArray& history)
{
    return {{"prompt", prompt},
            {"mode", QStringLiteral("private")},
            {"model", model},
            {"history", history}};
}

void searchTurns(Api& api, const QString& query, int limit,
                 std::function<void(const QList<FoundTurn>&, bool)> onFound, Failure onFailure)
{
    const QString path = QStringLiteral("/api/search?q=%1&limit=%2")
                             .arg(QString::fromLatin1(QUrl::toPercentEncoding(query)))
                             .arg(limit);
    api.request(
        "GET", path, QJsonObject(),
        StatusCallback([onFound = std::move(onFound), onFailure = std::move(onFailure)](
                           int status, bool ok, const QJsonObject& reply, const QString& error) {
            if (!ok) {
                if (status == 404)
                    onFound({}, false);
                else if (onFailure)
                    onFailure(error);
                return;
            }
            QList<FoundTurn> found;
            for (const QJsonValue& value : reply.value("results").toArray()) {
                const QJsonObject hit = value.toObject();
                FoundTurn turn{hit.value("conversation_id").toString(),
                               hit.value("title").toString(),
                               hit.value("role").toString() == QLatin1String("assistant"),
                               hit.value("snippet").toString(),
                               {},
                               qint64(hit.value("created_at").toDouble())};
                if (turn.conversationId.isEmpty())
                    continue;
                // Offsets come in code points; the snippet here counts UTF-16 units.
                const QList<uint> points = turn.snippet.toUcs4();
                const auto unitsBefore = [&points](qsizetype point) {
                    int units = 0;
                    for (qsizetype i = 0; i < point && i < points.size(); ++i)
                        units += QChar::requiresSurrogates(points.at(i)) ? 2 : 1;
                    return units;
                };
                for (const QJsonValue& match : hit.value("matches").toArray()) {
                    const qsizetype start = match.toArray().at(0).toInteger(-1);
                    const qsizetype length = match.toArray().at(1).toInteger(-1);
                    if (start < 0 || length <= 0 || start + length > points.size())
                        continue;
                    const int from = unitsBefore(start);
                    turn.marks.append({from, unitsBefore(start + length) - from});
                }
                found.append(turn);
            }
            onFound(found, true);
        }));
}

} // namespace service
