#include "api/api.h"
#include "app/theme.h"
#include "chat/chatwindow.h"
#include "login/loginwindow.h"
#include "probes.h"
#include "scriptedserver.h"
#include "signintesting.h"
#include "testenvironment.h"
#include "widgetfinder.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QFontInfo>
#include <QGlyphRun>
#include <QImage>
#include <QItemSelectionModel>
#include <QJsonArray>
#include <QRawFont>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

namespace
{

// Antialiasing and rounding may shift a channel by a few steps.
constexpr int tolerance = 6;

int distance(QColor a, QColor b)
{
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()),
                     std::abs(a.blue() - b.blue())});
}

QImage snapshot(QWidget* window)
{
    return window->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

QRect rectIn(QWidget* window, QWidget* widget)
{
    return QRect(widget->mapTo(window, QPoint(0, 0)), widget->size());
}

// Left of the middle of a widget: clear of centred text and of rounded corners.
QColor fillOf(const QImage& image, QWidget* window, QWidget* widget)
{
    const QRect r = rectIn(window, widget);
    return image.pixelColor(r.left() + 6, r.center().y());
}

// How close any pixel of the area comes to `colour`. Text is found this way: its fully
// covered pixels carry the text colour exactly.
int nearest(const QImage& image, const QRect& area, QColor colour)
{
    int best = 255;
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            best = std::min(best, distance(image.pixelColor(x, y), colour));
    return best;
}

#define COMPARE_COLOUR(actual, expected)                                                           \
    QVERIFY2(distance((actual), QColor(expected)) <= tolerance,                                    \
             qPrintable(QStringLiteral("%1 instead of %2").arg((actual).name(), expected)))

void repolish(QWidget* widget)
{
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
}

} // namespace

class Tst_theme : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void styleFontAndSheet();
    void fontWeights_data();
    void fontWeights();
    void workspaceFills();
    void modeBadgeFollowsPrivateProperty();
    void modelSelectorShowsItsArrow();
    void disabledTextColours_data();
    void disabledTextColours();
    void signInColours();
    void formLineEditBorderIgnoresFocus();
    void codeRowLeavesFieldsWhole();
    void modelListHighlightIsPaleTeal();
    void scrollBarsTakeTheThemeColours();
    void emojiAreDrawnInColour();

private:
    ChatWindow* openWorkspace();
    LoginWindow* openSignIn();

    ScriptedServer server;
    std::unique_ptr<Api> api;
    std::unique_ptr<ChatWindow> chat;
    std::unique_ptr<LoginWindow> login;
};

void Tst_theme::initTestCase()
{
    applyTheme(*qApp);
    QCursor::setPos(-1000, -1000); // no hover look on any button
    server.setHandler([](const RecordedRequest& request) {
        if (request.path == "/api/models")
            return ScriptedReply::json(
                200, R"({"models":[{"id":"echo","display_name":"回声","points_per_100":2}]})");
        if (request.path == "/api/conversations")
            return ScriptedReply::json(200, R"({"conversations":[{"id":"c1","title":"周报"}]})");
        if (request.path == "/api/auth/register")
            return ScriptedReply::json(200, R"({"pending_id":"p1"})");
        return ScriptedReply::json(404, R"({"error":"没有这个接口。"})");
    });
    qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
    api = std::make_unique<Api>();
}

void Tst_theme::cleanup()
{
    chat.reset();
    login.reset();
}

ChatWindow* Tst_theme::openWorkspace()
{
    const QJsonObject user{{"id", "u1"}, {"username", "demo"}, {"points", 120}};
    chat = std::make_unique<ChatWindow>(api.get(), user, [] {});
    chat->show();
    // The models arriving shows the window is wired to the scripted server and laid out.
    const bool ready = QTest::qWaitForWindowExposed(chat.get()) && QTest::qWaitFor([this] {
                           return ChatWindowProbe(chat.get()).modelSelect()->count() == 1;
                       });
    return ready ? chat.get() : nullptr;
}

LoginWindow* Tst_theme::openSignIn()
{
    login = std::make_unique<LoginWindow>(api.get(), [](QJsonObject) {});
    login->show();
    return QTest::qWaitForWindowExposed(login.get()) ? login.get() : nullptr;
}

void Tst_theme::styleFontAndSheet()
{
    // With a sheet applied the toolkit wraps the chosen style; lift the sheet to see it.
    const QString sheet = qApp->styleSheet();
    qApp->setStyleSheet(QString());
    const QString styleName = QApplication::style()->name();
    qApp->setStyleSheet(sheet);
    QCOMPARE(styleName.toLower(), QStringLiteral("fusion"));

    const QFont font = QApplication::font();
    QCOMPARE(font.family(), QStringLiteral("Segoe UI Variable"));
    QCOMPARE(font.pointSize(), 10);
    QCOMPARE(font.weight(), QFont::Normal);

    // The sheet comes whole from the compiled-in resource.
    QVERIFY(sheet.contains(QStringLiteral("QWidget#loginWindow, QWidget#chatWindow {")));
    QVERIFY(sheet.contains(QStringLiteral("QPushButton#sendButton { min-width:105px; }")));

    // The face standing in for the missing family must draw both scripts itself, so that
    // a line of mixed text keeps one look.
    const QRawFont face = QRawFont::fromFont(font);
    QVERIFY2(face.supportsCharacter(QChar(u'K')), qPrintable(face.familyName()));
    QVERIFY2(face.supportsCharacter(QChar(u'对')), qPrintable(face.familyName()));
}

void Tst_theme::fontWeights_data()
{
    QTest::addColumn<bool>("workspace");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<int>("weight");

    QTest::newRow("chatTitle 700") << true << "chatTitle" << 700;
    QTest::newRow("sendButton 700") << true << "sendButton" << 700;
    QTest::newRow("accountLabel 650") << true << "accountLabel" << 650;
    QTest::newRow("sendHint plain") << true << "sendHint" << int(QFont::Normal);
    QTest::newRow("loginHeading 700") << false << "loginHeading" << 700;
    QTest::newRow("loginBrandLine 650") << false << "loginBrandLine" << 650;
}

void Tst_theme::fontWeights()
{
    QFETCH(bool, workspace);
    QFETCH(QString, objectName);
    QFETCH(int, weight);

    QWidget* window = workspace ? static_cast<QWidget*>(openWorkspace()) : openSignIn();
    QVERIFY(window);
    QWidget* widget = byName<QWidget>(window, objectName);
    QVERIFY(widget);

    const QFont font = widget->font();
    QCOMPARE(int(font.weight()), weight);
    QCOMPARE(font.family(), QApplication::font().family()); // the sheet never changes the face
    // The face actually drawn is a bold one for the heavy weights, a regular one otherwise.
    const int drawn = QFontInfo(font).weight();
    QVERIFY2((drawn >= QFont::DemiBold) == (weight > QFont::Medium),
             qPrintable(QString::number(drawn)));
}

void Tst_theme::workspaceFills()
{
    ChatWindow* window = openWorkspace();
    QVERIFY(window);
    const ChatWindowProbe probe(window);

    QImage image = snapshot(window);
    COMPARE_COLOUR(fillOf(image, window, byName<QWidget>(window, "workspace")), "#edf3f5");
    COMPARE_COLOUR(fillOf(image, window, byName<QWidget>(window, "sidebar")), "#18374b");
    COMPARE_COLOUR(fillOf(image, window, probe.sendButton()), "#286f79");
    COMPARE_COLOUR(fillOf(image, window, probe.newChatButton()), "#286f79");
    // The conversation list is transparent: the navy shows through below its items.
    const QRect list = rectIn(window, probe.conversationList());
    COMPARE_COLOUR(image.pixelColor(list.left() + 2, list.bottom() - 2), "#18374b");

    probe.setBusy(true);
    image = snapshot(window);
    COMPARE_COLOUR(fillOf(image, window, probe.sendButton()), "#86a6aa");
    COMPARE_COLOUR(fillOf(image, window, probe.newChatButton()), "#86a6aa");
    // Still rounded when disabled: the corner shows the white composer behind.
    COMPARE_COLOUR(image.pixelColor(rectIn(window, probe.sendButton()).topLeft()), "#ffffff");
}

void Tst_theme::modeBadgeFollowsPrivateProperty()
{
    ChatWindow* window = openWorkspace();
    QVERIFY(window);
    QLabel* badge = ChatWindowProbe(window).modeBadge();
    const QRect area = rectIn(window, badge);

    QImage image = snapshot(window);
    COMPARE_COLOUR(fillOf(image, window, badge), "#d4e9e9");
    QVERIFY(nearest(image, area, QColor("#2c7078")) <= tolerance);

    badge->setProperty("private", true);
    repolish(badge);
    image = snapshot(window);
    COMPARE_COLOUR(fillOf(image, window, badge), "#f1e4ce");
    QVERIFY(nearest(image, area, QColor("#7c5d3c")) <= tolerance);
    QCOMPARE(badge->font().pixelSize(), 11); // only the colours change

    badge->setProperty("private", false);
    repolish(badge);
    image = snapshot(window);
    COMPARE_COLOUR(fillOf(image, window, badge), "#d4e9e9");
    QVERIFY(nearest(image, area, QColor("#7c5d3c")) > tolerance);
}

void Tst_theme::modelSelectorShowsItsArrow()
{
    ChatWindow* window = openWorkspace();
    QVERIFY(window);
    const ChatWindowProbe probe(window);
    // Only the drop-down box at the right end: the item text never reaches it.
    QRect box = rectIn(window, probe.modelSelect());
    box.setLeft(box.right() - 24);

    QVERIFY(nearest(snapshot(window), box, QColor("#688291")) <= tolerance);
    probe.setBusy(true);
    const QImage image = snapshot(window);
    QVERIFY(nearest(image, box, QColor("#a8b9c0")) <= tolerance);
    QVERIFY(nearest(image, box, QColor("#688291")) > tolerance);
}

void Tst_theme::disabledTextColours_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("disabledText");
    QTest::addColumn<QString>("enabledText");
    QTest::addColumn<QString>("fill");

    QTest::newRow("rename") << "rename"
                            << "#a8b9c0"
                            << "#688291"
                            << "#edf3f5";
    QTest::newRow("private chat") << "private"
                                  << "#91a8b2"
                                  << "#d6e6e9"
                                  << "#18374b";
}

void Tst_theme::disabledTextColours()
{
    QFETCH(QString, button);
    QFETCH(QString, disabledText);
    QFETCH(QString, enabledText);
    QFETCH(QString, fill);

    ChatWindow* window = openWorkspace();
    QVERIFY(window);
    const ChatWindowProbe probe(window);
    QPushButton* target = button == "rename" ? probe.renameButton() : probe.privateChatButton();
    const QRect area = rectIn(window, target);

    // Rename has no conversation yet; private chat is off without a readable store.
    probe.privateAvailable() = false;
    probe.setBusy(false);
    QVERIFY(!target->isEnabled());
    QImage image = snapshot(window);
    QVERIFY(nearest(image, area, QColor(disabledText)) <= tolerance);
    QVERIFY(nearest(image, area, QColor(enabledText)) > tolerance);
    COMPARE_COLOUR(fillOf(image, window, target), fill); // the fill stays transparent

    // (The disabled colour lies between the enabled text and the fill, so antialiased edges
    // may still carry it: only the enabled colour is checked here.)
    probe.privateAvailable() = true;
    probe.cloudId() = QStringLiteral("c1");
    probe.setBusy(false);
    QVERIFY(target->isEnabled());
    QVERIFY(nearest(snapshot(window), area, QColor(enabledText)) <= tolerance);
}

void Tst_theme::signInColours()
{
    LoginWindow* window = openSignIn();
    QVERIFY(window);
    const LoginWindowProbe probe(window);

    QImage image = snapshot(window);
    COMPARE_COLOUR(fillOf(image, window, byName<QWidget>(window, "loginBrandPanel")), "#18374b");
    COMPARE_COLOUR(fillOf(image, window, byName<QWidget>(window, "loginFormPanel")), "#f5f9fa");
    COMPARE_COLOUR(fillOf(image, window, probe.primaryButton()), "#286f79");
    COMPARE_COLOUR(fillOf(image, window, probe.loginEdit()), "#ffffff");
    // A label without a name of its own takes the common label colour.
    QLabel* passwordLabel = labelByText(window, QStringLiteral("密码"));
    QVERIFY(passwordLabel);
    QVERIFY(nearest(image, rectIn(window, passwordLabel), QColor("#355568")) <= tolerance);

    probe.statusLabel()->setText(QStringLiteral("用户名或密码错误。"));
    probe.primaryButton()->setEnabled(false);
    image = snapshot(window);
    COMPARE_COLOUR(fillOf(image, window, probe.primaryButton()), "#86a6aa");
    QVERIFY(nearest(image, rectIn(window, probe.statusLabel()), QColor("#6c8490")) <= tolerance);
    QCOMPARE(probe.statusLabel()->font().pixelSize(), 12);
}

void Tst_theme::formLineEditBorderIgnoresFocus()
{
    // Control: an ordinary line edit does take the focus border, so focus is really there.
    QWidget plain;
    auto* edit = new QLineEdit(&plain);
    (new QVBoxLayout(&plain))->addWidget(edit);
    plain.show();
    plain.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&plain));
    edit->setFocus();
    QTRY_VERIFY(edit->hasFocus());
    QRect r = rectIn(&plain, edit);
    COMPARE_COLOUR(snapshot(&plain).pixelColor(r.left(), r.center().y()), "#57a7ad");
    plain.hide();

    LoginWindow* window = openSignIn();
    QVERIFY(window);
    QLineEdit* loginEdit = LoginWindowProbe(window).loginEdit();
    r = rectIn(window, loginEdit);
    COMPARE_COLOUR(snapshot(window).pixelColor(r.left(), r.center().y()), "#bfd5da");

    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    loginEdit->setFocus();
    QTRY_VERIFY(loginEdit->hasFocus());
    const QImage image = snapshot(window);
    COMPARE_COLOUR(image.pixelColor(r.left(), r.center().y()), "#bfd5da");
    QVERIFY(nearest(image, r, QColor("#57a7ad")) > tolerance);
}

void Tst_theme::codeRowLeavesFieldsWhole()
{
    LoginWindow* window = openSignIn();
    QVERIFY(window);
    const LoginWindowProbe probe(window);
    QVERIFY(registerUntilCodeRow(probe, QStringLiteral("a.rather.long.address@example.com")));
    QTest::qWait(50); // let the layout settle after the hint wrapped
    // The wrapped hint and the code row must not squeeze the fields above them.
    for (QLineEdit* edit :
         {probe.usernameEdit(), probe.emailEdit(), probe.passwordEdit(), probe.codeEdit()})
        QVERIFY2(edit->height() >= edit->sizeHint().height(),
                 qPrintable(QStringLiteral("%1 is %2 px high, needs %3")
                                .arg(edit->placeholderText())
                                .arg(edit->height())
                                .arg(edit->sizeHint().height())));
}

void Tst_theme::modelListHighlightIsPaleTeal()
{
    ChatWindow* window = openWorkspace();
    QVERIFY(window);
    QComboBox* select = ChatWindowProbe(window).modelSelect();
    select->addItem(QStringLiteral("第二个模型"), QStringLiteral("second"));
    select->showPopup();
    QAbstractItemView* view = select->view();
    QTRY_VERIFY(view->isVisible());
    const QModelIndex first = view->model()->index(0, 0);
    view->selectionModel()->setCurrentIndex(first, QItemSelectionModel::ClearAndSelect);
    const QImage image = view->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect item = view->visualRect(first);
    // The highlighted entry: pale teal behind the list's own navy text, not #2d7d87.
    COMPARE_COLOUR(image.pixelColor(item.left() + 3, item.center().y()), "#d9ebed");
    QVERIFY(nearest(image, item, QColor("#244659")) <= tolerance);
    QVERIFY(nearest(image, item, QColor("#2d7d87")) > tolerance);
    const QRect other = view->visualRect(view->model()->index(1, 0));
    COMPARE_COLOUR(image.pixelColor(other.left() + 3, other.center().y()), "#ffffff");
    select->hidePopup();
}

void Tst_theme::scrollBarsTakeTheThemeColours()
{
    ChatWindow* window = openWorkspace();
    QVERIFY(window);
    const ChatWindowProbe probe(window);
    QStringList lines;
    for (int i = 0; i < 200; ++i)
        lines << QStringLiteral("第 %1 行").arg(i);
    probe.transcript()->setPlainText(lines.join('\n'));
    // The service's list first, so that its arrival does not replace the long one.
    QTRY_COMPARE(probe.conversationList()->count(), 1);
    for (int i = 0; i < 40; ++i)
        probe.conversationList()->addItem(QStringLiteral("◦  对话 %1").arg(i));
    QScrollBar* transcriptBar = probe.transcript()->verticalScrollBar();
    QScrollBar* listBar = probe.conversationList()->verticalScrollBar();
    QTRY_VERIFY(transcriptBar->isVisible() && listBar->isVisible());
    const QImage image = snapshot(window);
    // A slim blue-grey handle on the transcript's own pale background.
    const QRect transcriptArea = rectIn(window, transcriptBar);
    QVERIFY(nearest(image, transcriptArea, QColor("#c5d8dc")) <= tolerance);
    COMPARE_COLOUR(image.pixelColor(transcriptArea.left(), transcriptArea.bottom() - 8), "#f9fbfc");
    // On the navy panel: a handle in the divider's tone, the navy around it, no light bar.
    const QRect listArea = rectIn(window, listBar);
    QVERIFY(nearest(image, listArea, QColor("#446477")) <= tolerance);
    COMPARE_COLOUR(image.pixelColor(listArea.left(), listArea.bottom() - 4), "#18374b");
    QVERIFY(nearest(image, listArea, QColor("#e0e0e0")) > 40);
}

void Tst_theme::emojiAreDrawnInColour()
{
    ChatWindow* window = openWorkspace();
    QVERIFY(window);
    const ChatWindowProbe probe(window);
    // A skin tone, a flag and a family joined by zero-width joiners: each one picture.
    const QString emoji = QStringLiteral("👍🏽🇨🇳👨‍👩‍👧");
    probe.messages() = QJsonArray{QJsonObject{{"role", "user"}, {"content", emoji}},
                                  QJsonObject{{"role", "assistant"}, {"content", "好的 " + emoji}}};
    probe.renderTranscript();
    QApplication::processEvents();

    // Shaped as the transcript shapes them: its font, falling back for the emoji. The reply
    // puts them after Chinese text, the prompt on a line of their own.
    QTextDocument* document = probe.transcript()->document();
    QList<int> emojiGlyphs;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        if (!block.text().contains(emoji))
            continue;
        QTextLayout shaped(block.text(), block.charFormat().font());
        shaped.beginLayout();
        shaped.createLine().setLineWidth(2000);
        shaped.endLayout();
        int glyphs = 0;
        for (const QGlyphRun& run : shaped.glyphRuns()) {
            if (run.rawFont().familyName().contains(QStringLiteral("Emoji")))
                glyphs += int(run.glyphIndexes().size());
        }
        emojiGlyphs << glyphs;
    }
    QCOMPARE(emojiGlyphs.size(), 2);
    QCOMPARE(emojiGlyphs.at(0), 3); // three pictures
    if (runningUnderWine())
        QEXPECT_FAIL("",
                     "The offscreen platform under Wine reads fonts from one folder and does "
                     "not fall back to the emoji face after Chinese text",
                     Continue);
    QCOMPARE(emojiGlyphs.at(1), 3);

    // Drawn in colour: the transcript's own text is navy and grey, the emoji are not.
    const QImage image = probe.transcript()->viewport()->grab().toImage();
    int colourful = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            colourful += c.hsvSaturation() > 150 && c.value() > 150;
        }
    QVERIFY2(colourful > 100, qPrintable(QString::number(colourful)));
}

KESTRUNE_TEST_MAIN(Tst_theme)
#include "tst_theme.moc"
