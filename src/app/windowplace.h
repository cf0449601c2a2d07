#pragma once

#include <QList>
#include <QRect>
#include <QString>

class QWidget;

// Where a window was: its normal geometry (without the frame) and whether it was maximised,
// kept under "windows/<name>" and "windows/<name>Maximized" in the settings file.
struct WindowPlace {
    QRect geometry;
    bool maximized = false;
};

// Shows `window` where it was last time it closed or hid, and from then on remembers where it
// is each time it does. Without a remembered place it shows as it is.
void showInRememberedPlace(QWidget* window, const QString& name);

// `remembered` moved and shrunk as little as needed to sit on one of the `screens` (their
// work areas) that exist now: kept where enough of it for its title bar still shows on
// one, otherwise moved to the middle of `fallback`; never larger than its screen's work area.
QRect placeOnScreens(const QRect& remembered, const QList<QRect>& screens, const QRect& fallback);
