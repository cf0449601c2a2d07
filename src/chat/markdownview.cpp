#include "chat/markdownview.h"

#include <QColor>
#include <QImage>
#include <QTextDocument>

MarkdownView::MarkdownView(QWidget* parent) : QTextBrowser(parent)
{
    // Following a link would load its target into the pane: a web address blanks the
    // transcript, a file: link or a bare path shows a local file. A click stays harmless.
    setOpenLinks(false);
}

MarkdownView::~MarkdownView() = default;

QVariant MarkdownView::loadResource(int type, const QUrl& name)
{
    if (type == QTextDocument::ImageResource) {
        // An empty answer is not enough: the document and the image handler then read the
        // name as a local file themselves. An invisible pixel ends the search, whatever the
        // name says.
        QImage blank(1, 1, QImage::Format_ARGB32);
        blank.fill(Qt::transparent);
        return blank;
    }
    return QTextBrowser::loadResource(type, name);
}
