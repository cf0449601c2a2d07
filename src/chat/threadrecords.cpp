#include "chat/threadrecords.h"

#include "chat/threadtitle.h"

QString defaultThreadTitle()
{
    return QStringLiteral("隐私对话");
}

qsizetype findThread(const QJsonArray& threads, const QString& id)
{
    for (qsizetype i = 0; i < threads.size(); ++i) {
        if (threads.at(i).toObject().value("id").toString() == id)
            return i;
    }
    return -1;
}

QJsonObject newThreadRecord(const QString& id, const QString& model, qint64 now)
{
    return QJsonObject{
        {"id", id},          {"title", defaultThreadTitle()},
        {"model", model},    {"messages", QJsonArray()},
        {"created_at", now}, {"updated_at", now},
    };
}

QJsonObject withTurns(QJsonObject thread, const QString& model, const QJsonArray& messages,
                      qint64 now)
{
    thread.insert("model", model);
    thread.insert("messages", messages);
    thread.insert("updated_at", now);
    if (thread.value("title").toString() == defaultThreadTitle() && !messages.isEmpty()) {
        const QString title =
            automaticThreadTitle(messages.first().toObject().value("content").toString());
        if (!title.isEmpty())
            thread.insert("title", title);
    }
    return thread;
}
