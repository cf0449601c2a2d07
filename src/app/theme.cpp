#include "theme.h"

#include <QApplication>
#include <QFont>

void applyTheme(QApplication& app)
{
    QApplication::setStyle(QStringLiteral("Fusion"));
    app.setFont(QFont(QStringLiteral("Segoe UI Variable"), 10));
}
