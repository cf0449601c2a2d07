#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QString>
#include <QTextEdit>
#include <QWidget>

// Widgets by object name: the first match, or all of them.
template <class T> T* byName(QWidget* root, const QString& name)
{
    return root->findChild<T*>(name);
}

template <class T> QList<T*> allByName(QWidget* root, const QString& name)
{
    return root->findChildren<T*>(name);
}

// Unnamed widgets by their text or placeholder.
QAbstractButton* buttonByText(QWidget* root, const QString& text);
QLabel* labelByText(QWidget* root, const QString& text);
QLineEdit* lineEditByPlaceholder(QWidget* root, const QString& placeholder);
