// The reader's tools through the real widgets: find in the conversation (Ctrl+F), jump to a
// conversation (Ctrl+K), copy a code block or a reply from the transcript's menu, and export a
// conversation from a list's menu.

#include "api/api.h"
#include "api/sealedfile.h"
#include "chat/chatwindow.h"
#include "chat/findbar.h"
#include "chat/jumplist.h"
#include "chat/markdownexport.h"
#include "chat/markdownview.h"
#include "chat/searchfold.h"
#include "probes.h"
#include "scriptedserver.h"
#include "testenvironment.h"
#include "workspacetesting.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileDialog>
#include <QJsonDocument>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkReply>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace
{

const QString emojiAndRtl =
    QStringLiteral("出发 🦅🏔️ مرحبا بالعالم שלום עולם");

QJsonObject turn(const QString& role, const QString& content)
{
    return {{"role", role}, {"content", content}};
}

// A reply with a table and two code blocks, and text around them.
const QString reply = QStringLiteral("## 方案 Alpha\n\n"
                                     "| 名称 | 说明 |\n|---|---|\n| ALPHA | 表格里的 alpha |\n\n"
                                     "```cpp\nint first = alpha();\nreturn first;\n```\n\n"
                                     "中间一段 ＡＬＰＨＡ 全角文字。\n\n"
                                     "```\nlast_block(2)\n```\n");

const QJsonArray cloudTurns{turn("user", "比较两个 alpha 方案"), turn("assistant", reply)};

QByteArray sse(const QByteArray& name, const QJsonObject& data)
{
    return "event: " + name + "\ndata: " + QJsonDocument(data).toJson(QJsonDocument::Compact) +
           "\n\n";
}

// The turns of an exported file, read back: "## 你" and "## KestruneAI" start them.
QJsonArray turnsOfExport(const QByteArray& markdown)
{
    QJsonArray turns;
    QString role;
    QStringList lines;
    auto flush = [&] {
        if (role.isEmpty())
            return;
        while (!lines.isEmpty() && lines.first().isEmpty())
            lines.removeFirst();
        while (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        turns.append(turn(role, lines.join('\n')));
        lines.clear();
    };
    for (const QString& line : QString::fromUtf8(markdown).split('\n')) {
        if (line == "## 你" || line == "## KestruneAI") {
            flush();
            role = line == "## 你" ? "user" : "assistant";
        } else if (!role.isEmpty()) {
            lines << line;
        }
    }
    flush();
    return turns;
}

QJsonArray trimmedTurns(const QJsonArray& turns)
{
    QJsonArray trimmed;
    for (const QJsonValue& value : turns) {
        const QJsonObject t = value.toObject();
        trimmed.append(turn(t.value("role").toString(), t.value("content").toString().trimmed()));
    }
    return trimmed;
}

} // namespace

class TstReaderTools : public QObject
{
    Q_OBJECT

    ScriptedServer server;
    std::unique_ptr<Api> api;
    QList<ScriptedReply> streams;
    int conversationFetches = 0;

    std::unique_ptr<ChatWindow> openWindow()
    {
        auto window = std::make_unique<ChatWindow>(
            api.get(), QJsonObject{{"id", "u1"}, {"username", "mei"}, {"points", 100}}, [] {});
        window->show();
        window->activateWindow(); // the shortcuts work in the active window
        ChatWindowProbe probe(window.get());
        if (!QTest::qWaitForWindowActive(window.get()) || !QTest::qWaitFor([&] {
                return probe.modelSelect()->count() == 2 && probe.conversationList()->count() == 2;
            })) {
            return nullptr;
        }
        return window;
    }

    // `count` turns, the user's first, each `text` with its number in place of %1.
    static QJsonArray numberedTurns(int count, const QString& text)
    {
        QJsonArray turns;
        for (int i = 0; i < count; ++i)
            turns.append(
                QJsonObject{{"role", i % 2 ? "assistant" : "user"}, {"content", text.arg(i)}});
        return turns;
    }

    static void showTurns(const ChatWindowProbe& probe, const QJsonArray& turns)
    {
        probe.messages() = turns;
        probe.renderTranscript();
    }

    // The transcript's context menu at document position `position`, answered by `answer`.
    static void menuAt(const ChatWindowProbe& probe, int position,
                       std::function<void(QMenu*)> answer)
    {
        QTextCursor cursor(probe.transcript()->document());
        cursor.setPosition(position);
        probe.transcript()->setTextCursor(cursor);
        probe.transcript()->ensureCursorVisible();
        const QPoint point = probe.transcript()->cursorRect(cursor).center();
        answerNextMenu(std::move(answer));
        QContextMenuEvent event(QContextMenuEvent::Mouse, point,
                                probe.transcript()->viewport()->mapToGlobal(point));
        QApplication::sendEvent(probe.transcript()->viewport(), &event);
    }

    static int positionOf(const ChatWindowProbe& probe, const QString& text)
    {
        return probe.transcript()->document()->find(text).selectionStart() + 1;
    }

    static QString listMenuChoice(QListWidget* list, int row, const QString& choice)
    {
        const QRect rect = list->visualItemRect(list->item(row));
        QString offered;
        answerNextMenu([&](QMenu* menu) {
            offered = actionTexts(menu).join('|');
            trigger(menu, choice);
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, rect.center(),
                                list->viewport()->mapToGlobal(rect.center()));
        QApplication::sendEvent(list->viewport(), &event);
        return offered;
    }

private slots:
    void initTestCase()
    {
        server.setHandler([this](const RecordedRequest& request) {
            if (request.path == "/api/models")
                return ScriptedReply::json(
                    200,
                    R"({"models":[{"id":"m-one","display_name":"壹号 · 模型","points_per_100":1},)"
                    R"({"id":"m-two","display_name":"Two","points_per_100":2}]})");
            if (request.path == "/api/conversations" && request.method == "GET")
                return ScriptedReply::json(200,
                                           R"({"conversations":[{"id":"c1","title":"Alpha 计划"},)"
                                           R"({"id":"c2","title":"Beta 路线"}]})");
            if (request.path.startsWith("/api/conversations/") && request.method == "GET") {
                ++conversationFetches;
                const QByteArray id = request.path.mid(19);
                const QJsonObject body{
                    {"conversation", QJsonObject{{"id", QString::fromUtf8(id)},
                                                 {"title", id == "c1" ? "Alpha 计划" : "Beta 路线"},
                                                 {"model", "m-one"}}},
                    {"messages", cloudTurns}};
                return ScriptedReply::json(200, QJsonDocument(body).toJson());
            }
            if (request.path == "/api/chat/stream" && !streams.isEmpty())
                return streams.takeFirst();
            return ScriptedReply::json(404, R"({"error":"unexpected"})");
        });
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        api = std::make_unique<Api>();
    }

    void init()
    {
        const QJsonArray threads{QJsonObject{
            {"id", "p1"},
            {"title", emojiAndRtl},
            {"model", "m-two"},
            {"messages", QJsonArray{turn("user", emojiAndRtl + "？"),
                                    turn("assistant", "好的 👍\n\n- שלום\n- 🦅 `code`")}},
            {"created_at", 1},
            {"updated_at", 2}}};
        QVERIFY(writeSealedFile("private-u1.bin",
                                QJsonDocument(QJsonObject{{"threads", threads}}).toJson()));
        conversationFetches = 0;
    }

    // The name the save dialog suggests is one every file system takes.
    void exportFileNames_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "周报 Q3"
                               << "周报 Q3.md";
        QTest::newRow("separators and reserved") << "a/b\\c:d*e?\"f\"<g>|h"
                                                 << "a_b_c_d_e__f__g__h.md";
        QTest::newRow("line break and tab") << "第一行\n第二行\t尾"
                                            << "第一行 第二行 尾.md";
        QTest::newRow("trailing dots") << "结束了..."
                                       << "结束了.md";
        QTest::newRow("empty") << "  "
                               << "对话.md";
        QTest::newRow("only a dot") << "."
                                    << "对话.md";
        // 79 letters and an emoji: the cut at 80 units must not keep half of it.
        QTest::newRow("emoji at the cut")
            << QString(79, 'x') + "🦅tail" << QString(79, 'x') + ".md";
    }

    void exportFileNames()
    {
        QFETCH(QString, title);
        QFETCH(QString, name);
        QCOMPARE(exportFileName(title), name);
    }

    // Latin text case- and width-insensitively, Chinese as typed; across a table and code.
    void findAcrossTableAndCode()
    {
        auto window = openWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        showTurns(probe, cloudTurns);
        FindBar* bar = probe.findBar();
        QVERIFY(!bar->isVisible());

        QTest::keyClick(window.get(), Qt::Key_F, Qt::ControlModifier);
        QVERIFY(bar->isVisible());
        QVERIFY(bar->field()->hasFocus());
        QTest::keyClicks(bar->field(), "alpha");
        // The prompt, the heading, the table (twice), the code, and the full-width word.
        QCOMPARE(bar->matchCount(), 6);
        QLabel* count = bar->findChild<QLabel*>("findCount");
        QCOMPARE(count->text(), QString("1 / 6"));
        const QList<QTextEdit::ExtraSelection> marks = probe.transcript()->extraSelections();
        QCOMPARE(marks.size(), 6);
        for (const QTextEdit::ExtraSelection& mark : marks)
            QCOMPARE(foldForSearch(mark.cursor.selectedText()), QString("alpha"));
        QCOMPARE(marks.at(2).cursor.selectedText(), QString("ALPHA")); // the table cell
        QCOMPARE(marks.at(5).cursor.selectedText(), QStringLiteral("ＡＬＰＨＡ"));

        QTest::keyClick(bar->field(), Qt::Key_Return);
        QCOMPARE(count->text(), QString("2 / 6"));
        QTest::keyClick(bar->field(), Qt::Key_Return, Qt::ShiftModifier);
        QTest::keyClick(bar->field(), Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(count->text(), QString("6 / 6")); // wraps around
        QCOMPARE(bar->currentIndex(), 5);

        bar->field()->clear();
        bar->field()->setText(QStringLiteral("表格"));
        QCOMPARE(bar->matchCount(), 1);
        bar->field()->setText(QStringLiteral("全角"));
        QCOMPARE(bar->matchCount(), 1);
        bar->field()->setText(QStringLiteral("没有的词"));
        QCOMPARE(count->text(), QString("0 / 0"));

        QTest::keyClick(bar->field(), Qt::Key_Escape);
        QVERIFY(!bar->isVisible());
        QVERIFY(probe.transcript()->extraSelections().isEmpty());
    }

    // In a long conversation every match is counted, but only those in and around the view
    // are marked, so that a repaint does not look at thousands of marks; scrolling and
    // stepping bring the marks along.
    void findMarksFollowTheView()
    {
        auto window = openWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        showTurns(probe, numberedTurns(150, "第 %1 段：线索在此。\n\n其后还有一行。"));
        FindBar* bar = probe.findBar();
        QTest::keyClick(window.get(), Qt::Key_F, Qt::ControlModifier);
        bar->field()->setText(QStringLiteral("线索"));
        QCOMPARE(bar->matchCount(), 150);
        MarkdownView* pane = probe.transcript();

        // Marked: every match in view, none far from it, each one a match.
        const auto checkMarks = [&] {
            const QList<QTextEdit::ExtraSelection> marks = pane->extraSelections();
            QVERIFY(!marks.isEmpty());
            QVERIFY(marks.size() < 60);
            QList<int> marked;
            for (const QTextEdit::ExtraSelection& mark : marks) {
                QCOMPARE(mark.cursor.selectedText(), QStringLiteral("线索"));
                marked.append(mark.cursor.selectionStart());
            }
            const QString text = pane->document()->toRawText();
            for (qsizetype at = text.indexOf("线索"); at >= 0; at = text.indexOf("线索", at + 1)) {
                QTextCursor match(pane->document());
                match.setPosition(int(at));
                if (pane->viewport()->rect().intersects(pane->cursorRect(match)))
                    QVERIFY2(marked.contains(int(at)), "a match in view is not marked");
            }
        };
        checkMarks();
        pane->verticalScrollBar()->setValue(0);
        checkMarks();
        pane->verticalScrollBar()->setValue(pane->verticalScrollBar()->maximum() / 2);
        checkMarks();

        // Stepping back from the first match goes to the last one, far below: it is marked
        // as the current one there.
        bar->field()->setText(QString());
        bar->field()->setText(QStringLiteral("线索"));
        pane->verticalScrollBar()->setValue(0);
        QTest::keyClick(bar->field(), Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(bar->currentIndex(), 149);
        checkMarks();
        const QList<QTextEdit::ExtraSelection> marks = pane->extraSelections();
        const auto current =
            std::find_if(marks.cbegin(), marks.cend(), [](const QTextEdit::ExtraSelection& mark) {
                return mark.format.background().color() == QColor("#f3b04a");
            });
        QVERIFY(current != marks.cend());
        QVERIFY(pane->viewport()->rect().intersects(pane->cursorRect(current->cursor)));
        QVERIFY(current->cursor.selectionStart() > pane->document()->characterCount() * 9 / 10);
    }

    // A redraw lets go of the matches at once (they would point at nothing, and slow every
    // insertion of the redraw down), then finds them again with the same one current.
    void findKeepsItsPlaceAcrossRedraw()
    {
        auto window = openWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        const QJsonArray turns = numberedTurns(12, "第 %1 条线索");
        showTurns(probe, turns);
        FindBar* bar = probe.findBar();
        QTest::keyClick(window.get(), Qt::Key_F, Qt::ControlModifier);
        bar->field()->setText(QStringLiteral("线索"));
        for (int i = 0; i < 4; ++i)
            QTest::keyClick(bar->field(), Qt::Key_Return);
        QCOMPARE(bar->currentIndex(), 4);

        showTurns(probe, turns);
        QCOMPARE(bar->matchCount(), 0);
        QVERIFY(probe.transcript()->extraSelections().isEmpty());
        QTRY_COMPARE(bar->matchCount(), 12);
        QCOMPARE(bar->currentIndex(), 4);
        QLabel* count = bar->findChild<QLabel*>("findCount");
        QCOMPARE(count->text(), QString("5 / 12"));
        QVERIFY(!probe.transcript()->extraSelections().isEmpty());
    }

    // Matches are kept by position: a change after them leaves them be, one before or inside
    // them lets go of them until they are found again, so a mark never lands on other text.
    void findNeverMarksStaleText()
    {
        QTextEdit pane;
        pane.resize(400, 300);
        pane.show();
        pane.setPlainText(QStringLiteral("甲 线索 乙 线索"));
        FindBar bar(&pane);
        bar.openBar();
        bar.field()->setText(QStringLiteral("线索"));
        QCOMPARE(bar.matchCount(), 2);

        QTextCursor end(pane.document());
        end.movePosition(QTextCursor::End);
        end.insertText(QStringLiteral(" 丙"));
        QCOMPARE(bar.matchCount(), 2);
        QTextCursor start(pane.document());
        start.insertText(QStringLiteral("开头的线索 "));
        QCOMPARE(bar.matchCount(), 0);
        QTRY_COMPARE(bar.matchCount(), 3);
        for (const QTextEdit::ExtraSelection& mark : pane.extraSelections())
            QCOMPARE(mark.cursor.selectedText(), QStringLiteral("线索"));

        // Inside the second match: the first stays, marked; the others go until found again.
        QTextCursor inside(pane.document());
        inside.setPosition(pane.document()->toPlainText().indexOf(QStringLiteral("线索 乙")) + 1);
        inside.insertText(QStringLiteral("的"));
        QCOMPARE(bar.matchCount(), 1);
        QCOMPARE(pane.extraSelections().size(), 1);
        QCOMPARE(pane.extraSelections().constFirst().cursor.selectedText(), QStringLiteral("线索"));
        QTRY_COMPARE(bar.matchCount(), 2);
        for (const QTextEdit::ExtraSelection& mark : pane.extraSelections())
            QCOMPARE(mark.cursor.selectedText(), QStringLiteral("线索"));
    }

    // A reply streaming in is searched as it grows; after the final redraw the marks are on
    // the new text, not on positions of the old document.
    void findDuringStreamAndAfterRedraw()
    {
        auto window = openWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        probe.cloudId() = "c1";
        showTurns(probe, cloudTurns);
        FindBar* bar = probe.findBar();
        QTest::keyClick(window.get(), Qt::Key_F, Qt::ControlModifier);
        bar->field()->setText(QStringLiteral("片段"));
        QCOMPARE(bar->matchCount(), 0);

        QList<QByteArray> pieces;
        for (int i = 0; i < 4; ++i)
            pieces << sse("delta", {{"text", QStringLiteral("片段%1 ").arg(i)}});
        pieces << sse("done", {{"content", "片段0 片段1 片段2 片段3\n\n| 片段 |\n|---|\n| x |\n"},
                               {"points", 90},
                               {"charged", 1}});
        ScriptedReply stream = ScriptedReply::eventStream(pieces.join());
        int at = int(stream.bytes.size() - pieces.join().size());
        for (const QByteArray& piece : pieces)
            stream.splitAt << (at += int(piece.size()));
        stream.pauseMs = 250;
        streams << stream;
        probe.chatInput()->setPlainText("继续");
        probe.submit();
        QTRY_VERIFY(bar->matchCount() >= 2 && probe.busy()); // found while it streams
        QTRY_VERIFY_WITH_TIMEOUT(!probe.busy(), 10000);
        QTRY_COMPARE(bar->matchCount(), 5); // all in the final reply, drawn anew
        for (const QTextEdit::ExtraSelection& mark : probe.transcript()->extraSelections())
            QCOMPARE(mark.cursor.selectedText(), QStringLiteral("片段"));
        QVERIFY(bar->isVisible());
    }

    // Return opens the chosen conversation as a click on its list would; not while busy.
    void jumpToAnyConversation()
    {
        auto window = openWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        auto openJump = [&] {
            // The offscreen platform leaves no window active after a pop-up; a desktop gives
            // the window back its activation.
            window->activateWindow();
            if (!QTest::qWaitForWindowActive(window.get()))
                return static_cast<JumpList*>(nullptr);
            QTest::keyClick(window.get(), Qt::Key_K, Qt::ControlModifier);
            // By name: the pop-up has no meta-object of its own to be cast by. A closed one
            // may still wait for its deletion beside the new one.
            JumpList* shown = nullptr;
            for (QFrame* frame : window->findChildren<QFrame*>("jumpList"))
                shown = frame->isVisible() ? static_cast<JumpList*>(frame) : shown;
            return shown;
        };

        JumpList* jump = openJump();
        QVERIFY(jump && jump->isVisible());
        QCOMPARE(jump->list()->count(), 3); // two cloud conversations and one private thread
        QTest::keyClicks(jump->field(), "BETA");
        QCOMPARE(jump->list()->count(), 1);
        QTest::keyClick(jump->field(), Qt::Key_Return);
        QTRY_COMPARE(probe.cloudId(), QString("c2"));
        QCOMPARE(probe.chatTitle()->text(), QString("Beta 路线"));
        QCOMPARE(currentItemId(probe.conversationList()), QString("c2"));

        jump = openJump();
        QVERIFY(jump);
        jump->field()->setText(QStringLiteral("שלום"));
        QCOMPARE(jump->list()->count(), 1);
        probe.setBusy(true);
        QTest::keyClick(jump->field(), Qt::Key_Return);
        QTest::qWait(50);
        QVERIFY(!probe.isPrivate()); // refused, as a click on a disabled list is
        QCOMPARE(probe.cloudId(), QString("c2"));
        probe.setBusy(false);

        jump = openJump();
        QVERIFY(jump);
        jump->field()->setText(QStringLiteral("出发"));
        QTest::keyClick(jump->field(), Qt::Key_Return);
        QVERIFY(probe.isPrivate());
        QCOMPARE(probe.privateId(), QString("p1"));
        QCOMPARE(currentItemId(probe.privateList()), QString("p1"));

        QPointer<JumpList> closing = openJump();
        QVERIFY(closing);
        QTest::keyClick(closing->field(), Qt::Key_Escape);
        QTRY_VERIFY(!closing);
        QCOMPARE(probe.privateId(), QString("p1"));
    }

    // "复制代码" inside a code block copies it without its fence; "复制此回复" the Markdown.
    void copyCodeAndReply()
    {
        auto window = openWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        showTurns(probe, cloudTurns);
        QGuiApplication::clipboard()->clear();

        QStringList offered;
        menuAt(probe, positionOf(probe, "int first"), [&](QMenu* menu) {
            offered = actionTexts(menu);
            trigger(menu, QStringLiteral("复制代码"));
        });
        QTRY_COMPARE(QGuiApplication::clipboard()->text(),
                     QString("int first = alpha();\nreturn first;"));
        QVERIFY(offered.contains(QStringLiteral("复制此回复")));

        menuAt(probe, positionOf(probe, "last_block"),
               [&](QMenu* menu) { trigger(menu, QStringLiteral("复制代码")); });
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), QString("last_block(2)"));

        menuAt(probe, positionOf(probe, QStringLiteral("中间一段")), [&](QMenu* menu) {
            offered = actionTexts(menu);
            trigger(menu, QStringLiteral("复制此回复"));
        });
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), reply);
        QVERIFY(!offered.contains(QStringLiteral("复制代码")));

        // The user's own turn: neither.
        menuAt(probe, positionOf(probe, QStringLiteral("比较两个")), [&](QMenu* menu) {
            offered = actionTexts(menu);
            menu->close();
        });
        QTRY_VERIFY(!offered.isEmpty());
        QVERIFY(!offered.contains(QStringLiteral("复制代码")));
        QVERIFY(!offered.contains(QStringLiteral("复制此回复")));
    }

    // A private thread: warned first, then written whole; the file reads back as the turns.
    void exportPrivateThread()
    {
        auto window = openWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QTemporaryDir folder;
        const QString path = folder.filePath("thread.md");

        SeenMessageBox warning;
        SeenFileDialog seen;
        answerNextModal([&](QWidget* widget) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            QVERIFY(box);
            warning.title = box->windowTitle();
            warning.text = box->text();
            answerFileDialog(path, &seen); // the dialog that follows the warning
            box->button(QMessageBox::Ok)->click();
        });
        const QString offered = listMenuChoice(probe.privateList(), 0, "导出为 Markdown…");
        // A private thread's menu also offers the backup of them all.
        QCOMPARE(offered, QString("导出为 Markdown…||备份全部隐私对话…|从备份恢复…||网络设置…"));
        QTRY_VERIFY(QFile::exists(path));
        QVERIFY(warning.text.contains(QStringLiteral("不加密")));
        QVERIFY(seen.opened);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray markdown = file.readAll();
        QVERIFY(markdown.startsWith(("# " + emojiAndRtl + "\n").toUtf8()));
        QVERIFY(markdown.contains("模型：Two"));
        const QJsonArray stored = probe.threads().at(0).toObject().value("messages").toArray();
        QCOMPARE(turnsOfExport(markdown), trimmedTurns(stored));
        QCOMPARE(probe.chatNotice()->text(),
                 QStringLiteral("已导出到 ") + QDir::toNativeSeparators(path));
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList{"thread.md"});
    }

    // A cloud conversation is fetched as opening it does; the dialog suggests its title.
    void exportCloudConversation()
    {
        auto window = openWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QTemporaryDir folder;
        const QString path = folder.filePath("alpha.md");
        SeenFileDialog seen;
        answerFileDialog(path, &seen);
        listMenuChoice(probe.conversationList(), 0, "导出为 Markdown…");
        QTRY_VERIFY(QFile::exists(path));
        QCOMPARE(seen.suggestedName, QStringLiteral("Alpha 计划.md"));
        QCOMPARE(conversationFetches, 1);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray markdown = file.readAll();
        QVERIFY(markdown.contains("模型：壹号 · 模型"));
        QCOMPARE(turnsOfExport(markdown), trimmedTurns(cloudTurns));
        QVERIFY(probe.cloudId().isEmpty()); // exporting opens nothing
    }

    // Into a folder that cannot take the file: a clear notice, and no file, whole or partial.
    void exportToAFolderThatRefuses()
    {
        auto window = openWindow();
        QVERIFY(window);
        ChatWindowProbe probe(window.get());
        QTemporaryDir folder;
        QFile blocker(folder.filePath("not-a-folder"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString path = folder.filePath("not-a-folder/out.md");
        SeenFileDialog seen;
        answerFileDialog(path, &seen);
        listMenuChoice(probe.conversationList(), 1, "导出为 Markdown…");
        QTRY_VERIFY(probe.chatNotice()->text().startsWith(QStringLiteral("导出失败")));
        QVERIFY(!QFile::exists(path));
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList{"not-a-folder"});

#ifndef Q_OS_WIN
        // A folder that takes the file but no bytes in it (a full disk, a size limit).
        const QString full = folder.filePath("full.md");
        answerFileDialog(full, &seen);
        QString notice;
        {
            FailingFileWrites failing;
            listMenuChoice(probe.conversationList(), 0, "导出为 Markdown…");
            if (QTest::qWaitFor([&] { return probe.chatNotice()->text().contains("full.md"); }))
                notice = probe.chatNotice()->text();
        }
        QVERIFY(notice.startsWith(QStringLiteral("导出失败")));
        QVERIFY(!QFile::exists(full));
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList{"not-a-folder"});
#endif
    }
};

KESTRUNE_TEST_MAIN(TstReaderTools)
#include "tst_readertools.moc"
