#include "widgets/elidedlabel.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

ElidedLabel::ElidedLabel(const QString& text, QWidget* parent) : QLabel(text, parent)
{
    setTextFormat(Qt::PlainText);
}

ElidedLabel::~ElidedLabel() = default;

QSize ElidedLabel::minimumSizeHint() const
{
    // Room for the ellipsis alone: the rest of the width is the layout's to give.
    const QMargins margins = contentsMargins();
    return {fontMetrics().horizontalAdvance(QStringLiteral("…")) + margins.left() + margins.right(),
            QLabel::minimumSizeHint().height()};
}

QString ElidedLabel::shownText() const
{
    const int width = contentsRect().width();
    QStringList lines = text().split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = fontMetrics().elidedText(line, Qt::ElideRight, width);
    return lines.join(QLatin1Char('\n'));
}

bool ElidedLabel::isElided() const
{
    return shownText() != text();
}

bool ElidedLabel::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        auto* help = static_cast<QHelpEvent*>(event);
        if (isElided())
            QToolTip::showText(help->globalPos(), text(), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QLabel::event(event);
}

void ElidedLabel::paintEvent(QPaintEvent*)
{
    // As a plain label draws itself: the frame (the style sheet's background and border),
    // then the text, aligned for the direction it is written in.
    QPainter painter(this);
    drawFrame(&painter);
    const Qt::LayoutDirection direction =
        text().isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight;
    style()->drawItemText(&painter, contentsRect(), QStyle::visualAlignment(direction, alignment()),
                          palette(), isEnabled(), shownText(), foregroundRole());
}
