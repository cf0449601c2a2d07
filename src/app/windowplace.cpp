#include "app/windowplace.h"

#include "api/settingsfile.h"

#include <QEvent>
#include <QGuiApplication>
#include <QObject>
#include <QScreen>
#include <QWidget>

#include <optional>

namespace
{

// A window kept where it was shows at least this much of itself on a screen: enough to take
// hold of its title bar.
constexpr int visibleWidthAtLeast = 120;
constexpr int visibleHeightAtLeast = 40;

QString geometryKey(const QString& name)
{
    return QStringLiteral("windows/") + name;
}

QString maximizedKey(const QString& name)
{
    return QStringLiteral("windows/") + name + QStringLiteral("Maximized");
}

// "x y width height", with a size no screen makes unreasonable.
std::optional<QRect> parseGeometry(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 4)
        return std::nullopt;
    int values[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        values[i] = parts.at(i).toInt(&ok);
        if (!ok || qAbs(values[i]) > 100000)
            return std::nullopt;
    }
    if (values[2] < 100 || values[3] < 100)
        return std::nullopt;
    return QRect(values[0], values[1], values[2], values[3]);
}

std::optional<WindowPlace> rememberedPlace(const QString& name)
{
    const QString text =
        settingsfile::read(geometryKey(name), QString(), [](const QString& stored) {
            return parseGeometry(stored).has_value();
        }).toString();
    if (text.isEmpty())
        return std::nullopt;
    return WindowPlace{*parseGeometry(text), settingsfile::readBool(maximizedKey(name), false)};
}

void remember(const QWidget* window, const QString& name)
{
    const bool maximized = window->isMaximized();
    // Where its frame begins, so that its title bar comes back on screen; and its size. A
    // window that has only ever been maximised has no normal geometry of its own yet.
    const QRect normal =
        maximized ? window->normalGeometry() : QRect(window->pos(), window->size());
    const auto file = settingsfile::open();
    if (normal.isValid() && normal.width() >= 100 && normal.height() >= 100) {
        file->setValue(geometryKey(name), QStringLiteral("%1 %2 %3 %4")
                                              .arg(normal.x())
                                              .arg(normal.y())
                                              .arg(normal.width())
                                              .arg(normal.height()));
    }
    file->setValue(maximizedKey(name), maximized);
}

// Writes the window's place each time it hides.
class PlaceKeeper : public QObject
{
public:
    PlaceKeeper(QWidget* window, QString name) : QObject(window), name(std::move(name))
    {
        window->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Closing hides the window too, and so does signing in or out.
        if (event->type() == QEvent::Hide)
            remember(static_cast<QWidget*>(watched), name);
        return false;
    }

private:
    QString name;
};

} // namespace

QRect placeOnScreens(const QRect& remembered, const QList<QRect>& screens, const QRect& fallback)
{
    // The screen that shows the most of it, if one shows enough to count.
    const QRect* home = nullptr;
    qint64 shownMost = 0;
    for (const QRect& screen : screens) {
        const QRect shown = remembered.intersected(screen);
        const qint64 area = qint64(shown.width()) * shown.height();
        if (shown.width() >= visibleWidthAtLeast && shown.height() >= visibleHeightAtLeast &&
            area > shownMost) {
            home = &screen;
            shownMost = area;
        }
    }
    if (!home) {
        QRect placed(QPoint(), remembered.size().boundedTo(fallback.size()));
        placed.moveCenter(fallback.center());
        return placed;
    }
    // Wholly on that screen, moved as little as that takes (the screen's scale may have
    // changed since, or its size).
    QRect placed(remembered.topLeft(), remembered.size().boundedTo(home->size()));
    placed.moveLeft(qBound(home->left(), placed.left(), home->right() - placed.width() + 1));
    placed.moveTop(qBound(home->top(), placed.top(), home->bottom() - placed.height() + 1));
    return placed;
}

void showInRememberedPlace(QWidget* window, const QString& name)
{
    new PlaceKeeper(window, name);
    const std::optional<WindowPlace> place = rememberedPlace(name);
    if (!place) {
        window->show();
        return;
    }
    QList<QRect> screens;
    for (const QScreen* screen : QGuiApplication::screens())
        screens.append(screen->availableGeometry());
    const QScreen* primary = QGuiApplication::primaryScreen();
    const QRect fallback = primary ? primary->availableGeometry() : place->geometry;
    const QRect placed = placeOnScreens(place->geometry, screens, fallback);
    window->resize(placed.size());
    window->move(placed.topLeft()); // a window's position is its frame's

    if (place->maximized)
        window->showMaximized();
    else
        window->show();
}
