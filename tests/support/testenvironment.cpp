#include "testenvironment.h"

#include <QApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTimer>

#ifdef Q_OS_WIN
#include <windows.h>

#include <shlobj.h>

namespace
{

QString knownFolder(const KNOWNFOLDERID& id)
{
    PWSTR path = nullptr;
    QString result;
    if (SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path) == S_OK)
        result = QDir::fromNativeSeparators(QString::fromWCharArray(path));
    CoTaskMemFree(path);
    return result;
}

// The folders the toolkit's test mode writes to: roaming (application data) and local
// (application configuration).
void removeTestModeFolders()
{
    for (const KNOWNFOLDERID* id : {&FOLDERID_RoamingAppData, &FOLDERID_LocalAppData}) {
        const QString base = knownFolder(*id);
        if (!base.isEmpty())
            QDir(base + "/qttest").removeRecursively();
    }
}

} // namespace

IsolatedHome::IsolatedHome()
{
    QStandardPaths::setTestModeEnabled(true);
    removeTestModeFolders();
}

IsolatedHome::~IsolatedHome()
{
    removeTestModeFolders();
}

#else

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

IsolatedHome::~IsolatedHome() = default;

#endif

bool runningUnderWine()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
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
