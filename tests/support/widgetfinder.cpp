#include "widgetfinder.h"

QAbstractButton* buttonByText(QWidget* root, const QString& text)
{
    for (QAbstractButton* button : root->findChildren<QAbstractButton*>())
        if (button->text() == text)
            return button;
    return nullptr;
}

QLabel* labelByText(QWidget* root, const QString& text)
{
    for (QLabel* label : root->findChildren<QLabel*>())
        if (label->text() == text)
            return label;
    return nullptr;
}

QLineEdit* lineEditByPlaceholder(QWidget* root, const QString& placeholder)
{
    for (QLineEdit* edit : root->findChildren<QLineEdit*>())
        if (edit->placeholderText() == placeholder)
            return edit;
    return nullptr;
}
