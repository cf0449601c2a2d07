#include "chat/transcript.h"

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

// The drawn transcript's sizes, in points: headers a step below the text.
QTextCharFormat drawnHeaderFormat(bool assistant)
{
    QTextCharFormat format = turnHeaderFormat(assistant);
    format.setFontPointSize(10);
    return format;
}

QTextCharFormat drawnTextFormat()
{
    QTextCharFormat format = turnTextFormat();
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

QString turnTitle(bool assistant)
{
    return assistant ? QStringLiteral("✳  KestruneAI") : QStringLiteral("你");
}

QTextCharFormat turnHeaderFormat(bool assistant)
{
    QTextCharFormat format;
    format.setForeground(QBrush(QColor(assistant ? "#2c7d87" : "#567187")));
    format.setFontWeight(600);
    return format;
}

QTextCharFormat turnTextFormat()
{
    QTextCharFormat format;
    format.setForeground(QBrush(QColor("#203c50")));
    return format;
}

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

QList<int> drawTranscript(QTextBrowser* pane, const QJsonArray& messages)
{
    // No layout while the document is built: a long transcript is laid out once. Switched
    // off before clearing, the emptied pane keeps its scroll bar, so that once is at the
    // final width.
    QTextDocument* document = pane->document();
    document->setLayoutEnabled(false);
    pane->clear();
    QTextCursor cursor = pane->textCursor();
    // One edit block: the frames (every table is one) are rescanned once, not per insertion.
    cursor.beginEditBlock();
    ReplyFragmentCache* replies = ReplyFragmentCache::of(pane);
    // All turns go into one frame: every edit rescans the top-level frames, so a fragment
    // streamed in after it costs the same however many tables the turns hold. The frame's
    // edges stand in for the first and the last line break.
    QTextFrame* turns = nullptr;
    QList<int> starts;
    starts.reserve(messages.size() + 1);
    for (qsizetype i = 0; i < messages.size(); ++i) {
        starts.append(cursor.position());
        const QJsonObject message = messages.at(i).toObject();
        const bool assistant = message.value("role").toString() == QLatin1String("assistant");
        const QTextCharFormat header = drawnHeaderFormat(assistant);
        const QString title = turnTitle(assistant);
        if (turns) {
            cursor.insertText(title + QLatin1Char('\n'), header);
        } else {
            cursor.insertText(title, header);
            turns = cursor.insertFrame(invisibleFrame());
            cursor.setBlockCharFormat(header); // as after a line break typed in that format
        }
        const QTextCharFormat body = drawnTextFormat();
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
    starts.append(cursor.position());
    cursor.endEditBlock();
    replies->finishDrawing();
    // A frame is laid out whole: with the scroll bar shown, a long transcript is laid out
    // once, and one that turns out short again, cheaply, without the bar.
    const Qt::ScrollBarPolicy scrolling = pane->verticalScrollBarPolicy();
    pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    document->setLayoutEnabled(true);
    pane->setVerticalScrollBarPolicy(scrolling);
    pane->setTextCursor(cursor);
    pane->ensureCursorVisible();
    return starts;
}
