#include "chat/markdownview.h"

#include <QAbstractTextDocumentLayout>
#include <QColor>
#include <QImage>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QWheelEvent>

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

const QList<int>& MarkdownView::zoomSteps()
{
    static const QList<int> steps{50, 67, 75, 80, 90, 100, 110, 125, 150, 175, 200};
    return steps;
}

void MarkdownView::setZoom(int percent)
{
    if (!zoomSteps().contains(percent) || percent == zoomPercent)
        return;
    zoomPercent = percent;
    applyZoomToFont();
}

void MarkdownView::applyZoomToFont()
{
    QFont base = font();
    if (zoomPercent != 100) {
        if (base.pixelSize() > 0)
            base.setPixelSize(qMax(1, qRound(base.pixelSize() * zoomFactor())));
        else
            base.setPointSizeF(base.pointSizeF() * zoomFactor());
    }
    document()->setDefaultFont(base);
}

void MarkdownView::changeEvent(QEvent* event)
{
    QTextBrowser::changeEvent(event);
    // The base class gives the document the widget's font (from the style sheet) again.
    if (event->type() == QEvent::FontChange && zoomPercent != 100)
        applyZoomToFont();
}

void MarkdownView::wheelEvent(QWheelEvent* event)
{
    if (!(event->modifiers() & Qt::ControlModifier)) {
        wheelTurned = 0;
        QTextBrowser::wheelEvent(event);
        return;
    }
    // The base class would change the widget's font by its own steps: one notch, one step.
    event->accept();
    wheelTurned += event->angleDelta().y();
    while (qAbs(wheelTurned) >= QWheelEvent::DefaultDeltasPerStep) {
        const int direction = wheelTurned > 0 ? 1 : -1;
        wheelTurned -= direction * QWheelEvent::DefaultDeltasPerStep;
        if (onZoomStep)
            onZoomStep(direction);
    }
}

QString MarkdownView::linkAt(const QPoint& pos) const
{
    const QScrollBar* across = horizontalScrollBar();
    const int left = isRightToLeft() ? across->maximum() - across->value() : across->value();
    const QPointF point(pos.x() + left, pos.y() + verticalScrollBar()->value());
    const int position = document()->documentLayout()->hitTest(point, Qt::ExactHit);
    if (position < 0)
        return {};
    const QTextBlock block = document()->findBlock(position);
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        if (it.fragment().contains(position))
            return it.fragment().charFormat().anchorHref();
    }
    return {}; // the line break that ends the block
}

void MarkdownView::mouseMoveEvent(QMouseEvent* event)
{
    // The toolkit looks for the link under the pointer by walking the document's blocks from
    // the first, on every move: in a long conversation that takes longer than the moves come
    // in. A move with a button down drags a selection, which has no use for the link; a move
    // without one only changes the pointer over links, found here the short way.
    if (event->buttons() != Qt::NoButton) {
        withoutLinks([&] { QTextBrowser::mouseMoveEvent(event); });
        return;
    }
    const QString link = linkAt(event->position().toPoint());
    if (link == hoveredLink)
        return;
    hoveredLink = link;
    if (link.isEmpty()) {
        viewport()->setCursor(cursorOffLinks);
        emit highlighted(QUrl());
    } else {
        if (viewport()->cursor().shape() != Qt::PointingHandCursor)
            cursorOffLinks = viewport()->cursor();
        viewport()->setCursor(Qt::PointingHandCursor);
        emit highlighted(source().resolved(QUrl(link)));
    }
}

void MarkdownView::mousePressEvent(QMouseEvent* event)
{
    // The same walk, twice per click. A click that begins off any link cannot open one, so
    // both its press and its release do without the link under the pointer.
    pressedOffLinks = linkAt(event->position().toPoint()).isEmpty();
    if (pressedOffLinks)
        withoutLinks([&] { QTextBrowser::mousePressEvent(event); });
    else
        QTextBrowser::mousePressEvent(event);
}

void MarkdownView::mouseReleaseEvent(QMouseEvent* event)
{
    if (pressedOffLinks)
        withoutLinks([&] { QTextBrowser::mouseReleaseEvent(event); });
    else
        QTextBrowser::mouseReleaseEvent(event);
    pressedOffLinks = false;
}

void MarkdownView::withoutLinks(const std::function<void()>& handle)
{
    const Qt::TextInteractionFlags flags = textInteractionFlags();
    setTextInteractionFlags(flags & ~Qt::LinksAccessibleByMouse);
    handle();
    setTextInteractionFlags(flags);
}
