#include "chatwindow.h"

#include <QListWidget>

void ChatWindow::startNewConversation()
{
    setBusy(false);
}

void ChatWindow::loadConversations() {}

void ChatWindow::openConversation(QListWidgetItem*) {}

void ChatWindow::renameCurrent() {}

void ChatWindow::deleteCurrent() {}
