#include "chatwindow.h"
#include "markdownview.h"

void ChatWindow::renderTranscript() {}

void ChatWindow::showEmptyState() {}
