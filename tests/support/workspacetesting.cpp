#include "workspacetesting.h"

#include "api/api.h"
#include "testenvironment.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QJsonDocument>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>

#include <csignal>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif
#ifdef Q_OS_WIN
#include <QDir>
#include <windows.h>
#endif

QStringList itemTexts(const QListWidget* list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

QStringList itemIds(const QListWidget* list)
{
    QStringList ids;
    for (int i = 0; i < list->count(); ++i)
        ids << list->item(i)->data(Qt::UserRole).toString();
    return ids;
}

QString currentItemId(const QListWidget* list)
{
    const QListWidgetItem* item = list->currentItem();
    return item ? item->data(Qt::UserRole).toString() : QString();
}

QJsonObject sealedDocument(const QString& fileName)
{
    return QJsonDocument::fromJson(readSealedFile(fileName)).object();
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

FailingFileWrites::FailingFileWrites()
{
#ifdef Q_OS_UNIX
    previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    previousSoftLimit = limit.rlim_cur;
    limit.rlim_cur = 0;
    setrlimit(RLIMIT_FSIZE, &limit);
#endif
#ifdef Q_OS_WIN
    const QDir folder(appDataDirectory());
    for (const QString& name : folder.entryList(QDir::Files)) {
        const QString path = QDir::toNativeSeparators(folder.absoluteFilePath(name));
        HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            heldFiles.push_back(handle);
    }
#endif
}

FailingFileWrites::~FailingFileWrites()
{
#ifdef Q_OS_WIN
    for (void* handle : heldFiles)
        CloseHandle(handle);
#endif
#ifdef Q_OS_UNIX
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(previousSoftLimit);
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previousHandler);
#endif
}

void answerNextTextInput(const QString& text, bool accept, SeenInputDialog* seen)
{
    answerNextModal([text, accept, seen](QWidget* widget) {
        auto* dialog = qobject_cast<QInputDialog*>(widget);
        if (!dialog) {
            widget->close();
            return;
        }
        if (seen) {
            seen->title = dialog->windowTitle();
            seen->label = dialog->labelText();
            seen->initialText = dialog->textValue();
            seen->normalEcho = dialog->textEchoMode() == QLineEdit::Normal;
        }
        if (!accept) {
            dialog->reject();
            return;
        }
        dialog->setTextValue(text);
        dialog->accept();
    });
}

void answerNextQuestion(bool yes, SeenMessageBox* seen)
{
    answerNextModal([yes, seen](QWidget* widget) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box) {
            widget->close();
            return;
        }
        if (seen) {
            seen->title = box->windowTitle();
            seen->text = box->text();
            seen->buttons = int(box->standardButtons());
        }
        box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
    });
}

void answerNextMenu(std::function<void(QMenu*)> answer)
{
    QTimer::singleShot(0, qApp, [answer = std::move(answer)] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            answer(menu);
            return;
        }
        answerNextMenu(answer);
    });
}

QStringList actionTexts(const QMenu* menu)
{
    QStringList texts;
    for (const QAction* action : menu->actions())
        texts << action->text();
    return texts;
}

void trigger(QMenu* menu, const QString& text)
{
    for (QAction* action : menu->actions()) {
        if (action->text() == text) {
            menu->close();
            action->trigger();
            return;
        }
    }
    menu->close();
}

void answerFileDialog(const QString& path, SeenFileDialog* seen)
{
    answerNextModal([path, seen](QWidget* widget) {
        auto* dialog = qobject_cast<QFileDialog*>(widget);
        if (!dialog) {
            widget->close();
            return;
        }
        seen->opened = true;
        seen->suggestedName = QFileInfo(dialog->selectedFiles().value(0)).fileName();
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->accept(); // the file dialog's own, through its base
    });
}

ScriptedServer::Handler twoModelService(const QByteArray& conversations)
{
    return [conversations](const RecordedRequest& request) {
        if (request.path == "/api/models")
            return ScriptedReply::json(
                200, R"({"models":[{"id":"m-one","display_name":"One","points_per_100":1},)"
                     R"({"id":"m-two","display_name":"Two","points_per_100":2}]})");
        return ScriptedReply::json(200, conversations);
    };
}
