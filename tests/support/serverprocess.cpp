#include "serverprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>

ServerProcess::ServerProcess(const QStringList& extraArguments)
{
    QStringList arguments{"--listen",  "127.0.0.1:0", "--data",
                          data.path(), "--outbox",    outboxDirectory()};
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

void ServerProcess::kill()
{
    process.kill();
    process.waitForFinished(3000);
}
