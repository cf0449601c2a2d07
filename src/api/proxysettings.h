#pragma once

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QString>

// How the client reaches the service: through the system's proxy configuration (the
// default), directly, or through a proxy the user names. Kept in the settings file, the
// password apart in the sealed "proxy.bin".
struct ProxySettings {
    enum class Mode { System, None, Http, Socks5 };

    Mode mode = Mode::System;
    QString host;
    int port = 0;
    QString user;
    QString password;

    bool manual() const { return mode == Mode::Http || mode == Mode::Socks5; }
    bool operator==(const ProxySettings&) const = default;
};

inline constexpr const char* proxyPasswordFileName = "proxy.bin";

ProxySettings loadProxySettings();
// False when something could not be written; the settings in use are then unchanged on disk
// as far as the failure allows, and the caller says so.
bool saveProxySettings(const ProxySettings& settings);

// What is wrong with a manual proxy's values, in words for the dialog; empty when nothing is.
QString proxySettingsProblem(const ProxySettings& settings);

// The proxy each request goes through. Loopback addresses are always reached directly: a
// proxy's own 127.0.0.1 is not this machine's, so the local service must never go there.
class ProxyChoice : public QNetworkProxyFactory
{
public:
    ProxySettings settings;

    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override;
};

// The proxy a manual setting names. An HTTP proxy is always asked to tunnel (CONNECT), so
// that a streamed reply passes through unbuffered and unchanged.
QNetworkProxy manualProxy(const ProxySettings& settings);

// Whether a transfer that went through a proxy may have failed there rather than at the
// service: the toolkit reports some failures to reach a proxy as plain network errors.
bool mayBeProxyFailure(QNetworkReply::NetworkError error);
// The text shown for such a failure, naming the proxy ("host:port").
QString proxyFailureText(QNetworkReply::NetworkError error, const QNetworkProxy& proxy);
