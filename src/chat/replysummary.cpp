#include "chat/replysummary.h"

QString replySummary(const QJsonObject& result)
{
    const QString truncated =
        result.value("truncated").toBool() ? QStringLiteral(" · 回复已截断") : QString();
    return QStringLiteral("本次使用 %1 对话额度%2")
        .arg(result.value("charged").toInt())
        .arg(truncated);
}
