#pragma once

// Test access to the private state and operations of the two windows.

#include "chat/chatwindow.h"
#include "login/loginwindow.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTextEdit>

#include "chat/findbar.h"
#include "chat/markdownview.h"

class ChatWindowProbe
{
public:
    explicit ChatWindowProbe(ChatWindow* window) : w(window) {}

    QJsonObject& user() const { return w->user; }
    QLabel* accountLabel() const { return w->accountLabel; }
    QLabel* chatTitle() const { return w->chatTitle; }
    QLabel* modeBadge() const { return w->modeBadge; }
    QLabel* chatNotice() const { return w->chatNotice; }
    QListWidget* conversationList() const { return w->conversationList; }
    QListWidget* privateList() const { return w->privateList; }
    QComboBox* modelSelect() const { return w->modelSelect; }
    MarkdownView* transcript() const { return w->transcript; }
    FindBar* findBar() const { return w->findBar; }
    QTextEdit* chatInput() const { return w->chatInput; }
    QPushButton* sendButton() const { return w->sendButton; }
    QPushButton* newChatButton() const { return w->newChatButton; }
    QPushButton* privateChatButton() const { return w->privateChatButton; }
    QPushButton* renameButton() const { return w->renameButton; }
    QPushButton* deleteButton() const { return w->deleteButton; }

    QString& cloudId() const { return w->cloudId; }
    QString& privateId() const { return w->privateId; }
    bool& isPrivate() const { return w->isPrivate; }
    bool& busy() const { return w->busy; }
    bool& privateAvailable() const { return w->privateAvailable; }
    QJsonArray& messages() const { return w->messages; }
    QJsonArray& privateHistory() const { return w->privateHistory; }
    QJsonArray& threads() const { return w->threads; }

    void setBusy(bool b) const { w->setBusy(b); }
    void startNewConversation() const { w->startNewConversation(); }
    void loadConversations() const { w->loadConversations(); }
    void openConversation(QListWidgetItem* item) const { w->openConversation(item); }
    void renameCurrent() const { w->renameCurrent(); }
    void deleteCurrent() const { w->deleteCurrent(); }
    void setPoints(int points) const { w->setPoints(points); }
    void renderTranscript() const { w->renderTranscript(); }
    void submit() const { w->submit(); }
    QString privateStoreFileName() const { return w->privateStoreFileName(); }
    std::function<void(QWidget*)>& askForAttention() const { return w->askForAttention; }
    void backUpPrivateThreads() const { w->backUpPrivateThreads(); }
    void loadPrivateStore() const { w->loadPrivateStore(); }
    bool savePrivateStore() const { return w->savePrivateStore(); }
    void createPrivateThread() const { w->createPrivateThread(); }
    void openPrivateThread(const QString& id) const { w->openPrivateThread(id); }
    bool updatePrivateThread() const { return w->updatePrivateThread(); }
    bool recordTurnsInThread() const { return w->recordTurnsInThread(); }
    void savePrivateStoreInBackground(std::function<void(bool)> done) const
    {
        w->savePrivateStoreInBackground(std::move(done));
    }

private:
    ChatWindow* w;
};

class LoginWindowProbe
{
public:
    explicit LoginWindowProbe(LoginWindow* window) : w(window) {}

    QLineEdit* loginEdit() const { return w->loginEdit; }
    QLineEdit* usernameEdit() const { return w->usernameEdit; }
    QLineEdit* emailEdit() const { return w->emailEdit; }
    QLineEdit* passwordEdit() const { return w->passwordEdit; }
    QLineEdit* codeEdit() const { return w->codeEdit; }
    QLabel* loginHeading() const { return w->loginHeading; }
    QLabel* hintLabel() const { return w->hintLabel; }
    QLabel* statusLabel() const { return w->statusLabel; }
    QWidget* loginGroup() const { return w->loginGroup; }
    QWidget* registerGroup() const { return w->registerGroup; }
    QWidget* verifyGroup() const { return w->verifyGroup; }
    QPushButton* primaryButton() const { return w->primaryButton; }
    QPushButton* textButton() const { return w->textButton; }
    QString& pendingId() const { return w->pendingId; }
    bool registerMode() const { return w->registerMode; }
    void setRegisterMode(bool on) const { w->setRegisterMode(on); }

private:
    LoginWindow* w;
};
