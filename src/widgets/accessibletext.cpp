#include "widgets/accessibletext.h"

#include <QString>
#include <QWidget>

void describeForScreenReaders(QWidget* widget, const QString& name, const QString& description)
{
    widget->setAccessibleName(name);
    widget->setAccessibleDescription(description);
}
