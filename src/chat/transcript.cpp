#include "transcript.h"

#include "chatwindow.h"
#include "markdownview.h"

#include <QBrush>
#include <QColor>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextBrowser>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>

namespace
{

QTextCharFormat headerFormat(bool assistant)
{
    QTextCharFormat format;
    format.setForeground(QBrush(QColor(assistant ? "#2c7d87" : "#567187")));
    format.setFontWeight(600);
    format.setFontPointSize(10);
    return format;
}

QTextCharFormat bodyFormat()
{
    QTextCharFormat format;
    format.setForeground(QBrush(QColor("#203c50")));
    format.setFontPointSize(11);
    return format;
}

} // namespace

ReplyFragmentCache::ReplyFragmentCache(QObject* pane) : QObject(pane) {}

ReplyFragmentCache* ReplyFragmentCache::of(QTextBrowser* pane)
{
    for (QObject* child : pane->children()) {
        if (auto* cache = dynamic_cast<ReplyFragmentCache*>(child))
            return cache;
    }
    return new ReplyFragmentCache(pane);
}

QTextDocumentFragment ReplyFragmentCache::fragment(const QString& markdown)
{
    if (auto found = used.constFind(markdown); found != used.cend())
        return *found;
    QTextDocumentFragment fragment;
    if (auto found = kept.constFind(markdown); found != kept.cend()) {
        fragment = *found;
    } else {
        fragment =
            QTextDocumentFragment::fromMarkdown(markdown, QTextDocument::MarkdownDialectGitHub);
        ++conversionCount;
    }
    used.insert(markdown, fragment);
    return fragment;
}

void ReplyFragmentCache::finishDrawing()
{
    kept.swap(used);
    used.clear();
}

void drawTranscript(QTextBrowser* pane, const QJsonArray& messages)
{
    pane->clear();
    // Laying out after every inserted block makes a long transcript with tables and lists
    // cost far more than one layout of the finished document.
    QTextDocument* document = pane->document();
    document->setLayoutEnabled(false);
    QTextCursor cursor = pane->textCursor();
    // One edit block: the document rescans its frames (every table is one) once at the end
    // instead of after each insertion, which made long transcripts quadratic.
    cursor.beginEditBlock();
    ReplyFragmentCache* replies = ReplyFragmentCache::of(pane);
    for (const QJsonValue& value : messages) {
        const QJsonObject message = value.toObject();
        const bool assistant = message.value("role").toString() == QLatin1String("assistant");
        cursor.insertText(assistant ? QStringLiteral("✳  KestruneAI\n") : QStringLiteral("你\n"),
                          headerFormat(assistant));
        const QTextCharFormat body = bodyFormat();
        cursor.setCharFormat(body);
        const QString content = message.value("content").toString();
        if (assistant)
            cursor.insertFragment(replies->fragment(content));
        else
            cursor.insertText(content, body);
        cursor.insertText(QStringLiteral("\n\n"));
    }
    cursor.endEditBlock();
    replies->finishDrawing();
    document->setLayoutEnabled(true);
    pane->setTextCursor(cursor);
    pane->ensureCursorVisible();
}

void ChatWindow::renderTranscript()
{
    if (messages.isEmpty()) {
        showEmptyState();
        return;
    }
    drawTranscript(transcript, messages);
}

void ChatWindow::showEmptyState()
{
    transcript->setHtml(
        isPrivate ? QStringLiteral("<div style='text-align:center;margin-top:110px;color:#486779'>"
                                   "<p style='font-size:72px;color:#69a7a8'>◇</p>"
                                   "<h2>保存在这台电脑。</h2>"
                                   "<p>隐私对话只在本机加密保存，不进入云端历史。</p></div>")
                  : QStringLiteral("<div style='text-align:center;margin-top:110px;color:#486779'>"
                                   "<p style='font-size:72px;color:#69a7a8'>✳</p>"
                                   "<h2>从一个问题开始。</h2>"
                                   "<p>你的对话会在云端保存，随时可以继续。</p></div>"));
}
