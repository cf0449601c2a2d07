#include "chat/threadtitle.h"

namespace
{
constexpr qsizetype titleLimit = 32;
}

QString automaticThreadTitle(const QString& firstMessage)
{
    // simplified() collapses every character QChar::isSpace() accepts: line breaks, tabs,
    // no-break and ideographic spaces included.
    const QString text = firstMessage.simplified();
    if (text.size() <= titleLimit)
        return text;
    // Cutting between the halves of a pair would leave a character nobody can display.
    const qsizetype cut = text.at(titleLimit - 1).isHighSurrogate() ? titleLimit - 1 : titleLimit;
    return text.left(cut);
}
