#pragma once

#include <QHash>
#include <QString>

// The composer's unsent text per conversation of one account ("cloud:<id>", "private:<id>",
// or "new" for a conversation not yet made), sealed in "drafts-<account>.bin". A draft of a
// private conversation is as private as the conversation, so nothing of it is ever written
// unsealed.
class Drafts
{
public:
    explicit Drafts(const QString& accountId);

    static QString fileNameFor(const QString& accountId);

    QString text(const QString& key) const { return kept.value(key).text; }
    // Keeps `text` for `key` (an empty text drops it). True when that changed anything.
    bool set(const QString& key, const QString& text);
    bool remove(const QString& key) { return set(key, QString()); }

    // Writes the file when something changed since it was last written. False when that
    // failed; the drafts stay in memory and the next save tries again.
    bool save();

private:
    struct Draft {
        QString text;
        qint64 at = 0; // when it last changed, seconds since the epoch
    };

    QString fileName;
    QHash<QString, Draft> kept;
    bool changed = false;
    // A file that exists but does not open (damaged, or sealed for someone else) is never
    // replaced by what this session keeps.
    bool fileUnreadable = false;
};
