// What the toolkit itself shows in the program speaks Chinese like the rest of it: the
// buttons of the rename dialog and the delete question, the transcript's context menu and
// the network layer's error texts.

#include "api/api.h"
#include "app/toolkittranslation.h"
#include "chat/chatwindow.h"
#include "probes.h"
#include "scriptedserver.h"
#include "testenvironment.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

namespace
{

// Latin letters outside the mnemonic in brackets that Chinese menus keep, as in "复制(C)".
bool hasLatinLetters(QString text)
{
    static const QRegularExpression mnemonic(QStringLiteral("\\([A-Za-z]\\)"));
    text.remove(mnemonic);
    for (QChar c : text)
        if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'))
            return true;
    return false;
}

// The visible texts of a dialog's buttons, without the mnemonic marks.
QStringList buttonTexts(QWidget* dialog)
{
    QStringList texts;
    for (QAbstractButton* button : dialog->findChildren<QAbstractButton*>())
        if (button->isVisibleTo(dialog))
            texts << button->text().remove(QLatin1Char('&'));
    texts.sort();
    return texts;
}

} // namespace

class TstToolkitTexts : public QObject
{
    Q_OBJECT

    ScriptedServer server;
    std::unique_ptr<Api> api;

private slots:
    void initTestCase()
    {
        installToolkitTranslation(*qApp);
        server.setHandler([](const RecordedRequest& request) {
            if (request.path == "/api/models")
                return ScriptedReply::json(200, R"({"models":[]})");
            return ScriptedReply::json(200, R"({"conversations":[]})");
        });
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        api = std::make_unique<Api>();
    }

    void dialogsOfTheWorkspace()
    {
        ChatWindow window(api.get(), QJsonObject{{"id", "t1"}, {"username", "tan"}}, [] {});
        const ChatWindowProbe probe(&window);
        probe.createPrivateThread();
        QVERIFY(probe.isPrivate());

        QStringList renameButtons;
        answerNextModal([&](QWidget* dialog) {
            renameButtons = buttonTexts(dialog);
            static_cast<QDialog*>(dialog)->reject();
        });
        probe.renameCurrent();
        QCOMPARE(renameButtons, (QStringList{QStringLiteral("取消"), QStringLiteral("确定")}));

        QStringList deleteButtons;
        answerNextModal([&](QWidget* dialog) {
            deleteButtons = buttonTexts(dialog);
            static_cast<QMessageBox*>(dialog)->button(QMessageBox::No)->click();
        });
        probe.deleteCurrent();
        QCOMPARE(deleteButtons.size(), 2);
        for (const QString& text : deleteButtons)
            QVERIFY2(text.startsWith(QStringLiteral("是")) || text.startsWith(QStringLiteral("否")),
                     qPrintable(text));
        QVERIFY(probe.isPrivate()); // "No" kept the thread
    }

    void transcriptContextMenu()
    {
        ChatWindow window(api.get(), QJsonObject{{"id", "t2"}, {"username", "tan"}}, [] {});
        MarkdownView* transcript = ChatWindowProbe(&window).transcript();
        transcript->setMarkdown(QStringLiteral("见 [帮助](https://kestrune.local/help)。"));
        const QPoint onLink =
            transcript->cursorRect(QTextCursor(transcript->document())).center() +
            QPoint(transcript->fontMetrics().horizontalAdvance(QStringLiteral("见 帮")), 0);
        std::unique_ptr<QMenu> menu(transcript->createStandardContextMenu(onLink));
        QStringList texts;
        for (QAction* action : menu->actions())
            if (!action->isSeparator())
                texts << action->text().remove(QLatin1Char('&'));
        QVERIFY(!texts.isEmpty());
        for (const QString& text : texts)
            QVERIFY2(!hasLatinLetters(text.section(QLatin1Char('\t'), 0, 0)), qPrintable(text));
        QVERIFY(texts.join(' ').contains(QStringLiteral("复制")));
        QVERIFY(texts.join(' ').contains(QStringLiteral("全选")));
    }

    void networkErrorsInChinese()
    {
        quint16 closedPort = 0;
        {
            ScriptedServer gone;
            closedPort = gone.port();
        }
        qputenv("KESTRUNEAI_BASE_URL",
                QByteArray("http://127.0.0.1:") + QByteArray::number(closedPort));
        Api refused;
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        QString error;
        bool done = false;
        refused.request("GET", "/api/me", {}, [&](bool, const QJsonObject&, const QString& text) {
            error = text;
            done = true;
        });
        QTRY_VERIFY(done);
        QVERIFY(!error.isEmpty());
        QVERIFY2(!hasLatinLetters(error), qPrintable(error));
    }
};

KESTRUNE_TEST_MAIN(TstToolkitTexts)
#include "tst_toolkittexts.moc"
