#pragma once

#include <QTextBrowser>

// The read-only transcript pane. It never loads images a reply refers to, and never
// follows a link into a new document.
class MarkdownView : public QTextBrowser
{
public:
    explicit MarkdownView(QWidget* parent = nullptr);
    ~MarkdownView() override;

    QVariant loadResource(int type, const QUrl& name) override;
};
