#include "serverprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#ifdef Q_OS_WIN

#include <windows.h>

namespace
{

// The path of this machine's file system that Wine shows as `windowsPath`.
QString unixPath(const QString& windowsPath)
{
    using Convert = char*(__cdecl*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert)
        return windowsPath;
    const QString native = QDir::toNativeSeparators(windowsPath);
    char* converted = convert(reinterpret_cast<const wchar_t*>(native.utf16()));
    if (!converted)
        return {};
    const QString result = QString::fromLocal8Bit(converted);
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool accepting(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

} // namespace

ServerProcess::ServerProcess(const QStringList& extraArguments)
{
    lease = data.path() + "/lease";
    QFile leaseFile(lease);
    if (!leaseFile.open(QIODevice::WriteOnly))
        return;
    leaseFile.close();
    const quint16 chosen = freePort();
    const QString folder = unixPath(data.path());
    QStringList arguments{"--listen", QStringLiteral("127.0.0.1:%1").arg(chosen), "--data", folder,
                          "--outbox", folder + "/outbox", "--stop-when-missing", folder + "/lease",
                          // Removing the lease stands in for a crash: no balancer to move away
                          // first, and replies under way are ended, not let finish.
                          "--drain-notice", "0", "--drain", "0"};
    arguments += extraArguments;
    if (!QProcess::startDetached(QStringLiteral(KESTRUNE_SERVER_PATH), arguments))
        return;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 20000) {
        if (accepting(chosen)) {
            port = chosen;
            return;
        }
        QThread::msleep(100);
    }
}

ServerProcess::~ServerProcess()
{
    kill();
}

void ServerProcess::kill()
{
    if (lease.isEmpty() || !QFile::exists(lease))
        return;
    QFile::remove(lease);
    QElapsedTimer timer;
    timer.start();
    while (port != 0 && accepting(port) && timer.elapsed() < 5000)
        QThread::msleep(50);
}

#else

ServerProcess::ServerProcess(const QStringList& extraArguments)
{
    QStringList arguments{"--listen", "127.0.0.1:0",     "--data",         data.path(),
                          "--outbox", outboxDirectory(), "--drain-notice", "0"};
    arguments += extraArguments;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(QStringLiteral(KESTRUNE_SERVER_PATH), arguments);
    if (!process.waitForStarted(10000))
        return;
    static const QRegularExpression listening(QStringLiteral("listening on https?://[^:]+:(\\d+)"));
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 20000) {
        if (!process.waitForReadyRead(200) && process.state() != QProcess::Running)
            return;
        log += QString::fromUtf8(process.readAllStandardOutput());
        const QRegularExpressionMatch match = listening.match(log);
        if (match.hasMatch()) {
            port = match.captured(1).toUShort();
            return;
        }
    }
}

ServerProcess::~ServerProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(3000)) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
}

void ServerProcess::kill()
{
    process.kill();
    process.waitForFinished(3000);
}

#endif

QString ServerProcess::origin() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}

QString ServerProcess::latestCodeFor(const QString& email) const
{
    QDir outbox(outboxDirectory());
    const QFileInfoList mails = outbox.entryInfoList({"*.eml"}, QDir::Files, QDir::Time);
    static const QRegularExpression code(QStringLiteral("(?<!\\d)(\\d{6})(?!\\d)"));
    for (const QFileInfo& info : mails) {
        QFile file(info.absoluteFilePath());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString mail = QString::fromUtf8(file.readAll());
        if (!mail.contains(email, Qt::CaseInsensitive))
            continue;
        const qsizetype bodyStart = mail.indexOf(QStringLiteral("\r\n\r\n"));
        const QString body = bodyStart >= 0 ? mail.mid(bodyStart) : mail.mid(mail.indexOf("\n\n"));
        const QRegularExpressionMatch match = code.match(body);
        if (match.hasMatch())
            return match.captured(1);
    }
    return {};
}
