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
#include <QTextFragment>
#include <QTextFrame>

namespace
{

// The drawn transcript's sizes, in points at a scale of 1: headers a step below the text.
QTextCharFormat drawnHeaderFormat(bool assistant, qreal scale)
{
    QTextCharFormat format = turnHeaderFormat(assistant);
    format.setFontPointSize(10 * scale);
    return format;
}

QTextCharFormat drawnTextFormat(qreal scale)
{
    QTextCharFormat format = turnTextFormat();
    format.setFontPointSize(11 * scale);
    return format;
}

// Set on the frame that holds all the drawn turns.
constexpr int drawnTurnsMark = QTextFormat::UserProperty + 1;

QTextFrameFormat invisibleFrame()
{
    QTextFrameFormat format;
    format.setBorder(0);
    format.setMargin(0);
    format.setPadding(0);
    return format;
}

// Moves `cursor` from the end of the frame's last block to the block after the frame and
// gives that block what the last line break would have given it, so that what follows (the
// next turn, or a streamed reply) continues there exactly as it would without the frame.
void closeTurns(QTextFrame* turns, QTextCursor& cursor)
{
    const QTextBlockFormat block = cursor.blockFormat();
    const QTextCharFormat blockChars = cursor.block().charFormat();
    cursor.setPosition(turns->lastPosition() + 1);
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

namespace
{

// The fragment with the sizes its Markdown set outright (code's fixed-pitch font) times
// `scale`; sizes relative to the pane's font (headings) follow that font already.
QTextDocumentFragment scaledFragment(const QTextDocumentFragment& fragment, qreal scale)
{
    QTextDocument document;
    QTextCursor cursor(&document);
    cursor.insertFragment(fragment);
    struct Change {
        int from;
        int to;
        QTextCharFormat format;
    };
    QList<Change> changes;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment part = it.fragment();
            const QTextCharFormat format = part.charFormat();
            QTextCharFormat change;
            if (format.hasProperty(QTextFormat::FontPointSize))
                change.setFontPointSize(format.fontPointSize() * scale);
            if (format.hasProperty(QTextFormat::FontPixelSize)) {
                change.setProperty(
                    QTextFormat::FontPixelSize,
                    qMax(1, qRound(format.intProperty(QTextFormat::FontPixelSize) * scale)));
            }
            if (!change.properties().isEmpty())
                changes.append({part.position(), part.position() + part.length(), change});
        }
    }
    for (const Change& change : changes) {
        cursor.setPosition(change.from);
        cursor.setPosition(change.to, QTextCursor::KeepAnchor);
        cursor.mergeCharFormat(change.format);
    }
    cursor.select(QTextCursor::Document);
    return cursor.selection();
}

} // namespace

QTextDocumentFragment ReplyFragmentCache::fragment(const QString& markdown, qreal scale)
{
    // Kept fragments are of one scale: a new one starts them afresh.
    if (scale != keptScale) {
        kept.clear();
        used.clear();
        keptScale = scale;
    }
    if (auto found = used.constFind(markdown); found != used.cend())
        return *found;
    QTextDocumentFragment fragment;
    if (auto found = kept.constFind(markdown); found != kept.cend()) {
        fragment = *found;
    } else {
        fragment =
            QTextDocumentFragment::fromMarkdown(markdown, QTextDocument::MarkdownDialectGitHub);
        if (scale != 1)
            fragment = scaledFragment(fragment, scale);
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

// Every edit looks up where each top-level frame begins and ends, and each such lookup walks
// the whole document's tree of text; painting or pointing into a frame walks it from its
// start. Turns drawn straight into the top frame would make each streamed fragment visit
// every table; turns all in one flat frame would make each repaint and each mouse move walk
// the whole conversation. So the turns go into runs of a few dozen turns, the runs into at
// most sixteen groups, and the groups into one frame: every walk stays short. A streamed
// reply's finished lines move into that frame, whose layout then passes over what it holds
// outside the frames inside it: so even a short conversation has its turns in a run.
TurnFrames planTurnFrames(qsizetype turnCount)
{
    constexpr qsizetype runsPerGroup = 16;
    // Runs lengthen with the conversation, so that there are never more than sixteen groups.
    const qsizetype run = qMax<qsizetype>(16, (turnCount + 255) / 256);
    // A frame's first and last turn lie outside the frames inside it: a turn's header line
    // break and its blank line can each stand in for one frame edge only.
    const qsizetype group = run * runsPerGroup + 2;
    TurnFrames plan;
    plan.opens.fill(false, turnCount);
    plan.closes.fill(false, turnCount);
    // Frames of at most `size` turns over [first, last], counted back from the last: the frame
    // above a streamed reply is always a whole one.
    const auto split = [&plan](qsizetype first, qsizetype last, qsizetype size, auto inside) {
        for (qsizetype end = last; end >= first; end -= size) {
            const qsizetype begin = qMax(first, end - size + 1);
            plan.opens[begin] = true;
            plan.closes[end] = true;
            inside(begin, end);
        }
    };
    // Whether a frame over turns [first, last] holds more than `size` turns besides its first
    // and last.
    const auto holdsMoreThan = [](qsizetype first, qsizetype last, qsizetype size) {
        return last - first - 1 > size;
    };
    const auto runs = [&](qsizetype first, qsizetype last) {
        if (holdsMoreThan(first, last, 0))
            split(first + 1, last - 1, run, [](qsizetype, qsizetype) {});
    };
    const auto groups = [&](qsizetype first, qsizetype last) {
        if (holdsMoreThan(first, last, run * runsPerGroup))
            split(first + 1, last - 1, group, runs);
        else
            runs(first, last);
    };
    split(0, turnCount - 1, qMax<qsizetype>(turnCount, 1), groups);
    return plan;
}

bool holdsDrawnTurns(const QTextFrame* frame)
{
    return frame->frameFormat().boolProperty(drawnTurnsMark);
}

QList<int> drawTranscript(QTextBrowser* pane, const QJsonArray& messages, qreal scale)
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
    const TurnFrames frames = planTurnFrames(messages.size());
    QList<QTextFrame*> open; // the innermost last
    QList<int> starts;
    starts.reserve(messages.size() + 1);
    for (qsizetype i = 0; i < messages.size(); ++i) {
        starts.append(cursor.position());
        const QJsonObject message = messages.at(i).toObject();
        const bool assistant = message.value("role").toString() == QLatin1String("assistant");
        const QTextCharFormat header = drawnHeaderFormat(assistant, scale);
        const QString title = turnTitle(assistant);
        if (frames.opens.at(i)) {
            cursor.insertText(title, header);
            QTextFrameFormat format = invisibleFrame();
            if (open.isEmpty())
                format.setProperty(drawnTurnsMark, true);
            open.append(cursor.insertFrame(format));
            cursor.setBlockCharFormat(header); // as after a line break typed in that format
        } else {
            cursor.insertText(title + QLatin1Char('\n'), header);
        }
        const QTextCharFormat body = drawnTextFormat(scale);
        cursor.setCharFormat(body);
        const QString content = message.value("content").toString();
        if (assistant)
            cursor.insertFragment(replies->fragment(content, scale));
        else
            cursor.insertText(content, body);
        // A turn ends in two plain lines. A line break typed at the end of a reply's list,
        // quote, heading or code block would carry that block's look on: the next turn
        // would be drawn as the reply's next bullet, indented, or numbered on from it.
        cursor.insertBlock(QTextBlockFormat());
        if (frames.closes.at(i))
            closeTurns(open.takeLast(), cursor);
        else
            cursor.insertBlock(QTextBlockFormat());
    }
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
