#pragma once

// Helpers for tests of the workspace's conversation lists and private store.

#include "scriptedserver.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <vector>

class QListWidget;
class QMenu;
class QWidget;

// Item texts and Qt::UserRole ids of a list, top to bottom.
QStringList itemTexts(const QListWidget* list);
QStringList itemIds(const QListWidget* list);
// Text of the current item, or empty when none is current.
QString currentItemId(const QListWidget* list);

// The document sealed in `fileName` of the application-data directory; empty if unreadable.
QJsonObject sealedDocument(const QString& fileName);
// The raw bytes of a file; empty when it cannot be read.
QByteArray fileBytes(const QString& path);

// While alive, saves fail for real, even for root, whom file permissions do not stop. Unix:
// every write to a regular file by this process fails (RLIMIT_FSIZE 0, SIGXFSZ ignored).
// Windows: every file in the application-data folder is held open without delete sharing,
// so none of them can be replaced.
class FailingFileWrites
{
public:
    FailingFileWrites();
    ~FailingFileWrites();
    FailingFileWrites(const FailingFileWrites&) = delete;
    FailingFileWrites& operator=(const FailingFileWrites&) = delete;

private:
    std::uint64_t previousSoftLimit = 0;
    void (*previousHandler)(int) = nullptr;
    std::vector<void*> heldFiles;
};

// Answers the next QInputDialog: types `text` and accepts, or cancels when `accept` is false.
// The dialog's window title, label and initial text are stored in the given strings.
struct SeenInputDialog {
    QString title;
    QString label;
    QString initialText;
    bool normalEcho = false;
};
void answerNextTextInput(const QString& text, bool accept, SeenInputDialog* seen = nullptr);

// Answers the next QMessageBox by clicking Yes or No; records its title, text and buttons.
struct SeenMessageBox {
    QString title;
    QString text;
    int buttons = 0;
};
void answerNextQuestion(bool yes, SeenMessageBox* seen = nullptr);

// Answers the next context menu: `answer` gets the menu once it is shown.
void answerNextMenu(std::function<void(QMenu*)> answer);
// The texts of a menu's entries, separators as empty texts.
QStringList actionTexts(const QMenu* menu);
// Closes the menu and triggers its entry `text` (nothing when it has none).
void trigger(QMenu* menu, const QString& text);

// Answers the next file dialog with `path`, or cancels it when `path` is empty; records the
// file name it suggested.
struct SeenFileDialog {
    QString suggestedName;
    bool opened = false;
};
void answerFileDialog(const QString& path, SeenFileDialog* seen);

// A service that offers two models, "m-one" ("One", 1 point per 100) and "m-two" ("Two", 2),
// and answers every other request with `conversations` (the cloud list's JSON).
ScriptedServer::Handler twoModelService(const QByteArray& conversations);
