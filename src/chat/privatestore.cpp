#include "chatwindow.h"

QString ChatWindow::privateStoreFileName() const
{
    return {};
}

void ChatWindow::loadPrivateStore() {}

bool ChatWindow::savePrivateStore()
{
    return false;
}
