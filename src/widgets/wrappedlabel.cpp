#include "widgets/wrappedlabel.h"

#include <QLabel>

void keepWrappedWithinWidth(QLabel* label)
{
    label->setWordWrap(true);
    QSizePolicy policy = label->sizePolicy();
    policy.setHorizontalPolicy(QSizePolicy::Ignored);
    label->setSizePolicy(policy);
}
