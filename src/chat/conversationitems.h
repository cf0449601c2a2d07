#pragma once

#include <QString>

class QListWidget;
class QListWidgetItem;

// Appends a conversation to one of the sidebar's lists: its marker and title as the text,
// its id under Qt::UserRole, the whole title as tool tip and as accessible text (without the
// marker), so that a title cut by a narrow list can still be read in full.
QListWidgetItem* appendConversationItem(QListWidget* list, const QString& marker, const QString& id,
                                        const QString& title);
