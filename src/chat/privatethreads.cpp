#include "chatwindow.h"

void ChatWindow::refreshPrivateList() {}

int ChatWindow::findPrivateThread(const QString&) const
{
    return -1;
}

void ChatWindow::createPrivateThread() {}

void ChatWindow::openPrivateThread(const QString&) {}

bool ChatWindow::updatePrivateThread()
{
    return false;
}
