#include "api/proxysettings.h"

#include "api/sealedfile.h"
#include "api/settingsfile.h"

#include <QFile>
#include <QHostAddress>
#include <QUrl>

namespace
{

const QString modeKey = QStringLiteral("network/proxy");
const QString hostKey = QStringLiteral("network/host");
const QString portKey = QStringLiteral("network/port");
const QString userKey = QStringLiteral("network/user");

QString modeName(ProxySettings::Mode mode)
{
    switch (mode) {
    case ProxySettings::Mode::None:
        return QStringLiteral("none");
    case ProxySettings::Mode::Http:
        return QStringLiteral("http");
    case ProxySettings::Mode::Socks5:
        return QStringLiteral("socks5");
    case ProxySettings::Mode::System:
        break;
    }
    return QStringLiteral("system");
}

bool validHost(const QString& host)
{
    if (host.isEmpty() || host.size() > 253)
        return false;
    if (!QHostAddress(host).isNull())
        return true;
    // A name as a URL would carry it: no spaces, slashes, "@" or a port of its own.
    const QUrl url(QStringLiteral("http://") + host, QUrl::StrictMode);
    return url.isValid() && url.host(QUrl::FullyDecoded).compare(host, Qt::CaseInsensitive) == 0 &&
           url.port() == -1 && url.userInfo().isEmpty() && url.path().isEmpty();
}

bool isLoopback(const QString& host)
{
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
           QHostAddress(host).isLoopback();
}

} // namespace

ProxySettings loadProxySettings()
{
    ProxySettings settings;
    const QString mode =
        settingsfile::read(modeKey, QStringLiteral("system"), [](const QString& text) {
            return text == QLatin1String("system") || text == QLatin1String("none") ||
                   text == QLatin1String("http") || text == QLatin1String("socks5");
        }).toString();
    settings.mode = mode == QLatin1String("none")     ? ProxySettings::Mode::None
                    : mode == QLatin1String("http")   ? ProxySettings::Mode::Http
                    : mode == QLatin1String("socks5") ? ProxySettings::Mode::Socks5
                                                      : ProxySettings::Mode::System;
    if (!settings.manual())
        return settings;
    settings.host = settingsfile::read(hostKey, QString(), validHost).toString();
    settings.port = settingsfile::readInt(portKey, 0, 1, 65535);
    settings.user = settingsfile::read(userKey, QString(), [](const QString& text) {
                        return text.size() <= 255;
                    }).toString();
    if (!settings.user.isEmpty())
        settings.password = QString::fromUtf8(readSealedFile(proxyPasswordFileName));
    // A manual proxy without a usable address cannot be what the user wants: the default.
    if (!proxySettingsProblem(settings).isEmpty())
        return ProxySettings();
    return settings;
}

bool saveProxySettings(const ProxySettings& settings)
{
    const auto file = settingsfile::open();
    file->setValue(modeKey, modeName(settings.mode));
    if (settings.manual()) {
        file->setValue(hostKey, settings.host);
        file->setValue(portKey, settings.port);
        file->setValue(userKey, settings.user);
    } else {
        file->remove(hostKey);
        file->remove(portKey);
        file->remove(userKey);
    }
    file->sync();
    bool saved = file->status() == QSettings::NoError;
    if (settings.manual() && !settings.password.isEmpty()) {
        saved = writeSealedFile(proxyPasswordFileName, settings.password.toUtf8()) && saved;
    } else {
        const QString path = appDataFilePath(proxyPasswordFileName);
        saved = (!QFile::exists(path) || QFile::remove(path)) && saved;
    }
    return saved;
}

QString proxySettingsProblem(const ProxySettings& settings)
{
    if (!settings.manual())
        return {};
    if (settings.host.trimmed().isEmpty())
        return QStringLiteral("请填写代理服务器地址。");
    if (!validHost(settings.host))
        return QStringLiteral("代理服务器地址无效，请填写主机名或 IP 地址，不含端口和“://”。");
    if (settings.port < 1 || settings.port > 65535)
        return QStringLiteral("端口应为 1 到 65535 之间的数字。");
    if (settings.user.size() > 255 || settings.password.size() > 255)
        return QStringLiteral("用户名和密码各不能超过 255 个字符。");
    if (settings.user.isEmpty() && !settings.password.isEmpty())
        return QStringLiteral("填写了密码时，请一并填写用户名。");
    return {};
}

QNetworkProxy manualProxy(const ProxySettings& settings)
{
    const bool http = settings.mode == ProxySettings::Mode::Http;
    QNetworkProxy proxy(http ? QNetworkProxy::HttpProxy : QNetworkProxy::Socks5Proxy, settings.host,
                        quint16(settings.port), settings.user, settings.password);
    if (http)
        proxy.setCapabilities(proxy.capabilities() & ~QNetworkProxy::CachingCapability);
    return proxy;
}

QList<QNetworkProxy> ProxyChoice::queryProxy(const QNetworkProxyQuery& query)
{
    if (isLoopback(query.peerHostName()) || settings.mode == ProxySettings::Mode::None)
        return {QNetworkProxy(QNetworkProxy::NoProxy)};
    if (settings.manual())
        return {manualProxy(settings)};
    return systemProxyForQuery(query);
}

bool mayBeProxyFailure(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::UnknownNetworkError:
        return true;
    default:
        return error >= QNetworkReply::ProxyConnectionRefusedError &&
               error <= QNetworkReply::UnknownProxyError;
    }
}

QString proxyFailureText(QNetworkReply::NetworkError error, const QNetworkProxy& proxy)
{
    const QString name = QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
    switch (error) {
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("代理服务器 %1 拒绝连接，请检查网络设置。").arg(name);
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("代理服务器 %1 意外断开了连接，请重试或检查网络设置。").arg(name);
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("找不到代理服务器 %1，请检查网络设置。").arg(name);
    case QNetworkReply::ProxyTimeoutError:
        return QStringLiteral("代理服务器 %1 响应超时，请重试或检查网络设置。").arg(name);
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return QStringLiteral(
                   "代理服务器 %1 要求登录，或拒绝了所填的用户名和密码，请在网络设置中检查。")
            .arg(name);
    default:
        return QStringLiteral("通过代理服务器 %1 连接失败，请检查网络设置。").arg(name);
    }
}
