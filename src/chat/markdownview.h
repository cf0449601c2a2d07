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

    // What anchorAt gives for `pos` in the viewport, found without walking the document
    // from its first block.
    QString linkAt(const QPoint& pos) const;

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // Runs a mouse handler of the base class with links out of its reach.
    void withoutLinks(const std::function<void()>& handle);

    QString hoveredLink;
    QCursor cursorOffLinks;
    bool pressedOffLinks = false;
};
