#include "transcript.h"

#include "chatwindow.h"
#include "markdownview.h"

#include <QBrush>
#include <QColor>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextFrame>

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

QTextFrameFormat invisibleFrame()
{
    QTextFrameFormat format;
    format.setBorder(0);
    format.setMargin(0);
    format.setPadding(0);
    return format;
}

// Moves `cursor` from the end of the frame's last block to the block after the frame and
// gives that block what the last line break would have given it, so that streamed text
// continues there exactly as it did without the frame.
void closeTurns(QTextFrame* turns, QTextCursor& cursor)
{
    const QTextBlockFormat block = cursor.blockFormat();
    const QTextCharFormat blockChars = cursor.block().charFormat();
    cursor.movePosition(QTextCursor::End);
    cursor.setBlockFormat(block); // list membership and margins included
    cursor.setBlockCharFormat(blockChars);
    // Block margins do not carry across a frame's edge: the gap two such blocks keep, the
    // larger of the margins that meet, becomes the frame's bottom margin.
    QTextFrameFormat format = turns->frameFormat();
    format.setBottomMargin(qMax(block.bottomMargin(), block.topMargin()));
    turns->setFrameFormat(format);
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
    // Laying out after every inserted block makes a long transcript with tables and lists
    // cost far more than one layout of the finished document. Switched off before clearing,
    // the emptied pane keeps its scroll bar, so a long transcript drawn again is laid out
    // once at its final width instead of once without the bar and again with it.
    QTextDocument* document = pane->document();
    document->setLayoutEnabled(false);
    pane->clear();
    QTextCursor cursor = pane->textCursor();
    // One edit block: the document rescans its frames (every table is one) once at the end
    // instead of after each insertion, which made long transcripts quadratic.
    cursor.beginEditBlock();
    ReplyFragmentCache* replies = ReplyFragmentCache::of(pane);
    // Every edit rescans the top-level frames, tables included: with all turns inside one
    // frame, a streamed fragment appended after it costs the same however many tables the
    // turns hold. The frame's edges stand in for the first and the last line break.
    QTextFrame* turns = nullptr;
    for (qsizetype i = 0; i < messages.size(); ++i) {
        const QJsonObject message = messages.at(i).toObject();
        const bool assistant = message.value("role").toString() == QLatin1String("assistant");
        const QTextCharFormat header = headerFormat(assistant);
        const QString title = assistant ? QStringLiteral("✳  KestruneAI") : QStringLiteral("你");
        if (turns) {
            cursor.insertText(title + QLatin1Char('\n'), header);
        } else {
            cursor.insertText(title, header);
            turns = cursor.insertFrame(invisibleFrame());
            cursor.setBlockCharFormat(header); // as after a line break typed in that format
        }
        const QTextCharFormat body = bodyFormat();
        cursor.setCharFormat(body);
        const QString content = message.value("content").toString();
        if (assistant)
            cursor.insertFragment(replies->fragment(content));
        else
            cursor.insertText(content, body);
        // A turn ends in two plain lines. A line break typed at the end of a reply's list,
        // quote, heading or code block would carry that block's look on: the next turn
        // would be drawn as the reply's next bullet, indented, or numbered on from it.
        cursor.insertBlock(QTextBlockFormat());
        if (i + 1 < messages.size())
            cursor.insertBlock(QTextBlockFormat());
    }
    if (turns)
        closeTurns(turns, cursor);
    cursor.endEditBlock();
    replies->finishDrawing();
    // The turns' frame is laid out whole, not step by step: laid out without the scroll
    // bar, a long transcript would be laid out again as soon as the bar appeared. With the
    // bar shown, a transcript that turns out short is laid out again, cheaply, without it.
    const Qt::ScrollBarPolicy scrolling = pane->verticalScrollBarPolicy();
    pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    document->setLayoutEnabled(true);
    pane->setVerticalScrollBarPolicy(scrolling);
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
