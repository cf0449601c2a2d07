#include "api/api.h"
#include "api/service.h"
#include "chat/chatwindow.h"
#include "chat/markdownview.h"
#include "chat/privatehistory.h"
#include "chat/replysummary.h"
#include "chat/transcriptturns.h"

#include "widgets/compositionguard.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QInputMethod>
#include <QLabel>
#include <QPointer>
#include <QTextCursor>
#include <QTextEdit>

#include <memory>
#include <utility>

void ChatWindow::submit()
{
    // A composition in progress is part of what the user means to send: the input method is
    // asked to finish it first, and while it has not, nothing is sent and nothing is lost.
    if (CompositionGuard::composing(chatInput)) {
        QGuiApplication::inputMethod()->commit();
        if (CompositionGuard::composing(chatInput))
            return;
    }
    const QString prompt = chatInput->toPlainText().trimmed();
    if (busy || prompt.isEmpty())
        return;
    if (modelSelect->currentIndex() < 0) {
        chatNotice->setText(QStringLiteral("管理员尚未开放聊天模型。"));
        return;
    }

    // The new prompt travels on its own; only confirmed turns go along as history.
    const QJsonArray history = isPrivate ? recentHistory(privateHistory) : QJsonArray();
    messages.append(QJsonObject{{"role", "user"}, {"content", prompt}});
    renderTranscript();
    chatInput->clear();
    drafts->remove(draftShownFor);
    drafts->save();
    setBusy(true);
    chatNotice->setText(QStringLiteral("正在连接模型，回复会逐字显示…"));

    if (isPrivate || !cloudId.isEmpty()) {
        startStream(prompt, history);
        return;
    }

    service::createConversation(
        *api, selectedModelId(), whileOpen([this, prompt, history](const QString& id) {
            cloudId = id;
            // What the user types meanwhile is this conversation's draft now.
            draftShownFor = draftKey();
            setBusy(true); // the model is fixed from now on
            startStream(prompt, history);
        }),
        whileOpen([this, prompt](const QString& error) { abortSend(prompt, error); }));
}

void ChatWindow::startStream(const QString& prompt, const QJsonArray& history)
{
    const QJsonObject body = isPrivate
                                 ? service::privateChatRequest(prompt, selectedModelId(), history)
                                 : service::cloudChatRequest(prompt, cloudId);

    // A service that sent anything after its final event must not add a second reply, or
    // draw into the conversation the user has opened since: the turn ends exactly once.
    auto turnEnded = std::make_shared<bool>(false);
    QPointer<ChatWindow> window(this);

    auto onDelta = [window, turnEnded](const QString& text) {
        if (!window || text.isEmpty() || *turnEnded)
            return;
        window->shownTurns->appendStreamed(text);
        window->chatNotice->setText(QStringLiteral("正在生成回复…"));
    };

    auto onDone = [window, turnEnded](const QJsonObject& doneEvent) {
        if (!window || std::exchange(*turnEnded, true))
            return;
        ChatWindow* w = window;
        const service::FinishedReply result = service::finishedReply(doneEvent);
        w->messages.append(QJsonObject{{"role", "assistant"}, {"content", result.content}});
        const bool recorded = w->isPrivate && w->recordTurnsInThread();
        if (w->isPrivate)
            w->privateHistory = w->messages;
        w->renderTranscript();
        w->setPoints(result.points);
        auto finish = [w, result](bool saved) {
            w->setBusy(false);
            w->nudgeIfInactive();
            w->chatNotice->setText(saved ? replySummary(result)
                                         : QStringLiteral("回复完成，但本机隐私对话保存失败。"));
        };
        if (!w->isPrivate) {
            if (w->fetchedCloud.contains(w->cloudId))
                w->rememberFetched(w->cloudId, w->chatTitle->text(), w->messages);
            finish(true);
            w->loadConversations();
        } else if (!recorded) {
            finish(false);
        } else {
            // The window stays busy until the store is on disk, so the notice can say
            // truthfully whether it was saved and no other change can overtake this save.
            w->savePrivateStoreInBackground(finish);
        }
    };

    auto onError = [window, turnEnded, prompt](const QString& message) {
        if (!window || std::exchange(*turnEnded, true))
            return;
        window->abortSend(prompt, message);
    };

    api->streamChat(body, onDelta, onDone, onError);
}

void ChatWindow::abortSend(const QString& prompt, const QString& message)
{
    if (!messages.isEmpty())
        messages.removeLast();
    renderTranscript();
    // The prompt comes back to be sent again, before anything typed while it was out.
    const QString typedSince = chatInput->toPlainText();
    chatInput->setPlainText(
        typedSince.trimmed().isEmpty() ? prompt : prompt + QLatin1Char('\n') + typedSince);
    chatInput->moveCursor(QTextCursor::End);
    setBusy(false);
    chatNotice->setText(message);
    nudgeIfInactive();
}

void ChatWindow::nudgeIfInactive()
{
    if (!isActiveWindow())
        askForAttention(this);
}
