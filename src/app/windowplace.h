#pragma once

#include <QList>
#include <QRect>
#include <QString>

class QWidget;

// Where a window was: the top left corner of its frame and its size (without the frame) when
// not maximised, and whether it was maximised; kept under "windows/<name>" and
// "windows/<name>Maximized" in the settings file.
struct WindowPlace {
    QRect geometry;
    bool maximized = false;
};

// Shows `window` where it was last time it closed or hid, and from then on remembers where it
// is each time it does. Without a remembered place it shows as it is.
void showInRememberedPlace(QWidget* window, const QString& name);

// `remembered` moved and shrunk as little as needed to lie wholly on the one of the `screens`
// (their work areas) that shows the most of it; when none shows enough of it to take hold of,
// in the middle of `fallback`. Never larger than that work area.
QRect placeOnScreens(const QRect& remembered, const QList<QRect>& screens, const QRect& fallback);
