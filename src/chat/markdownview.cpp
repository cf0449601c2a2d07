#include "markdownview.h"

#include <QTextDocument>

MarkdownView::MarkdownView(QWidget* parent) : QTextBrowser(parent) {}

MarkdownView::~MarkdownView() = default;

QVariant MarkdownView::loadResource(int type, const QUrl& name)
{
    if (type == QTextDocument::ImageResource)
        return {};
    return QTextBrowser::loadResource(type, name);
}
