#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

// A loopback proxy for tests that sends every connection, whatever host it names, to one port
// on 127.0.0.1: so a client that reaches a made-up host name has certainly gone through it.
// HTTP: CONNECT tunnels, and plain requests in absolute form (as a system proxy gets them),
// one per connection. SOCKS5: CONNECT, with user name and password (RFC 1929) or without.
// With credentials set, a client must present them: an HTTP client is asked with 407, a
// SOCKS5 client that offers no password method is refused.
class ScriptedProxy : public QObject
{
public:
    enum class Kind { Http, Socks5 };

    ScriptedProxy(Kind kind, quint16 targetPort, QString user = {}, QString password = {});
    ~ScriptedProxy() override;

    quint16 port() const { return server.serverPort(); }

    // "host:port" of every tunnel or request the proxy opened, in order.
    QStringList opened;
    // Of those, the plain HTTP requests passed on (not tunnelled).
    int forwardedRequests = 0;
    // How often a client was asked for credentials or gave wrong ones.
    int credentialsRefused = 0;

private:
    struct Client;
    void accept();
    void readHttp(Client* client);
    void readSocks(Client* client);
    void connectTarget(Client* client, const QString& named, const QByteArray& firstBytes,
                       const QByteArray& answer);

    Kind kind;
    quint16 targetPort;
    QString user;
    QString password;
    QTcpServer server;
};
