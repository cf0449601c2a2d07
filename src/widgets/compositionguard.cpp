#include "widgets/compositionguard.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QWidget>

CompositionGuard::CompositionGuard(QWidget* field) : QObject(field)
{
    field->installEventFilter(this);
}

namespace
{

const CompositionGuard* guardOf(const QWidget* field)
{
    for (const QObject* child : field->children()) {
        if (const auto* guard = dynamic_cast<const CompositionGuard*>(child))
            return guard;
    }
    return nullptr;
}

} // namespace

void CompositionGuard::install(QWidget* field)
{
    if (!guardOf(field))
        new CompositionGuard(field);
}

bool CompositionGuard::composing(const QWidget* field)
{
    const CompositionGuard* guard = guardOf(field);
    return guard && guard->active;
}

bool CompositionGuard::eventFilter(QObject*, QEvent* event)
{
    switch (event->type()) {
    case QEvent::InputMethod:
        active = !static_cast<QInputMethodEvent*>(event)->preeditString().isEmpty();
        return false;
    case QEvent::FocusOut:
        // The input method commits or drops its composition when the field loses focus.
        active = false;
        return false;
    case QEvent::ShortcutOverride:
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (!active || (key != Qt::Key_Return && key != Qt::Key_Enter))
            return false;
        // Accepting the override keeps the shortcuts from it; the key press itself goes.
        event->accept();
        return true;
    }
    default:
        return false;
    }
}
