#include "chat/conversationitems.h"

#include <QListWidget>

QListWidgetItem* appendConversationItem(QListWidget* list, const QString& marker, const QString& id,
                                        const QString& title)
{
    auto* item = new QListWidgetItem(marker + title);
    item->setData(Qt::UserRole, id);
    item->setToolTip(title);
    item->setData(Qt::AccessibleTextRole, title);
    list->addItem(item);
    return item;
}
