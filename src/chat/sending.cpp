#include "chatwindow.h"

void ChatWindow::submit() {}

void ChatWindow::startStream(const QString&, const QJsonArray&) {}

void ChatWindow::abortSend(const QString&, const QString&) {}
