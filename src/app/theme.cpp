#include "app/theme.h"

#include <QApplication>
#include <QFile>
#include <QFont>

void applyTheme(QApplication& app)
{
    QApplication::setStyle(QStringLiteral("Fusion"));

    // The face is only on Windows 11. Elsewhere the toolkit would pick an arbitrary face,
    // often one without Chinese glyphs, so name the fallbacks: the older Windows face first,
    // then faces that cover both Latin and CJK text on Linux desktops.
    QFont::insertSubstitutions(QStringLiteral("Segoe UI Variable"),
                               {QStringLiteral("Segoe UI"), QStringLiteral("Noto Sans CJK SC"),
                                QStringLiteral("Noto Sans"), QStringLiteral("DejaVu Sans")});
    app.setFont(QFont(QStringLiteral("Segoe UI Variable"), 10));

    // The sheet is compiled into the program; without it the windows stay usable, only plain.
    QFile sheet(QStringLiteral(":/theme.qss"));
    if (sheet.open(QIODevice::ReadOnly | QIODevice::Text))
        app.setStyleSheet(QString::fromUtf8(sheet.readAll()));
}
