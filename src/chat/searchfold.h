#pragma once

#include <QString>

// Text as the reader's tools compare it: Latin letters without case, full-width forms as
// their ordinary ones (Ａ as a, the ideographic space as a space), everything else, Chinese
// included, as it is. One UTF-16 unit stays one unit, so a position in the folded text is
// the same position in the original.
QString foldForSearch(const QString& text);
