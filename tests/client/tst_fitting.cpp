// Long texts from the service or the user never push a window off a small screen: titles,
// the account name, model names and list items are cut with "…" (the whole text in a tool
// tip), wrapped lines cut an overlong word, and the sign-in window's height follows its
// content without outgrowing the screen. The screen is a 1366 × 720 work area, as on a
// 768 px display with a panel.

#include "api/api.h"
#include "app/theme.h"
#include "chat/chatwindow.h"
#include "login/loginwindow.h"
#include "probes.h"
#include "scriptedserver.h"
#include "signintesting.h"
#include "testenvironment.h"
#include "widgetfinder.h"
#include "widgets/elidedlabel.h"
#include "workspacetesting.h"

#include <QApplication>
#include <QHelpEvent>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QScreen>
#include <QToolTip>
#include <QtTest>

#include <memory>

namespace
{

const QString longTitle = QStringLiteral("季度复盘：") + QString(60, QChar(u'长')) +
                          QStringLiteral(" and a rather long English tail as well");
const QString longWord = QStringLiteral("https://example.com/") + QString(300, QLatin1Char('x'));

QByteArray json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The tool tip the widget shows when the pointer rests on it, or empty.
QString toolTipOf(QWidget* widget)
{
    QToolTip::hideText();
    if (!QTest::qWaitFor([] { return !QToolTip::isVisible(); }))
        return QStringLiteral("(a tool tip stays open)");
    QHelpEvent event(QEvent::ToolTip, QPoint(5, 5), widget->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(widget, &event);
    return QToolTip::isVisible() ? QToolTip::text() : QString();
}

// The widget lies wholly inside its window.
bool insideWindow(QWidget* widget)
{
    const QRect inWindow(widget->mapTo(widget->window(), QPoint(0, 0)), widget->size());
    return widget->window()->rect().contains(inWindow);
}

} // namespace

class TstFitting : public QObject
{
    Q_OBJECT

    ScriptedServer server;
    std::unique_ptr<Api> api;
    QString modelName = QStringLiteral("回声");
    QString listTitle = QStringLiteral("周报");
    QString conversationTitle = QStringLiteral("周报");

    std::unique_ptr<ChatWindow> openWorkspace(const QString& username = QStringLiteral("demo"))
    {
        const QJsonObject user{{"id", "u1"}, {"username", username}, {"points", 120}};
        auto window = std::make_unique<ChatWindow>(api.get(), user, [] {});
        window->show();
        const ChatWindowProbe probe(window.get());
        if (!QTest::qWaitForWindowExposed(window.get()) || !QTest::qWaitFor([&] {
                return probe.modelSelect()->count() == 1 && probe.conversationList()->count() == 1;
            }))
            return nullptr;
        return window;
    }

    QRect workArea() const { return QGuiApplication::primaryScreen()->availableGeometry(); }

private slots:
    void initTestCase()
    {
        applyTheme(*qApp);
        QCOMPARE(workArea().size(), QSize(1366, 720));
        server.setHandler([this](const RecordedRequest& request) {
            if (request.path == "/api/models")
                return ScriptedReply::json(
                    200, json({{"models", QJsonArray{QJsonObject{{"id", "m1"},
                                                                 {"display_name", modelName},
                                                                 {"points_per_100", 2}}}}}));
            if (request.path == "/api/conversations")
                return ScriptedReply::json(
                    200, json({{"conversations",
                                QJsonArray{QJsonObject{{"id", "c1"}, {"title", listTitle}}}}}));
            if (request.path == "/api/conversations/c1")
                return ScriptedReply::json(
                    200, json({{"conversation",
                                QJsonObject{{"title", conversationTitle}, {"model", "m1"}}},
                               {"messages", QJsonArray()}}));
            if (request.path == "/api/auth/register")
                return ScriptedReply::json(200, R"({"pending_id":"p1"})");
            return ScriptedReply::json(404, R"({"error":"没有这个接口。"})");
        });
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        api = std::make_unique<Api>();
    }

    void init()
    {
        modelName = QStringLiteral("回声");
        listTitle = conversationTitle = QStringLiteral("周报");
    }

    void longTitleIsCutNotWidened_data()
    {
        QTest::addColumn<bool>("privateThread");
        QTest::newRow("cloud conversation") << false;
        QTest::newRow("private thread") << true;
    }

    void longTitleIsCutNotWidened()
    {
        QFETCH(bool, privateThread);
        listTitle = conversationTitle = longTitle;
        auto window = openWorkspace();
        QVERIFY(window);
        const ChatWindowProbe probe(window.get());
        const QSize before = window->size();
        if (privateThread) {
            probe.createPrivateThread();
            answerNextTextInput(longTitle, true);
            probe.renameCurrent();
        } else {
            probe.openConversation(probe.conversationList()->item(0));
            QTRY_COMPARE(probe.chatTitle()->text(), longTitle);
        }
        QApplication::processEvents();

        QCOMPARE(probe.chatTitle()->text(), longTitle); // rename and delete read it whole
        QCOMPARE(window->size(), before);
        QVERIFY(window->minimumSizeHint().width() <= before.width());
        auto* title = static_cast<ElidedLabel*>(probe.chatTitle());
        QVERIFY(title->isElided());
        QCOMPARE(toolTipOf(title), longTitle);
        for (QWidget* control :
             {static_cast<QWidget*>(probe.modeBadge()), static_cast<QWidget*>(probe.renameButton()),
              static_cast<QWidget*>(probe.deleteButton()),
              static_cast<QWidget*>(probe.sendButton())})
            QVERIFY2(insideWindow(control), qPrintable(control->objectName()));

        // Opening a short title again shows it whole, without a tool tip.
        probe.startNewConversation();
        QVERIFY(!title->isElided());
        QCOMPARE(toolTipOf(title), QString());
    }

    void longServiceAndUserTextsKeepTheWidth()
    {
        modelName = QStringLiteral("超长模型名称") + QString(80, QChar(u'模'));
        listTitle = longTitle;
        auto window = openWorkspace(QStringLiteral("user_") + QString(60, QLatin1Char('n')));
        QVERIFY(window);
        const ChatWindowProbe probe(window.get());
        probe.chatNotice()->setText(longWord);
        QApplication::processEvents();

        QCOMPARE(window->width(), 1160);
        QVERIFY(window->minimumSizeHint().width() <= 1160);
        QVERIFY(insideWindow(probe.sendButton()));
        // The sidebar keeps its width: the account name is cut, the list item shows "…".
        auto* account = static_cast<ElidedLabel*>(probe.accountLabel());
        QVERIFY(account->isElided());
        QVERIFY(toolTipOf(account).startsWith(QStringLiteral("user_nnn")));
        QCOMPARE(probe.conversationList()->item(0)->toolTip(), longTitle);
        QVERIFY(insideWindow(probe.modelSelect()));
    }

    void renameDialogFitsTheScreen()
    {
        listTitle = conversationTitle = longTitle + longTitle + longTitle;
        auto window = openWorkspace();
        QVERIFY(window);
        const ChatWindowProbe probe(window.get());
        probe.openConversation(probe.conversationList()->item(0));
        QTRY_COMPARE(probe.chatTitle()->text(), conversationTitle);
        int dialogWidth = 0;
        QString offered;
        answerNextModal([&](QWidget* dialog) {
            dialogWidth = dialog->frameGeometry().width();
            offered = static_cast<QInputDialog*>(dialog)->textValue();
            static_cast<QInputDialog*>(dialog)->reject();
        });
        probe.renameCurrent();
        QCOMPARE(offered, conversationTitle);
        QVERIFY(dialogWidth > 0);
        QVERIFY2(dialogWidth <= workArea().width(), qPrintable(QString::number(dialogWidth)));
    }

    void signInWindowKeepsItsWidthForLongTexts()
    {
        LoginWindow window(api.get(), [](QJsonObject) {});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const LoginWindowProbe probe(&window);
        QVERIFY(registerUntilCodeRow(probe, QString(200, QLatin1Char('a')) +
                                                QStringLiteral("@example.com")));
        probe.statusLabel()->setText(longWord);
        QApplication::processEvents();
        QCOMPARE(window.width(), 900);
        QVERIFY(window.minimumSizeHint().width() <= 900);
        QVERIFY(insideWindow(byName<QPushButton>(&window, "secondaryButton")));
    }

    void signInHeightFollowsTheCodeRow()
    {
        LoginWindow window(api.get(), [](QJsonObject) {});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const LoginWindowProbe probe(&window);
        QCOMPARE(window.height(), 560);
        const int frame = window.frameGeometry().height() - window.height();

        QVERIFY(registerUntilCodeRow(probe, QStringLiteral("a.rather.long.address@example.com")));
        QApplication::processEvents();
        const int grown = window.height();
        QVERIFY2(grown > 560, qPrintable(QString::number(grown)));
        QVERIFY(grown + frame <= workArea().height());

        // Back to signing in: the row and the hint go, and so does the extra height.
        probe.textButton()->click();
        QApplication::processEvents();
        QCOMPARE(window.height(), 560);
        // Register mode without the row takes what its fields need, and gives it back.
        probe.textButton()->click();
        QVERIFY(window.height() >= window.minimumHeight());
        probe.textButton()->click();
        QCOMPARE(window.height(), 560);
    }
};

int main(int argc, char** argv)
{
    IsolatedHome home;
    // One screen whose work area is that of a 1366 × 768 display less a panel. The platform
    // options are separated by colons, so the file is named relative to the working folder
    // (a Windows path would bring its drive letter's colon).
    const QString configName = QStringLiteral("tst_fitting-screen.json");
    QFile config(configName);
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 1;
    config.write(R"({"windowFrameMargins":true,"screens":[{"name":"small","x":0,"y":0,)"
                 R"("width":1366,"height":720,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]})");
    config.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + configName.toUtf8());
    int result = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("KestruneAI"));
        TstFitting test;
        QTEST_SET_MAIN_SOURCE_PATH
        result = QTest::qExec(&test, argc, argv);
    }
    QFile::remove(configName);
    return result;
}

#include "tst_fitting.moc"
