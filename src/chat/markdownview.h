#pragma once

#include <QTextBrowser>

// The read-only transcript pane. It never loads or shows an image a reply refers to, and a
// click on a link never replaces the transcript with another document.
class MarkdownView : public QTextBrowser
{
public:
    explicit MarkdownView(QWidget* parent = nullptr);
    ~MarkdownView() override;

    QVariant loadResource(int type, const QUrl& name) override;
};
