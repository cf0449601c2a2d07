#include "chat/turnsearch.h"

#include "chat/searchfold.h"

#include <QJsonObject>

#include <algorithm>

namespace
{

constexpr qsizetype contextBefore = 30;
constexpr qsizetype snippetLength = 120;
constexpr int maxMarks = 10;

} // namespace

QString plainForSearch(const QString& markdown)
{
    QString plain;
    plain.reserve(markdown.size());
    for (qsizetype i = 0; i < markdown.size(); ++i) {
        const QChar c = markdown.at(i);
        if ((c == u'*' || c == u'_' || c == u'~') && i + 1 < markdown.size() &&
            markdown.at(i + 1) == c) {
            ++i;
            continue;
        }
        if (c != u'`')
            plain.append(c);
    }
    return plain;
}

TurnHit snippetHit(const QString& plain, const QString& foldedPlain, qsizetype at,
                   const QString& needle)
{
    TurnHit hit;
    qsizetype begin = qMax<qsizetype>(0, at - contextBefore);
    if (begin > 0 && plain.at(begin).isLowSurrogate())
        --begin;
    qsizetype end = qMin(plain.size(), begin + qMax(snippetLength, needle.size() + contextBefore));
    if (end < plain.size() && plain.at(end).isLowSurrogate())
        ++end;
    const QString lead = begin > 0 ? QStringLiteral("…") : QString();
    hit.snippet = lead + plain.mid(begin, end - begin);
    for (QChar& c : hit.snippet) {
        if (c == u'\n' || c == u'\r' || c == u'\t')
            c = u' ';
    }
    if (end < plain.size())
        hit.snippet += QStringLiteral("…");
    for (qsizetype match = at;
         match >= 0 && match + needle.size() <= end && hit.marks.size() < maxMarks;
         match = foldedPlain.indexOf(needle, match + needle.size()))
        hit.marks.append({int(match - begin + lead.size()), int(needle.size())});
    return hit;
}

void LocalTurns::add(const QString& id, const QString& title, bool isPrivate, qint64 whenMs,
                     const QJsonArray& messages)
{
    const int conversation = int(conversations.size());
    conversations.append({id, title, foldForSearch(title), isPrivate, false, whenMs});
    for (qsizetype i = 0; i < messages.size(); ++i) {
        const QJsonObject message = messages.at(i).toObject();
        const QString markdown = message.value("content").toString();
        turns.append({conversation, int(i),
                      message.value("role").toString() == QLatin1String("assistant"), markdown,
                      foldForSearch(plainForSearch(markdown))});
    }
    sorted = false;
}

void LocalTurns::addTitle(const QString& id, const QString& title, bool isPrivate)
{
    titleOnly.append(int(conversations.size()));
    conversations.append({id, title, foldForSearch(title), isPrivate, true, 0});
}

void LocalTurns::sortNewestFirst() const
{
    if (sorted)
        return;
    std::stable_sort(turns.begin(), turns.end(), [this](const Turn& a, const Turn& b) {
        const qint64 whenA = conversations.at(a.conversation).when;
        const qint64 whenB = conversations.at(b.conversation).when;
        if (whenA != whenB)
            return whenA > whenB;
        if (a.conversation != b.conversation)
            return a.conversation < b.conversation;
        return a.index > b.index;
    });
    sorted = true;
}

QList<TurnHit> LocalTurns::find(const QString& query, int limit) const
{
    const QString needle = foldForSearch(plainForSearch(query.trimmed()));
    QList<TurnHit> hits;
    if (needle.isEmpty() || limit <= 0)
        return hits;
    sortNewestFirst();
    for (const Turn& turn : turns) {
        const qsizetype at = turn.folded.indexOf(needle);
        if (at < 0)
            continue;
        const Conversation& conversation = conversations.at(turn.conversation);
        TurnHit hit = snippetHit(plainForSearch(turn.markdown), turn.folded, at, needle);
        hit.conversationId = conversation.id;
        hit.title = conversation.title;
        hit.isPrivate = conversation.isPrivate;
        hit.assistant = turn.assistant;
        hit.when = conversation.when;
        hit.turn = turn.index;
        hits.append(hit);
        if (hits.size() >= limit)
            return hits;
    }
    for (const int index : titleOnly) {
        const Conversation& conversation = conversations.at(index);
        const qsizetype at = conversation.foldedTitle.indexOf(needle);
        if (at < 0)
            continue;
        TurnHit hit = snippetHit(conversation.title, conversation.foldedTitle, at, needle);
        hit.conversationId = conversation.id;
        hit.title = conversation.title;
        hit.isPrivate = conversation.isPrivate;
        hit.titleOnly = true;
        hits.append(hit);
        if (hits.size() >= limit)
            break;
    }
    return hits;
}
