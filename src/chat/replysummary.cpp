#include "chat/replysummary.h"

QString replySummary(const service::FinishedReply& reply)
{
    const QString truncated = reply.truncated ? QStringLiteral(" · 回复已截断") : QString();
    return QStringLiteral("本次使用 %1 对话额度%2").arg(reply.charged).arg(truncated);
}
