#include "api/origin.h"

#include <QString>

QUrl chooseServiceOrigin(const QByteArray& environmentValue)
{
    const QString candidate = environmentValue.isEmpty() ? QString::fromLatin1(defaultServiceOrigin)
                                                         : QString::fromUtf8(environmentValue);
    const QUrl url(candidate, QUrl::TolerantMode);
    const bool acceptable = url.isValid() && (url.scheme() == QLatin1String("https") ||
                                              url.host() == QLatin1String("127.0.0.1"));
    return acceptable ? url : QUrl(QString::fromLatin1(defaultServiceOrigin), QUrl::TolerantMode);
}
