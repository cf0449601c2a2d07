#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// What a finished reply means to the caller of a JSON request.
struct ReplyJudgement {
    bool ok = false;
    QJsonObject body;
    QString error; // empty when ok
};

// Any JSON text as an object: empty when it is not a JSON object.
QJsonObject jsonObjectOf(const QByteArray& text);

// `transferFailed` tells whether the network layer reported an error, `networkError` its text.
ReplyJudgement judgeReply(const QByteArray& body, int httpStatus, bool transferFailed,
                          const QString& networkError);
