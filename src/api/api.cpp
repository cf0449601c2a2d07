#include "api/api.h"

#include "api/origin.h"
#include "api/replyjudgement.h"
#include "api/session.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>

Api::Api(QObject* parent) : QObject(parent)
{
    baseUrl = chooseServiceOrigin(qgetenv("KESTRUNEAI_BASE_URL"));
    token = loadSessionToken();
    proxies = new ProxyChoice;
    proxies->settings = loadProxySettings();
    network.setProxyFactory(proxies);
}

Api::~Api() = default;

void Api::useProxy(const ProxySettings& settings)
{
    proxies->settings = settings;
    network.clearConnectionCache();
}

QString Api::failureText(const QNetworkReply* reply) const
{
    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::NoError || !mayBeProxyFailure(error))
        return reply->errorString();
    const QList<QNetworkProxy> used = proxies->queryProxy(QNetworkProxyQuery(reply->url()));
    if (used.isEmpty() || used.first().type() == QNetworkProxy::NoProxy)
        return reply->errorString();
    return proxyFailureText(error, used.first());
}

void Api::request(const QByteArray& method, const QString& path, const QJsonObject& body,
                  ApiCallback callback)
{
    request(method, path, body,
            StatusCallback([callback = std::move(callback)](int, bool ok, const QJsonObject& reply,
                                                            const QString& error) {
                callback(ok, reply, error);
            }));
}

void Api::request(const QByteArray& method, const QString& path, const QJsonObject& body,
                  StatusCallback callback)
{
    QNetworkRequest request(baseUrl.resolved(QUrl(path, QUrl::TolerantMode)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(transferTimeoutMs);
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());

    const QByteArray payload = QJsonDocument(body).toJson(QJsonDocument::Compact);
    QNetworkReply* reply = nullptr;
    if (method == "GET")
        reply = network.get(request);
    else if (method == "POST")
        reply = network.post(request, payload);
    else
        reply = network.sendCustomRequest(request, method, payload);

    connect(reply, &QNetworkReply::finished, this, [this, reply, callback = std::move(callback)] {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const ReplyJudgement judgement =
            // A reply aborted by the time-out is closed: reading it would only complain.
            judgeReply(reply->isOpen() ? reply->readAll() : QByteArray(), status,
                       reply->error() != QNetworkReply::NoError, failureText(reply));
        reply->deleteLater();
        callback(status, judgement.ok, judgement.body, judgement.error);
    });
}
