#pragma once

#include "api/sealedfile.h"

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

// Completion of one JSON request: `error` is the text to show when `ok` is false.
using ApiCallback = std::function<void(bool ok, const QJsonObject& body, const QString& error)>;

// The one gateway to the service: origin, bearer token, JSON requests and the reply stream.
class Api : public QObject
{
public:
    explicit Api(QObject* parent = nullptr);
    ~Api() override;

    void request(const QByteArray& method, const QString& path, const QJsonObject& body,
                 ApiCallback callback);

    void streamChat(const QJsonObject& body, std::function<void(QString)> onDelta,
                    std::function<void(QJsonObject)> onDone, std::function<void(QString)> onError);

    QString token;
    QUrl baseUrl;
    QNetworkAccessManager network;

    // Inactivity limit of every transfer; tests shorten it instead of waiting 100 s.
    int transferTimeoutMs = 100000;
};
