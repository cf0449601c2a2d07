#include "chat/chatwindow.h"

#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>

void ChatWindow::setUpDrafts()
{
    drafts = std::make_unique<Drafts>(user.value("id").toString());
    // Written a moment after the typing stops, so that a crash loses at most that moment.
    draftTimer = new QTimer(this);
    draftTimer->setSingleShot(true);
    draftTimer->setInterval(1000);
    connect(draftTimer, &QTimer::timeout, this, [this] { saveDrafts(); });
    connect(chatInput, &QTextEdit::textChanged, draftTimer, qOverload<>(&QTimer::start));
}

QString ChatWindow::draftKey() const
{
    if (isPrivate)
        return QStringLiteral("private:") + privateId;
    return cloudId.isEmpty() ? QStringLiteral("new") : QStringLiteral("cloud:") + cloudId;
}

void ChatWindow::keepDraft()
{
    if (!draftShownFor.isEmpty())
        drafts->set(draftShownFor, chatInput->toPlainText());
}

void ChatWindow::showDraft()
{
    draftShownFor = draftKey();
    chatInput->setPlainText(drafts->text(draftShownFor));
    chatInput->moveCursor(QTextCursor::End);
}

void ChatWindow::saveDrafts()
{
    draftTimer->stop();
    keepDraft();
    drafts->save();
}

void ChatWindow::dropDraft(const QString& key)
{
    if (key == draftShownFor) {
        draftShownFor.clear(); // what the composer holds now belongs to nothing
        chatInput->clear();
    }
    drafts->remove(key);
    drafts->save();
}
