#pragma once

#include "chat/backgroundwork.h"
#include "chat/drafts.h"
#include "chat/privatestorewriter.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class Api;
class FindBar;
class MarkdownView;
class QComboBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QPushButton;
class QTextEdit;
class QTimer;
struct JumpTarget;
struct TurnHit;

// A search hit in a cloud conversation that is being fetched: the find bar opens on it then.
struct PendingFind {
    QString conversationId;
    QString query;
    int turn = -1; // -1: to be found by its role and snippet
    bool assistant = false;
    QString snippet;
};
struct OpenedBackup;
class TranscriptTurns;

// The workspace of a signed-in user: both conversation lists, the account panel, the
// transcript and the composer. Its operations live in several files beside this one.
class ChatWindow : public QWidget
{
public:
    ChatWindow(Api* api, QJsonObject user, std::function<void()> onLogout);
    ~ChatWindow() override;

private:
    friend class ChatWindowProbe; // tests reach the state through it

    // chatwindow.cpp: layout, wiring, enabled states
    QPushButton* buildSidebar(QWidget* sidebar);
    void buildWorkspace(QWidget* workspace);
    void connectControls(QPushButton* logoutButton);
    void setBusy(bool b);
    QString currentId() const;
    // Whether that conversation (a private thread or a cloud conversation) is the open one.
    bool isOpen(bool privateThread, const QString& id) const;
    void setTitle(const QString& title);
    void setModeBadge(const QString& text, bool isPrivateBadge);
    QString selectedModelId() const;
    bool selectModel(const QString& modelId);
    // Every reply of the service to the workspace goes through one of these: a reply that
    // comes after the window is gone changes nothing.
    template <typename Callback> auto whileOpen(Callback callback)
    {
        return [window = QPointer<ChatWindow>(this),
                callback = std::move(callback)](const auto&... arguments) {
            if (window)
                callback(arguments...);
        };
    }
    // A failed request's text, into the notice line.
    std::function<void(const QString&)> showFailure();

    // conversations.cpp
    // Makes the given conversation the open one (a cloud id, a private id, or neither for a
    // new conversation): its state, its list's selection, the header and the mode badge.
    void enterConversation(const QString& cloud, const QString& privateThread,
                           const QJsonArray& turns, const QString& title);
    void startNewConversation();
    void loadConversations();
    void openConversation(QListWidgetItem* item);
    void renameCurrent();
    void deleteCurrent();

    // models.cpp
    void loadModels();
    void setPoints(int points);
    QString modelName(const QString& modelId) const; // the id when the service offers none

    // transcript.cpp
    void renderTranscript();
    void showEmptyState();

    // transcriptzoom.cpp: Ctrl+= / Ctrl+- / Ctrl+0 and Ctrl+wheel, remembered
    void setUpZoom();
    void stepZoom(int direction); // 0 for 100%
    void zoomTranscript(int percent);

    // draftkeeping.cpp: the composer's text per conversation
    void setUpDrafts();
    QString draftKey() const; // of the open conversation
    void keepDraft();         // the composer's text, as the draft of the one it shows
    void showDraft();         // the open conversation's draft, into the composer
    void saveDrafts();
    void dropDraft(const QString& key);

    // sending.cpp
    void submit();
    void startStream(const QString& prompt, const QJsonArray& history);
    void abortSend(const QString& prompt, const QString& message);
    // A reply ended (done or failed): a window in the background asks for the user's
    // attention (the taskbar entry flashes, or the desktop marks it urgent).
    void nudgeIfInactive();

    // privatestore.cpp
    QString privateStoreFileName() const;
    void loadPrivateStore();
    bool savePrivateStore();
    // The same save off the window's thread, for the one after a reply, which may be large:
    // `done` gets whether it succeeded (and the failure text is left to it).
    void savePrivateStoreInBackground(std::function<void(bool saved)> done);

    // privatethreads.cpp
    void refreshPrivateList();
    int findPrivateThread(const QString& id) const;
    void createPrivateThread();
    void openPrivateThread(const QString& id);
    bool updatePrivateThread();
    bool recordTurnsInThread();

    // readertools.cpp: find in the conversation, jump to one, copy from it, export one
    void setUpReaderTools();
    void showTranscriptMenu(const QPoint& position);
    void showListMenu(QListWidget* list, const QPoint& position);
    void addNetworkSettingsEntry(QMenu* menu); // last, in every context menu of the window
    void openJumpList();
    void jumpTo(const JumpTarget& target);
    void exportConversation(bool privateThread, const QString& id);
    void saveExport(const QString& title, const QString& model, const QJsonArray& turns);

    // workspacesearch.cpp: Ctrl+Shift+F over every conversation
    void setUpSearch();
    void openSearch();
    void openSearchHit(const TurnHit& hit, const QString& query);
    // A cloud conversation was fetched: kept for the search of a service without one.
    void rememberFetched(const QString& id, const QString& title, const QJsonArray& turns);
    // The conversation `id` is drawn: the find bar opens on a search hit waiting for it.
    void findPendingIn(const QString& id);

    // backupflows.cpp: every private thread into a passphrase backup, and back
    void backUpPrivateThreads();
    void restorePrivateThreads();
    void restoreOpenedBackup(const OpenedBackup& opened);

    Api* api;
    QJsonObject user;
    std::function<void()> onLogout;

    QLabel* accountLabel = nullptr;
    QLabel* chatTitle = nullptr;
    QLabel* modeBadge = nullptr;
    QLabel* chatNotice = nullptr;
    QListWidget* conversationList = nullptr;
    QListWidget* privateList = nullptr;
    QComboBox* modelSelect = nullptr;
    MarkdownView* transcript = nullptr;
    QTextEdit* chatInput = nullptr;
    QPushButton* sendButton = nullptr;
    QPushButton* newChatButton = nullptr;
    QPushButton* privateChatButton = nullptr;
    QPushButton* renameButton = nullptr;
    QPushButton* deleteButton = nullptr;
    FindBar* findBar = nullptr;

    QString cloudId;
    QString privateId;
    bool isPrivate = false;
    bool busy = false;
    bool privateAvailable = true;
    QJsonArray messages;
    QJsonArray privateHistory;
    QJsonArray threads;
    // What the transcript shows, turn by turn, and the reply streaming into it.
    std::unique_ptr<TranscriptTurns> shownTurns;
    // Shown once the window has started, when the store was read from its last good copy.
    QString storeRecoveryNotice;
    bool backupRunning = false;
    PrivateStoreWriter storeWriter;
    BackgroundWork backupWork;
    std::unique_ptr<Drafts> drafts;
    QString draftShownFor; // the draft key of what the composer holds; empty for none
    QTimer* draftTimer = nullptr;
    std::function<void(QWidget*)> askForAttention; // QApplication::alert; tests listen in
    struct FetchedConversation {
        QString title;
        QJsonArray turns;
    };
    QHash<QString, FetchedConversation> fetchedCloud; // since the window opened
    bool searchOffered = true;                        // until the service answers 404
    PendingFind pendingFind;
};
