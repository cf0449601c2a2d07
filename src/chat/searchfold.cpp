#include "chat/searchfold.h"

QString foldForSearch(const QString& text)
{
    QString folded = text;
    for (QChar& c : folded) {
        const char16_t unit = c.unicode();
        if (unit >= 0xff01 && unit <= 0xff5e) // full-width ASCII
            c = QChar(char16_t(unit - 0xfee0));
        else if (unit == 0x3000) // ideographic space
            c = QLatin1Char(' ');
        if (!c.isSurrogate())
            c = c.toCaseFolded();
    }
    return folded;
}
