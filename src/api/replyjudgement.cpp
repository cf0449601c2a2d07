#include "api/replyjudgement.h"

#include <QJsonDocument>

QJsonObject jsonObjectOf(const QByteArray& text)
{
    const QJsonDocument document = QJsonDocument::fromJson(text);
    return document.isObject() ? document.object() : QJsonObject();
}

ReplyJudgement judgeReply(const QByteArray& body, int httpStatus, bool transferFailed,
                          const QString& networkError)
{
    ReplyJudgement judgement;
    judgement.body = jsonObjectOf(body);
    judgement.ok = !transferFailed && httpStatus >= 200 && httpStatus <= 299;
    if (judgement.ok)
        return judgement;

    const QJsonValue serviceError = judgement.body.value("error");
    if (serviceError.isString())
        judgement.error = serviceError.toString();
    else if (transferFailed)
        judgement.error = networkError;
    else
        judgement.error = QStringLiteral("HTTP %1").arg(httpStatus);
    return judgement;
}
