#include "chat/codeblock.h"

#include <QStringList>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFormat>

namespace
{

// Drawn Markdown marks every line of a code block with the fence it came from (or with a
// fence of nothing for an indented block), so the block's lines are the marked neighbours.
bool isCode(const QTextBlock& block)
{
    return block.isValid() && block.blockFormat().hasProperty(QTextFormat::BlockCodeFence);
}

} // namespace

QString codeBlockTextAt(const QTextDocument* document, int position)
{
    const QTextBlock at = document->findBlock(position);
    if (!isCode(at))
        return {};
    QTextBlock first = at;
    while (isCode(first.previous()))
        first = first.previous();
    QStringList lines;
    for (QTextBlock block = first; isCode(block); block = block.next())
        lines.append(block.text());
    while (lines.size() > 1 && lines.last().isEmpty())
        lines.removeLast(); // the line break that ends the block's last line
    // Lines broken inside one block use the line separator.
    return lines.join(QLatin1Char('\n')).replace(QChar::LineSeparator, QLatin1Char('\n'));
}
