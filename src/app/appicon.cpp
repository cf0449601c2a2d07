#include "app/appicon.h"

QIcon applicationIcon()
{
    QIcon icon;
    // The two smallest sizes have a drawing of their own, so the toolkit must not scale.
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/%1.png").arg(size), QSize(size, size));
    return icon;
}
