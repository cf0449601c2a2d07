#include "testenvironment.h"

#include <QApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTimer>

IsolatedHome::IsolatedHome()
{
    const QString root = dir.path();
    for (const char* sub : {"data", "config", "cache", "runtime"})
        QDir(root).mkpath(QString::fromLatin1(sub));
    qputenv("HOME", root.toUtf8());
    qputenv("XDG_DATA_HOME", (root + "/data").toUtf8());
    qputenv("XDG_CONFIG_HOME", (root + "/config").toUtf8());
    qputenv("XDG_CACHE_HOME", (root + "/cache").toUtf8());
    qputenv("XDG_RUNTIME_DIR", (root + "/runtime").toUtf8());
    QFile::setPermissions(root + "/runtime",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QString appDataDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

QString sealingKeyPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + "/sealing.key";
}

void answerNextModal(std::function<void(QWidget* dialog)> answer)
{
    QTimer::singleShot(0, qApp, [answer = std::move(answer)] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            answer(dialog);
            return;
        }
        answerNextModal(answer); // not open yet: look again on the next turn
    });
}
