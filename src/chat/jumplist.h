#pragma once

#include <QFrame>
#include <QList>
#include <QString>

#include <functional>

class QLineEdit;
class QListWidget;

// One conversation the jump list offers.
struct JumpTarget {
    QString title;
    QString id;
    bool isPrivate = false;
};

// A small pop-up over the window: the titles of every conversation, filtered as the user
// types (case and width do not count for Latin letters). Return hands the chosen one to
// `choose`; Esc or a click elsewhere closes it.
class JumpList : public QFrame
{
public:
    JumpList(QWidget* window, QList<JumpTarget> targets,
             std::function<void(const JumpTarget&)> choose);

    QLineEdit* field() const { return input; }
    QListWidget* list() const { return shown; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void filter(const QString& text);
    void chooseCurrent();

    QList<JumpTarget> targets;
    std::function<void(const JumpTarget&)> choose;
    QLineEdit* input;
    QListWidget* shown;
    int titleWidth = 0; // what an item's text may take, in pixels
};
