#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>
#include <utility>

class Api;

// The service's operations as the windows use them: the one place that knows the endpoints,
// the request bodies and the keys of the replies. Each reports either its result or the error
// text to show; replies are read leniently (a missing key reads as empty).
namespace service
{

using Failure = std::function<void(const QString& error)>;

// --- accounts ---
void signIn(Api& api, const QString& login, const QString& password,
            std::function<void(const QString& token, const QJsonObject& user)> onSignedIn,
            Failure onFailure);
// Sends the six-digit code; reports the registration's pending id.
void startRegistration(Api& api, const QString& username, const QString& email,
                       const QString& password, std::function<void(const QString&)> onSent,
                       Failure onFailure);
void verifyRegistration(Api& api, const QString& pendingId, const QString& code,
                        std::function<void(bool verified)> onAnswer, Failure onFailure);
// The user record of the saved session's account.
void fetchCurrentUser(Api& api, std::function<void(const QJsonObject& user)> onUser,
                      Failure onFailure);
// Ends the session on the service; nothing waits for the answer.
void signOut(Api& api);

// --- models ---
struct ModelOffer {
    QString id;
    QString displayName;
    int pointsPer100 = 0;
};
void listModels(Api& api, std::function<void(const QList<ModelOffer>&)> onModels,
                Failure onFailure);

// --- cloud conversations ---
struct ConversationEntry {
    QString id;
    QString title;
};
void listConversations(Api& api, std::function<void(const QList<ConversationEntry>&)> onList,
                       Failure onFailure);

struct CloudConversation {
    QString title;
    QString model;
    QJsonArray messages;
};
void fetchConversation(Api& api, const QString& id,
                       std::function<void(const CloudConversation&)> onFetched, Failure onFailure);
// Reports the new conversation's id.
void createConversation(Api& api, const QString& model,
                        std::function<void(const QString&)> onCreated, Failure onFailure);
// Reports the title the service kept.
void renameConversation(Api& api, const QString& id, const QString& title,
                        std::function<void(const QString&)> onRenamed, Failure onFailure);
void deleteConversation(Api& api, const QString& id, std::function<void()> onDeleted,
                        Failure onFailure);

// --- search (a service may not offer it) ---
struct FoundTurn {
    QString conversationId;
    QString title;
    bool assistant = false;
    QString snippet;
    QList<std::pair<int, int>> marks; // start and length of each match, in UTF-16 units
    qint64 createdMs = 0;
};
// Reports the turns the service found, newest first; `offered` is false when the service has
// no search (it answered 404), and the list empty then.
void searchTurns(Api& api, const QString& query, int limit,
                 std::function<void(const QList<FoundTurn>&, bool offered)> onFound,
                 Failure onFailure);

// --- the reply stream ---
// What the final event of a reply says.
struct FinishedReply {
    QString content; // the whole reply
    int points = 0;  // the balance left
    int charged = 0;
    bool truncated = false; // cut short when the balance ran out
};
FinishedReply finishedReply(const QJsonObject& doneEvent);

QJsonObject cloudChatRequest(const QString& prompt, const QString& conversationId);
QJsonObject privateChatRequest(const QString& prompt, const QString& model,
                               const QJsonArray& history);

} // namespace service
