#pragma once

#include <QString>
#include <QTemporaryDir>
#include <QWidget>

#include <functional>

// Points HOME and the XDG data and configuration folders at a fresh temporary
// directory, so that no test touches a real user's files or another test's.
// Windows has no such variables: there the toolkit's test mode moves the application's
// folders under "qttest" in the user's AppData, emptied before and after the run (so the
// test programs there run one at a time).
// Create it first thing in main, before the application object.
class IsolatedHome
{
public:
    IsolatedHome();
    ~IsolatedHome();
    IsolatedHome(const IsolatedHome&) = delete;
    IsolatedHome& operator=(const IsolatedHome&) = delete;
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
};

// Where the client keeps its sealed files under the isolated home.
QString appDataDirectory();
// The per-user sealing key (off Windows).
QString sealingKeyPath();

// True in a Windows program that Wine runs (Wine's data protection, for one, does not
// detect every change to a sealed blob that Windows refuses).
bool runningUnderWine();

// Answers the next modal dialog (QInputDialog, QMessageBox) as soon as it is open.
void answerNextModal(std::function<void(QWidget* dialog)> answer);

// A test main: isolated home, offscreen platform, application name "KestruneAI".
#define KESTRUNE_TEST_MAIN(TestClass)                                                              \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        IsolatedHome home;                                                                         \
        qputenv("QT_QPA_PLATFORM", "offscreen");                                                   \
        QApplication app(argc, argv);                                                              \
        QApplication::setApplicationName(QStringLiteral("KestruneAI"));                            \
        TestClass test;                                                                            \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
