#include "chat/chatwindow.h"

#include "api/api.h"

#include "chat/markdownview.h"
#include "chat/transcript.h"
#include "chat/transcriptturns.h"
#include "widgets/accessibletext.h"
#include "widgets/compositionguard.h"
#include "widgets/elidedlabel.h"
#include "widgets/wrappedlabel.h"

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QTextEdit>
#include <QVBoxLayout>

ChatWindow::ChatWindow(Api* api, QJsonObject user, std::function<void()> onLogout)
    : QWidget(nullptr), api(api), user(std::move(user)), onLogout(std::move(onLogout)),
      askForAttention([](QWidget* window) { QApplication::alert(window); })
{
    setWindowTitle(QStringLiteral("KestruneAI"));
    resize(1160, 760);
    setObjectName("chatWindow");

    auto* root = new QHBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    auto* sidebar = new QFrame(this);
    sidebar->setObjectName("sidebar");
    sidebar->setFixedWidth(278);
    // The window keeps no pointer to the sign-out button; only its connection needs it.
    QPushButton* logoutButton = buildSidebar(sidebar);
    root->addWidget(sidebar, 0);

    auto* workspace = new QFrame(this);
    workspace->setObjectName("workspace");
    buildWorkspace(workspace);
    root->addWidget(workspace, 1);

    connectControls(logoutButton);
    setUpReaderTools();
    setUpZoom();
    setUpDrafts();
    setUpSearch();

    loadPrivateStore();
    startNewConversation();
    if (!storeRecoveryNotice.isEmpty())
        chatNotice->setText(storeRecoveryNotice);
    loadModels();
    loadConversations();
}

ChatWindow::~ChatWindow()
{
    // Signing out and quitting both end here: the composer's text is kept for next time.
    saveDrafts();
}

QPushButton* ChatWindow::buildSidebar(QWidget* sidebar)
{
    auto* layout = new QVBoxLayout(sidebar);
    layout->setContentsMargins(21, 26, 21, 20);
    layout->setSpacing(13);

    auto* brand = new QLabel(QStringLiteral("✳   KestruneAI"), sidebar);
    brand->setObjectName("sidebarBrand");
    brand->setAccessibleName(QStringLiteral("KestruneAI"));
    layout->addWidget(brand);

    auto* tagline = new QLabel(QStringLiteral("你的 AI 对话工作台"), sidebar);
    tagline->setObjectName("sidebarTagline");
    layout->addWidget(tagline);

    layout->addSpacing(23);

    newChatButton = new QPushButton(QStringLiteral("＋   新建对话"), sidebar);
    newChatButton->setObjectName("newChatButton");
    describeForScreenReaders(newChatButton, QStringLiteral("新建对话"),
                             QStringLiteral("开始一个在云端保存的新对话"));
    layout->addWidget(newChatButton);

    privateChatButton = new QPushButton(QStringLiteral("◇   隐私对话"), sidebar);
    privateChatButton->setObjectName("privateChatButton");
    describeForScreenReaders(privateChatButton, QStringLiteral("新建隐私对话"),
                             QStringLiteral("开始一个只加密保存在本机的对话"));
    layout->addWidget(privateChatButton);

    layout->addSpacing(17);

    auto* cloudSection = new QLabel(QStringLiteral("云端对话"), sidebar);
    cloudSection->setObjectName("sidebarSection");
    layout->addWidget(cloudSection);

    // Named before it joins the sidebar: its scroll bar is styled when it is first polished,
    // by rules that select the list by name.
    conversationList = new QListWidget;
    conversationList->setObjectName("conversationList");
    conversationList->setFrameShape(QFrame::NoFrame);
    // Long titles end in "…" instead of growing a scroll bar across the narrow sidebar.
    conversationList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    describeForScreenReaders(conversationList, QStringLiteral("云端对话"),
                             QStringLiteral("按回车键打开所选对话"));
    layout->addWidget(conversationList, 1);

    auto* privateSection = new QLabel(QStringLiteral("本机隐私对话"), sidebar);
    privateSection->setObjectName("sidebarSection");
    layout->addWidget(privateSection);

    privateList = new QListWidget;
    privateList->setObjectName("privateList");
    privateList->setFrameShape(QFrame::NoFrame);
    privateList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    describeForScreenReaders(privateList, QStringLiteral("本机隐私对话"),
                             QStringLiteral("按回车键打开所选对话"));
    layout->addWidget(privateList, 1);

    auto* divider = new QFrame(sidebar);
    divider->setObjectName("sideDivider");
    divider->setFrameShape(QFrame::HLine);
    layout->addWidget(divider);

    // Eliding: a long user name must not push the sidebar's contents out of its fixed width.
    accountLabel = new ElidedLabel(QString(), sidebar);
    accountLabel->setObjectName("accountLabel");
    accountLabel->setTextFormat(Qt::PlainText);
    accountLabel->setAccessibleDescription(QStringLiteral("账号与对话额度"));
    setPoints(user.value("points").toInt());
    layout->addWidget(accountLabel);

    auto* logoutButton = new QPushButton(QStringLiteral("退出登录"), sidebar);
    logoutButton->setObjectName("logoutButton");
    logoutButton->setAccessibleDescription(QStringLiteral("退出当前账号，回到登录窗口"));
    layout->addWidget(logoutButton);
    return logoutButton;
}

void ChatWindow::buildWorkspace(QWidget* workspace)
{
    auto* layout = new QVBoxLayout(workspace);
    layout->setContentsMargins(35, 25, 35, 27);
    layout->setSpacing(0);

    auto* header = new QHBoxLayout;
    header->setSpacing(10);
    // Eliding: a long title must never widen the window and push the actions off-screen.
    chatTitle = new ElidedLabel(QStringLiteral("新对话"), workspace);
    chatTitle->setObjectName("chatTitle");
    header->addWidget(chatTitle);
    modeBadge = new QLabel(QStringLiteral("云端保存"), workspace);
    modeBadge->setObjectName("modeBadge");
    modeBadge->setProperty("private", false);
    modeBadge->setAccessibleDescription(QStringLiteral("当前对话的保存位置"));
    header->addWidget(modeBadge);
    header->addStretch();
    renameButton = new QPushButton(QStringLiteral("重命名"), workspace);
    renameButton->setObjectName("topAction");
    renameButton->setAccessibleDescription(QStringLiteral("重命名当前对话"));
    header->addWidget(renameButton);
    deleteButton = new QPushButton(QStringLiteral("删除"), workspace);
    deleteButton->setObjectName("topAction");
    deleteButton->setAccessibleDescription(QStringLiteral("删除当前对话"));
    header->addWidget(deleteButton);
    layout->addLayout(header);

    layout->addSpacing(18);

    auto* modelRow = new QHBoxLayout;
    modelRow->setSpacing(10);
    auto* modelLabel = new QLabel(QStringLiteral("模型"), workspace);
    modelLabel->setObjectName("modelLabel");
    modelRow->addWidget(modelLabel);
    modelSelect = new QComboBox(workspace);
    modelSelect->setObjectName("modelSelect");
    modelSelect->setMinimumWidth(270);
    describeForScreenReaders(modelSelect, QStringLiteral("模型"),
                             QStringLiteral("回复所用的模型及每 100 字的额度"));
    modelRow->addWidget(modelSelect);
    modelLabel->setBuddy(modelSelect); // the selector is announced as labelled by it
    modelRow->addStretch();
    layout->addLayout(modelRow);

    chatNotice = new QLabel(workspace);
    chatNotice->setObjectName("chatNotice");
    keepWrappedWithinWidth(chatNotice);
    // Service error texts are shown as they arrive: never as markup that could load files.
    chatNotice->setTextFormat(Qt::PlainText);
    chatNotice->setAccessibleDescription(QStringLiteral("状态"));
    layout->addWidget(chatNotice);

    transcript = new MarkdownView;
    shownTurns = std::make_unique<TranscriptTurns>(transcript);
    transcript->setObjectName("transcript");
    transcript->setReadOnly(true);
    transcript->setOpenExternalLinks(false);
    transcript->setAccessibleDescription(QStringLiteral("对话内容"));
    layout->addWidget(transcript, 1);

    auto* composer = new QFrame(workspace);
    composer->setObjectName("composer");
    auto* composerLayout = new QVBoxLayout(composer);
    composerLayout->setContentsMargins(16, 13, 16, 13);
    chatInput = new QTextEdit(composer);
    chatInput->setObjectName("chatInput");
    chatInput->setPlaceholderText(QStringLiteral("向 KestruneAI 提问…"));
    chatInput->setMaximumHeight(105);
    describeForScreenReaders(chatInput, QStringLiteral("向 KestruneAI 提问"),
                             QStringLiteral("Ctrl + Enter 发送，支持 Markdown"));
    // Tab moves on to the send button instead of typing a tab: the keyboard never gets stuck.
    chatInput->setTabChangesFocus(true);
    CompositionGuard::install(chatInput);
    composerLayout->addWidget(chatInput);
    auto* sendRow = new QHBoxLayout;
    auto* sendHint = new QLabel(QStringLiteral("Ctrl + Enter 发送 · 支持 Markdown"), composer);
    sendHint->setObjectName("sendHint");
    sendRow->addWidget(sendHint);
    sendRow->addStretch();
    sendButton = new QPushButton(QStringLiteral("发送  ↗"), composer);
    sendButton->setObjectName("sendButton");
    // A click leaves the focus, and any composition of an input method, in the composer.
    sendButton->setFocusPolicy(Qt::TabFocus);
    describeForScreenReaders(sendButton, QStringLiteral("发送"),
                             QStringLiteral("发送提问，快捷键 Ctrl + Enter"));
    sendRow->addWidget(sendButton);
    composerLayout->addLayout(sendRow);
    layout->addWidget(composer);
}

namespace
{

void openOnReturn(QListWidget* list, const std::function<void()>& open)
{
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), list);
        shortcut->setContext(Qt::WidgetShortcut);
        QObject::connect(shortcut, &QShortcut::activated, list, open);
    }
}

} // namespace

void ChatWindow::connectControls(QPushButton* logoutButton)
{
    connect(newChatButton, &QPushButton::clicked, this, [this] { startNewConversation(); });
    connect(privateChatButton, &QPushButton::clicked, this, [this] { createPrivateThread(); });
    connect(conversationList, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { openConversation(item); });
    connect(privateList, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
        if (item)
            openPrivateThread(item->data(Qt::UserRole).toString());
    });
    // A click opens an item; from the keyboard, Return or Enter on the selected item does.
    // Moving the selection alone opens nothing.
    openOnReturn(conversationList, [this] { openConversation(conversationList->currentItem()); });
    openOnReturn(privateList, [this] {
        if (QListWidgetItem* item = privateList->currentItem())
            openPrivateThread(item->data(Qt::UserRole).toString());
    });
    connect(renameButton, &QPushButton::clicked, this, [this] { renameCurrent(); });
    connect(deleteButton, &QPushButton::clicked, this, [this] { deleteCurrent(); });
    connect(sendButton, &QPushButton::clicked, this, [this] { submit(); });
    auto* sendShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return), chatInput);
    sendShortcut->setContext(Qt::WindowShortcut);
    connect(sendShortcut, &QShortcut::activated, this, [this] { submit(); });
    connect(modelSelect, &QComboBox::currentIndexChanged, this, [this](int) {
        if (isPrivate && !privateId.isEmpty() && !busy)
            updatePrivateThread();
    });
    connect(logoutButton, &QPushButton::clicked, this, [this] {
        // A reply in progress would be cut off and lost: sign-out waits for it to end.
        if (!busy && onLogout)
            onLogout();
    });
}

QString ChatWindow::currentId() const
{
    return isPrivate ? privateId : cloudId;
}

bool ChatWindow::isOpen(bool privateThread, const QString& id) const
{
    return isPrivate == privateThread && currentId() == id;
}

void ChatWindow::setBusy(bool b)
{
    busy = b;
    const bool hasId = !currentId().isEmpty();
    sendButton->setEnabled(!busy);
    newChatButton->setEnabled(!busy);
    privateChatButton->setEnabled(!busy && privateAvailable);
    conversationList->setEnabled(!busy);
    privateList->setEnabled(!busy);
    renameButton->setEnabled(!busy && hasId);
    deleteButton->setEnabled(!busy && hasId);
    modelSelect->setEnabled(!busy && (isPrivate || cloudId.isEmpty()));
}

void ChatWindow::setTitle(const QString& title)
{
    chatTitle->setText(title);
    // A screen reader names the transcript after the conversation it shows.
    transcript->setAccessibleName(QStringLiteral("对话记录：") + title);
}

void ChatWindow::setModeBadge(const QString& text, bool isPrivateBadge)
{
    modeBadge->setText(text);
    modeBadge->setAccessibleName(QStringLiteral("保存方式：") + text);
    modeBadge->setProperty("private", isPrivateBadge);
    // The style sheet keys the badge colours on the property: re-polish to apply them now.
    modeBadge->style()->unpolish(modeBadge);
    modeBadge->style()->polish(modeBadge);
}

QString ChatWindow::selectedModelId() const
{
    return modelSelect->currentData(Qt::UserRole).toString();
}

bool ChatWindow::selectModel(const QString& modelId)
{
    const int index = modelSelect->findData(modelId, Qt::UserRole);
    if (index < 0)
        return false;
    const bool wasBlocked = modelSelect->blockSignals(true);
    modelSelect->setCurrentIndex(index);
    modelSelect->blockSignals(wasBlocked);
    return true;
}

std::function<void(const QString&)> ChatWindow::showFailure()
{
    return whileOpen([this](const QString& error) { chatNotice->setText(error); });
}

void ChatWindow::renderTranscript()
{
    if (messages.isEmpty()) {
        showEmptyState();
        return;
    }
    shownTurns->draw(messages);
}

void ChatWindow::showEmptyState()
{
    shownTurns->forget();
    const qreal zoom = transcript->zoomFactor();
    const QString page =
        QStringLiteral("<div style='text-align:center;margin-top:%1px;color:#486779'>"
                       "<p style='font-size:%2px;color:#69a7a8'>%3</p>"
                       "<h2>%4</h2>"
                       "<p>%5</p></div>");
    transcript->setHtml(isPrivate
                            ? page.arg(qRound(110 * zoom))
                                  .arg(qRound(72 * zoom))
                                  .arg(QStringLiteral("◇"), QStringLiteral("保存在这台电脑。"),
                                       QStringLiteral("隐私对话只在本机加密保存，不进入云端历史。"))
                            : page.arg(qRound(110 * zoom))
                                  .arg(qRound(72 * zoom))
                                  .arg(QStringLiteral("✳"), QStringLiteral("从一个问题开始。"),
                                       QStringLiteral("你的对话会在云端保存，随时可以继续。")));
}
