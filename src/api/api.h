#pragma once

#include "api/proxysettings.h"
#include "api/sealedfile.h"

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

// Completion of one JSON request: `error` is the text to show when `ok` is false.
using ApiCallback = std::function<void(bool ok, const QJsonObject& body, const QString& error)>;
// The same with the HTTP status (0 when no answer came).
using StatusCallback =
    std::function<void(int status, bool ok, const QJsonObject& body, const QString& error)>;

// The one gateway to the service: origin, bearer token, JSON requests and the reply stream.
class Api : public QObject
{
public:
    explicit Api(QObject* parent = nullptr);
    ~Api() override;

    void request(const QByteArray& method, const QString& path, const QJsonObject& body,
                 ApiCallback callback);
    void request(const QByteArray& method, const QString& path, const QJsonObject& body,
                 StatusCallback callback);

    void streamChat(const QJsonObject& body, std::function<void(QString)> onDelta,
                    std::function<void(QJsonObject)> onDone, std::function<void(QString)> onError);

    // Requests from now on go as `settings` says; connections kept open go.
    void useProxy(const ProxySettings& settings);
    const ProxySettings& proxySettings() const { return proxies->settings; }
    // What to show for a failed transfer: the toolkit's text, or one that names the proxy.
    QString failureText(const QNetworkReply* reply) const;

    QString token;
    QUrl baseUrl;
    QNetworkAccessManager network;

    // Inactivity limit of every transfer; tests shorten it instead of waiting 100 s.
    int transferTimeoutMs = 100000;

private:
    ProxyChoice* proxies; // owned by `network`
};
