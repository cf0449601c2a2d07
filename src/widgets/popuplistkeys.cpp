#include "widgets/popuplistkeys.h"

#include <QKeyEvent>
#include <QListWidget>

bool handlePopupListKey(QEvent* event, QWidget* popup, QListWidget* list,
                        const std::function<void()>& choose)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        choose();
        return true;
    case Qt::Key_Escape:
        popup->close();
        return true;
    case Qt::Key_Down:
    case Qt::Key_Up: {
        const int step = key->key() == Qt::Key_Down ? 1 : -1;
        list->setCurrentRow(qBound(0, list->currentRow() + step, list->count() - 1));
        return true;
    }
    default:
        return false;
    }
}
