#pragma once

#include <QCursor>
#include <QTextBrowser>

#include <functional>

// The read-only transcript pane. It never loads or shows an image a reply refers to, and a
// click on a link never replaces the transcript with another document.
class MarkdownView : public QTextBrowser
{
public:
    explicit MarkdownView(QWidget* parent = nullptr);
    ~MarkdownView() override;

    QVariant loadResource(int type, const QUrl& name) override;

    // The zoom of everything the pane shows, in percent; 100 draws the designed sizes. The
    // pane scales its base font; whoever draws into it scales the sizes it sets itself.
    static const QList<int>& zoomSteps(); // 50 … 200
    int zoom() const { return zoomPercent; }
    qreal zoomFactor() const { return zoomPercent / 100.0; }
    void setZoom(int percent); // one of the steps
    // Asked for by Ctrl+wheel: +1 for a step closer, -1 for one farther.
    std::function<void(int direction)> onZoomStep;

    // What anchorAt gives for `pos` in the viewport, found without walking the document
    // from its first block.
    QString linkAt(const QPoint& pos) const;

protected:
    void changeEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // Runs a mouse handler of the base class with links out of its reach.
    void withoutLinks(const std::function<void()>& handle);

    void applyZoomToFont();

    int zoomPercent = 100;
    int wheelTurned = 0; // the part of a wheel notch not yet used for a step
    QString hoveredLink;
    QCursor cursorOffLinks;
    bool pressedOffLinks = false;
};
