#pragma once

#include <QJsonArray>
#include <QList>
#include <QString>

#include <utility>

// One turn (or, where only titles are searched, one conversation) the workspace's search found.
struct TurnHit {
    QString conversationId;
    QString title;
    bool isPrivate = false;
    bool titleOnly = false; // the title matched; the conversation's turns were not searched
    bool assistant = false;
    QString snippet;
    QList<std::pair<int, int>> marks; // start and length of each match in the snippet
    qint64 when = 0;                  // milliseconds since the epoch, for the order
    int turn = -1;                    // the turn's index in its conversation, when known
};

// A turn's text as search reads it: the Markdown marks of bold, underline, strike-through and
// code ("**", "__", "~~", "`") taken out, as the service does.
QString plainForSearch(const QString& markdown);

// The snippet of `plain` around the match at `at` and every match of `folded` in it.
TurnHit snippetHit(const QString& plain, const QString& foldedPlain, qsizetype at,
                   const QString& needle);

// Conversations the window holds in memory (the decrypted private threads, cloud ones it has
// fetched), searched as the user types: the folded text of each turn is prepared once, so a
// keystroke costs one pass over it. Nothing of it is ever written anywhere.
class LocalTurns
{
public:
    void add(const QString& id, const QString& title, bool isPrivate, qint64 whenMs,
             const QJsonArray& messages);
    // A conversation searched by its title alone.
    void addTitle(const QString& id, const QString& title, bool isPrivate);

    // At most `limit` hits, newest first: by the conversation's time, and within one the later
    // turns first.
    QList<TurnHit> find(const QString& query, int limit) const;

    int turnCount() const { return int(turns.size()); }

private:
    struct Conversation {
        QString id;
        QString title;
        QString foldedTitle;
        bool isPrivate = false;
        bool titleOnly = false;
        qint64 when = 0;
    };
    struct Turn {
        int conversation = 0;
        int index = 0;
        bool assistant = false;
        QString markdown;
        QString folded; // of its plain text
    };
    void sortNewestFirst() const;

    QList<Conversation> conversations;
    mutable QList<Turn> turns;
    mutable QList<int> titleOnly; // conversations searched by title
    mutable bool sorted = true;
};
