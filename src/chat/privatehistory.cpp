#include "chat/privatehistory.h"

QJsonArray recentHistory(const QJsonArray& confirmed, qsizetype limit)
{
    QJsonArray history;
    for (qsizetype i = qMax<qsizetype>(0, confirmed.size() - qMax<qsizetype>(0, limit));
         i < confirmed.size(); ++i)
        history.append(confirmed.at(i));
    return history;
}
