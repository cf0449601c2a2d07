#include "api.h"

void Api::streamChat(const QJsonObject& body, std::function<void(QString)> onDelta,
                     std::function<void(QJsonObject)> onDone, std::function<void(QString)> onError)
{
    Q_UNUSED(body);
    Q_UNUSED(onDelta);
    Q_UNUSED(onDone);
    Q_UNUSED(onError);
}
