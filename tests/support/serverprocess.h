#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The real kestrune-server on a free loopback port with a temporary data folder,
// for end-to-end tests. Stopped when the object goes.
//
// A Windows test program under Wine starts the service built for this machine. Wine lets it
// start such a program but not read its output, wait for it or signal it: there the port is
// chosen beforehand, readiness is seen by connecting, the service's output goes to the test's
// own, and it stops when its lease file is removed (kill() too, which then ends it in order).
class ServerProcess
{
public:
    // `extraArguments` e.g. {"--demo", "--stream-delay-ms", "20"}.
    explicit ServerProcess(const QStringList& extraArguments = {});
    ~ServerProcess();

    bool started() const { return port != 0; }
    QString origin() const; // "http://127.0.0.1:<port>"
    QString dataDirectory() const { return data.path(); }
    QString outboxDirectory() const { return data.path() + "/outbox"; }
    // The six-digit code of the newest verification mail sent to `email`, or empty.
    QString latestCodeFor(const QString& email) const;
    void kill(); // ends the server at once, as a crash would
    QString output() const { return log; }

private:
    QTemporaryDir data;
    QProcess process;
    QString lease; // under Wine: the file whose removal stops the service
    quint16 port = 0;
    QString log;
};
