#pragma once

#include "chat/turnsearch.h"

#include <QFrame>
#include <QList>
#include <QString>
#include <QTimer>

#include <functional>

class QLabel;
class QLineEdit;
class QListWidget;

// Ctrl+Shift+F: a pop-up over the workspace that searches every conversation as the user
// types. What the window holds is searched at once; the service is asked a moment after the
// typing pauses, and its answers join the list. Up and Down choose, Return opens, Esc closes.
class SearchPane : public QFrame
{
public:
    // Answers a query from the service: the hits, or `offered` false when it has no search.
    using RemoteAnswer = std::function<void(const QList<TurnHit>& hits, bool offered)>;

    struct Sources {
        std::function<QList<TurnHit>(const QString& query)> local;
        // Empty when the service is known to have no search: nothing is asked then.
        std::function<void(const QString& query, RemoteAnswer answer)> remote;
        // Called once when the service turns out to have no search.
        std::function<void()> remoteMissing;
    };

    SearchPane(QWidget* window, Sources sources,
               std::function<void(const TurnHit&, const QString& query)> open);

    QLineEdit* field() const { return input; }
    QListWidget* list() const { return shown; }
    QLabel* note() const { return noteLine; }
    const QList<TurnHit>& hits() const { return listed; }

    // The line that says only titles and conversations opened so far are searched.
    static QString fallbackNote();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void searchLocally();
    void askService();
    void showHits(const QList<TurnHit>& hits);
    void openCurrent();

    Sources sources;
    std::function<void(const TurnHit&, const QString&)> open;
    QLineEdit* input;
    QListWidget* shown;
    QLabel* noteLine;
    QList<TurnHit> local;
    QList<TurnHit> remote;
    QList<TurnHit> listed;
    QString remoteQuery; // what `remote` answers
    QTimer askSoon;
    int asked = 0; // each question's number: only the latest one's answer counts
};
