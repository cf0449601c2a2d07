#include "api/api.h"
#include "chat/chatwindow.h"
#include "chat/markdownview.h"
#include "chat/streamedreply.h"
#include "chat/transcript.h"
#include "probes.h"
#include "scriptedserver.h"
#include "testenvironment.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextFrame>
#include <QTextList>
#include <QTextTable>
#include <QtTest>

#include <algorithm>
#include <memory>

#ifdef Q_OS_LINUX
#include <sys/inotify.h>
#include <unistd.h>
#endif

namespace
{

QJsonObject turn(const QString& role, const QString& content)
{
    return QJsonObject{{"role", role}, {"content", content}};
}

// Format of the character at `position`.
QTextCharFormat formatAt(QTextDocument* document, int position)
{
    QTextCursor cursor(document);
    cursor.setPosition(position + 1);
    return cursor.charFormat();
}

// Counts the files opened in one folder while it lives (Linux; elsewhere it counts nothing).
class OpenWatch
{
public:
    explicit OpenWatch(const QString& folder)
    {
#ifdef Q_OS_LINUX
        fd = inotify_init1(IN_NONBLOCK);
        if (fd >= 0)
            inotify_add_watch(fd, QFile::encodeName(folder).constData(), IN_OPEN | IN_ACCESS);
#else
        Q_UNUSED(folder);
#endif
    }
    ~OpenWatch()
    {
#ifdef Q_OS_LINUX
        if (fd >= 0)
            close(fd);
#endif
    }
    bool active() const
    {
        return fd >= 0;
    }
    QStringList opened()
    {
        QStringList names;
#ifdef Q_OS_LINUX
        alignas(inotify_event) char buffer[8192];
        ssize_t length = 0;
        while ((length = read(fd, buffer, sizeof buffer)) > 0) {
            for (char* p = buffer; p < buffer + length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                if (event->len)
                    names << QString::fromLocal8Bit(event->name);
                p += sizeof(inotify_event) + event->len;
            }
        }
#endif
        return names;
    }

private:
    int fd = -1;
};

// The transcript built the plain way: fresh conversions, layout on, no edit block, every
// turn straight in the document's top frame; the cursor left at the end, scrolled into view.
void drawPlainly(QTextBrowser& pane, const QJsonArray& messages)
{
    pane.clear();
    QTextCursor cursor = pane.textCursor();
    for (const QJsonValue& value : messages) {
        const QJsonObject message = value.toObject();
        const bool assistant = message.value("role").toString() == "assistant";
        QTextCharFormat header = turnHeaderFormat(assistant);
        header.setFontPointSize(10);
        cursor.insertText(turnTitle(assistant) + "\n", header);
        QTextCharFormat body = turnTextFormat();
        body.setFontPointSize(11);
        cursor.setCharFormat(body);
        const QString content = message.value("content").toString();
        if (assistant)
            cursor.insertFragment(
                QTextDocumentFragment::fromMarkdown(content, QTextDocument::MarkdownDialectGitHub));
        else
            cursor.insertText(content, body);
        cursor.insertBlock(QTextBlockFormat());
        cursor.insertBlock(QTextBlockFormat());
    }
    pane.setTextCursor(cursor);
    pane.ensureCursorVisible();
}

// The document of a first drawing in a new pane, where every reply is converted afresh.
QString freshlyDrawn(const QJsonArray& messages)
{
    MarkdownView pane;
    drawTranscript(&pane, messages);
    return pane.document()->toHtml();
}

// A conversation of `count` turns with `last` and `next` on either side of the first edge
// between two frames that hold its turns.
QJsonArray acrossFrameEdge(qsizetype count, const QJsonObject& last, const QJsonObject& next)
{
    const TurnFrames plan = planTurnFrames(count);
    qsizetype edge = 2;
    while (edge < count && !(plan.closes.at(edge - 1) && plan.opens.at(edge)))
        ++edge;
    QJsonArray messages;
    for (qsizetype i = 0; i < count; ++i)
        messages.append(i == edge - 1 ? last
                        : i == edge
                            ? next
                            : turn(i % 2 ? "assistant" : "user", QString("第 %1 轮").arg(i)));
    return messages;
}

// Shows `view` at `size` and draws `messages` into it; false if it never came on screen.
bool showDrawn(MarkdownView& view, QSize size, const QJsonArray& messages)
{
    view.setFixedSize(size);
    view.show();
    if (!QTest::qWaitForWindowExposed(&view))
        return false;
    drawTranscript(&view, messages);
    return true;
}

// A cursor after a reply header inserted plainly at the end of `view`, as a streamed
// reply's would be.
QTextCursor plainReplyStart(MarkdownView& view)
{
    QTextCursor cursor = view.textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(turnTitle(true) + "\n", turnHeaderFormat(true));
    return cursor;
}

QTextTable* firstTable(QTextFrame* frame)
{
    for (QTextFrame* child : frame->childFrames()) {
        if (auto* table = qobject_cast<QTextTable*>(child))
            return table;
        if (QTextTable* table = firstTable(child))
            return table;
    }
    return nullptr;
}

} // namespace

class Tst_transcript : public QObject
{
    Q_OBJECT

    ScriptedServer server;
    std::unique_ptr<Api> api;
    std::unique_ptr<ChatWindow> window;

    ChatWindowProbe probe() const { return ChatWindowProbe(window.get()); }
    QTextDocument* document() const { return probe().transcript()->document(); }
    void render(const QJsonArray& messages)
    {
        probe().messages() = messages;
        probe().renderTranscript();
    }

private slots:
    void init()
    {
        server.setHandler([](const RecordedRequest&) {
            return ScriptedReply::json(200, R"({"models":[],"conversations":[]})");
        });
        qputenv("KESTRUNEAI_BASE_URL", server.origin().toUtf8());
        api = std::make_unique<Api>();
        window = std::make_unique<ChatWindow>(api.get(), QJsonObject{{"username", "ann"}}, [] {});
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanup()
    {
        window.reset();
        api.reset();
    }

    void emptyPages_data()
    {
        QTest::addColumn<bool>("isPrivate");
        QTest::addColumn<QString>("text");
        QTest::newRow("cloud") << false
                               << "✳\n从一个问题开始。\n你的对话会在云端保存，随时可以继续。";
        QTest::newRow("private")
            << true << "◇\n保存在这台电脑。\n隐私对话只在本机加密保存，不进入云端历史。";
    }

    void emptyPages()
    {
        QFETCH(bool, isPrivate);
        QFETCH(QString, text);
        render({turn("user", "earlier")});
        probe().isPrivate() = isPrivate;
        render({});
        QCOMPARE(document()->toPlainText(), text);
        const QTextBlock symbol = document()->begin();
        QCOMPARE(symbol.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
        QCOMPARE(formatAt(document(), symbol.position()).font().pixelSize(), 72);
        QCOMPARE(formatAt(document(), symbol.position()).foreground().color(), QColor("#69a7a8"));
        QCOMPARE(symbol.next().blockFormat().headingLevel(), 2);
        QVERIFY(probe().messages().isEmpty());
    }

    // Headers, plain user turns, and the empty line after every turn.
    void turnsAndHeaders()
    {
        render({turn("user", "请 **加粗** 这句"), turn("assistant", "好的，*已完成*。"),
                turn("Assistant", "**大写**角色"), QJsonObject{{"content", "没有角色"}},
                QJsonValue("不是对象")});
        QCOMPARE(document()->toPlainText(), "你\n请 **加粗** 这句\n\n"
                                            "✳  KestruneAI\n好的，已完成。\n\n"
                                            "你\n**大写**角色\n\n"
                                            "你\n没有角色\n\n"
                                            "你\n\n\n");

        const QString text = document()->toPlainText();
        const QTextCharFormat userHeader = formatAt(document(), 0);
        QCOMPARE(userHeader.foreground().color(), QColor("#567187"));
        QCOMPARE(userHeader.fontWeight(), 600);
        QCOMPARE(userHeader.fontPointSize(), 10.0);

        const QTextCharFormat userBody = formatAt(document(), text.indexOf("**加粗**"));
        QCOMPARE(userBody.foreground().color(), QColor("#203c50"));
        QCOMPARE(userBody.fontPointSize(), 11.0);
        QVERIFY(userBody.fontWeight() < 600);

        const QTextCharFormat replyHeader = formatAt(document(), text.indexOf("✳"));
        QCOMPARE(replyHeader.foreground().color(), QColor("#2c7d87"));
        QCOMPARE(replyHeader.fontWeight(), 600);
        QCOMPARE(replyHeader.fontPointSize(), 10.0);
        QVERIFY(formatAt(document(), text.indexOf("已完成")).fontItalic());

        QCOMPARE(formatAt(document(), text.indexOf("你\n**大写")).foreground().color(),
                 QColor("#567187"));
    }

    void gitHubMarkdown()
    {
        render({turn("assistant", "| a | b |\n|---|---|\n| 1 | 2 |\n\n~~旧~~ 新 <u>下划线</u>\n\n"
                                  "- [x] 完成\n- [ ] 未完成\n")});
        QTextTable* table = firstTable(document()->rootFrame());
        QVERIFY(table);
        QCOMPARE(table->rows(), 2);
        QCOMPARE(table->columns(), 2);

        const QString text = document()->toPlainText();
        QVERIFY(formatAt(document(), text.indexOf("旧")).fontStrikeOut());
        QVERIFY(!text.contains("<u>")); // HTML in a reply is rendered, not shown
        QVERIFY(formatAt(document(), text.indexOf("下划线")).fontUnderline());
        QCOMPARE(document()->findBlock(text.indexOf("完成")).blockFormat().marker(),
                 QTextBlockFormat::MarkerType::Checked);
        QCOMPARE(document()->findBlock(text.indexOf("未完成")).blockFormat().marker(),
                 QTextBlockFormat::MarkerType::Unchecked);
    }

    // A reply ending in a list, quote, heading or code block does not carry its look on:
    // every later header and turn, and the empty lines between them, are plain blocks, a
    // later list numbers from 1, and a streamed reply's header is no list item either.
    void turnsAfterBlockStylesArePlain()
    {
        render({turn("assistant", "- 甲\n- 乙\n"), turn("user", "问一"),
                turn("assistant", "> 引用一句\n"), turn("user", "问二"),
                turn("assistant", "## 小标题\n"), turn("user", "问三"),
                turn("assistant", "```cpp\nint x;\n```\n"), turn("user", "问四"),
                turn("assistant", "1. 一\n2. 二\n"), turn("user", "问五")});
        const QString text = document()->toPlainText();
        bool started = false;
        appendStreamedFragment(probe().transcript(), "流式", started);

        const auto isPlain = [&](const QTextBlock& block) {
            const QTextBlockFormat format = block.blockFormat();
            return !block.textList() && format.indent() == 0 && format.leftMargin() == 0 &&
                   format.headingLevel() == 0 && !format.hasProperty(QTextFormat::BlockCodeFence) &&
                   !format.hasProperty(QTextFormat::BlockQuoteLevel);
        };
        for (const QString& line : QStringList{"问一", "问二", "问三", "问四", "问五", "流式"}) {
            const QTextBlock body = document()->findBlock(line == QLatin1String("流式")
                                                              ? document()->characterCount() - 2
                                                              : int(text.indexOf(line)));
            QVERIFY2(isPlain(body), qPrintable(line));
            QVERIFY2(isPlain(body.previous()), qPrintable(line + " header"));
            QVERIFY2(isPlain(body.previous().previous()), qPrintable("line before " + line));
        }
        const QTextList* numbered = document()->findBlock(text.indexOf("一\n二")).textList();
        QVERIFY(numbered);
        QCOMPARE(numbered->itemNumber(document()->findBlock(text.indexOf("一\n二"))), 0);
        QVERIFY(numbered != document()->findBlock(text.indexOf("甲")).textList());
    }

    void scrolledToEnd()
    {
        QJsonArray messages;
        for (int i = 0; i < 40; ++i)
            messages.append(turn(i % 2 ? "assistant" : "user", QString("第 %1 段\n\n内容").arg(i)));
        for (int round = 0; round < 2; ++round) {
            QScrollBar* bar = probe().transcript()->verticalScrollBar();
            bar->setValue(0);
            render(messages);
            QVERIFY(bar->maximum() > 0);
            // The end of the text is in view; only the document margin may lie below it.
            QVERIFY(bar->value() >= bar->maximum() - document()->documentMargin());
            QVERIFY(probe().transcript()->viewport()->rect().contains(
                probe().transcript()->cursorRect()));
            QCOMPARE(probe().transcript()->textCursor().position(),
                     document()->characterCount() - 1);
            messages.append(turn("user", "再来一条"));
        }
    }

    // No image is read from disk, fetched or drawn, whatever the reply names.
    void imagesRefused()
    {
        QTemporaryDir folder;
        QImage red(40, 40, QImage::Format_RGB32);
        red.fill(Qt::red);
        QVERIFY(red.save(folder.filePath("red.png")));
        ScriptedServer imageHost;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(folder.path());
        OpenWatch watch(folder.path());

        const QString local = folder.filePath("red.png");
        render({turn("assistant", QString("![远程](%1/red.png) ![本地](%2)\n\n"
                                          "<img src=\"file://%2\"> <img src=\"red.png\">\n")
                                      .arg(imageHost.origin(), local))});
        const QImage shot = window->grab().toImage();
        QTest::qWait(50);
        QDir::setCurrent(previous);

        QCOMPARE(imageHost.requestCount(), 0);
#ifdef Q_OS_LINUX
        QVERIFY(watch.active()); // the files opened are seen on Linux only
#endif
        QCOMPARE(watch.opened(), QStringList());
        int redPixels = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x)
                redPixels += shot.pixelColor(x, y) == QColor(Qt::red);
        QCOMPARE(redPixels, 0);
    }

    // A click on a link leaves the transcript as it is and opens nothing.
    void linkClickHarmless()
    {
        QTemporaryDir folder;
        QFile secret(folder.filePath("secret.txt"));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("LOCAL-SECRET");
        secret.close();
        ScriptedServer site;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(folder.path());
        OpenWatch watch(folder.path());

        render({turn("user", "给我链接"),
                turn("assistant", QString("[网页链接](%1/page) [文件链接](file://%2) "
                                          "[相对链接](secret.txt)")
                                      .arg(site.origin(), secret.fileName()))});
        MarkdownView* pane = probe().transcript();
        const QString before = document()->toPlainText();
        QSignalSpy clicked(pane, &QTextBrowser::anchorClicked);
        for (const char* anchor : {"网页链接", "文件链接", "相对链接"}) {
            QTextCursor cursor(document());
            cursor.setPosition(document()->toPlainText().indexOf(QString::fromUtf8(anchor)) + 1);
            const QPoint at = pane->cursorRect(cursor).center();
            QVERIFY(!pane->anchorAt(at).isEmpty());
            QTest::mouseClick(pane->viewport(), Qt::LeftButton, {}, at);
            QTest::qWait(20);
            QCOMPARE(document()->toPlainText(), before);
        }
        QDir::setCurrent(previous);

        QCOMPARE(clicked.count(), 3); // the clicks did reach the links
        QCOMPARE(pane->source(), QUrl());
        QCOMPARE(site.requestCount(), 0);
        QCOMPARE(watch.opened(), QStringList());
    }

    // The pane finds the link under the pointer on its own, without walking the document
    // from its start: it must find exactly what the toolkit finds, anywhere in the pane.
    void linkUnderPointer()
    {
        QJsonArray messages;
        for (int i = 0; i < 40; ++i) {
            messages.append(turn("user", QString("问题 %1").arg(i)));
            messages.append(turn("assistant", QString("见 [文档 %1](https://example.com/%1)，或"
                                                      "[另一页](page-%1.html)\n\n"
                                                      "- 列表里的 [链接](#item-%1)\n\n"
                                                      "| 表 |\n|---|\n| [格中](cell-%1) |\n\n"
                                                      "[段首链接](start-%1)在段首\n\n"
                                                      "行尾的[链接](end-%1)")
                                                  .arg(i)));
        }
        MarkdownView pane;
        pane.setFixedSize(500, 400);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        drawTranscript(&pane, messages);
        QScrollBar* bar = pane.verticalScrollBar();
        int links = 0;
        for (int value : {0, bar->maximum() / 3, bar->maximum()}) {
            bar->setValue(value);
            for (int y = 0; y < 400; y += 3) {
                for (int x = 0; x < 500; x += 5) {
                    const QString expected = pane.anchorAt(QPoint(x, y));
                    QCOMPARE(pane.linkAt(QPoint(x, y)), expected);
                    links += !expected.isEmpty();
                }
            }
        }
        QVERIFY(links > 100); // the grid did cross links

        // Moving over a link shows the pointing hand and names the link; moving off it
        // gives back the pointer the pane had.
        const auto moveTo = [&pane](QPoint at) {
            QMouseEvent move(QEvent::MouseMove, at, pane.viewport()->mapToGlobal(at), Qt::NoButton,
                             Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(pane.viewport(), &move);
        };
        QSignalSpy highlighted(&pane, &QTextBrowser::highlighted);
        const Qt::CursorShape resting = pane.viewport()->cursor().shape();
        QTextCursor link(pane.document());
        link.setPosition(pane.document()->toPlainText().lastIndexOf("链接") + 1);
        const QPoint over = pane.cursorRect(link).center();
        QCOMPARE(pane.linkAt(over), QString("end-39"));
        moveTo(over);
        QCOMPARE(pane.viewport()->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(highlighted.count(), 1);
        QCOMPARE(highlighted.last().at(0).toUrl(), QUrl("end-39"));
        moveTo(QPoint(495, 5));
        QCOMPARE(pane.viewport()->cursor().shape(), resting);
        QCOMPARE(highlighted.count(), 2);
        QCOMPARE(highlighted.last().at(0).toUrl(), QUrl());

        // A drag still selects, from where it began to where the pointer went.
        const Qt::TextInteractionFlags flags = pane.textInteractionFlags();
        QTextCursor from(pane.document());
        from.setPosition(pane.document()->toPlainText().lastIndexOf("段首链接"));
        const QPoint start = pane.cursorRect(from).center();
        QTest::mousePress(pane.viewport(), Qt::LeftButton, {}, start);
        QMouseEvent drag(QEvent::MouseMove, over, pane.viewport()->mapToGlobal(over), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(pane.viewport(), &drag);
        QTest::mouseRelease(pane.viewport(), Qt::LeftButton, {}, over);
        QVERIFY(pane.textCursor().selectedText().startsWith("段首链接"));
        QVERIFY(pane.textCursor().selectedText().endsWith("链"));
        QCOMPARE(pane.textInteractionFlags(), flags);

        // A click opens the link it was made on; a press off every link does not open the one
        // it is let go over, as in a web page.
        QSignalSpy clicked(&pane, &QTextBrowser::anchorClicked);
        QTest::mouseClick(pane.viewport(), Qt::LeftButton, {}, over);
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(clicked.last().at(0).toUrl(), QUrl("end-39"));
        QTest::mousePress(pane.viewport(), Qt::LeftButton, {}, QPoint(495, 5));
        QTest::mouseRelease(pane.viewport(), Qt::LeftButton, {}, over);
        QCOMPARE(clicked.count(), 1);
        QTest::mouseClick(pane.viewport(), Qt::LeftButton, {}, over);
        QCOMPARE(clicked.count(), 2);
        QCOMPARE(pane.textInteractionFlags(), flags);
    }

    // Replies kept from the last drawing give exactly the document fresh conversions give,
    // and only new replies are converted again. (The plain recipe is checked pixel by pixel
    // below.)
    void cachedRepliesSameDocument()
    {
        QJsonArray messages{
            turn("user", "表格和代码"),
            turn("assistant",
                 "## 标题\n\n| a | b |\n|---|---|\n| 1 | 2 |\n\n```cpp\nint x;\n```\n"),
            turn("user", "列表"),
            turn("assistant", "- [x] 一\n- 二\n\n1. 三\n\n> 引用 ~~删~~"),
            turn("assistant", "| a | b |\n|---|---|\n| 1 | 2 |\n\n```cpp\nint x;\n```\n"),
        };
        MarkdownView pane;
        drawTranscript(&pane, messages);
        ReplyFragmentCache* cache = ReplyFragmentCache::of(&pane);
        const int first = cache->conversions();
        QCOMPARE(first, 3);
        QCOMPARE(pane.document()->toHtml(), freshlyDrawn(messages));

        drawTranscript(&pane, messages);
        QCOMPARE(cache->conversions(), first);
        QCOMPARE(pane.document()->toHtml(), freshlyDrawn(messages));

        messages.append(turn("assistant", "新的 **回复**"));
        drawTranscript(&pane, messages);
        QCOMPARE(cache->conversions(), first + 1);
        QCOMPARE(pane.document()->toHtml(), freshlyDrawn(messages));
        QCOMPARE(ReplyFragmentCache::of(&pane), cache);
    }

    void looksAsDrawnPlainly_data()
    {
        QTest::addColumn<QJsonArray>("messages");
        QTest::addColumn<bool>("themed");
        // What the pane showed before: nothing, a long transcript, or the same turns (the
        // redraw after a reply). The first starts without a scroll bar, the others with one.
        QTest::addColumn<QJsonArray>("before");
        const QString table = "| 方法 | 耗时 |\n|---|---|\n| 旧 | 慢 |\n| 新 | 快 |\n";
        QJsonArray longer;
        for (int i = 0; i < 30; ++i)
            longer.append(i % 2 ? turn("assistant", QString("## 回答 %1\n\n- 一\n- 二\n\n%2\n"
                                                            "```cpp\nint x;\n```\n")
                                                        .arg(i)
                                                        .arg(table))
                                : turn("user", QString("第 %1 个问题").arg(i)));
        const QList<QPair<const char*, QJsonArray>> transcripts{
            {"plain",
             {turn("user", "你好"), turn("assistant", "好的，*已完成*。"),
              turn("user", "**再来**\n一行")}},
            {"one user turn", {turn("user", "只有一句")}},
            {"empty turns", {turn("user", ""), QJsonValue("不是对象"), turn("assistant", "")}},
            {"table first and last",
             {turn("assistant", table), turn("user", "表"), turn("assistant", table)}},
            {"code last", {turn("user", "码"), turn("assistant", "```cpp\nint x;\n```\n")}},
            // Replies ending in a list: the lines after it are plain again.
            {"list last", {turn("user", "列表"), turn("assistant", "- [x] 一\n- 二\n\n1. 三\n")}},
            {"list first", {turn("assistant", "- 甲\n- 乙\n"), turn("user", "问")}},
            {"paragraph margins last",
             {turn("assistant", "# 标题\n\n段落"), turn("user", "问"),
              turn("assistant", "## 小标题\n\n> 引用 ~~删~~\n\n段落")}},
            {"long, scrolled", longer},
        };
        // Where one of the frames that hold the turns ends and the next begins: the turns on
        // either side of that edge are those most likely to carry their look across it.
        const auto acrossEdge = [](const QJsonObject& last, const QJsonObject& next) {
            return acrossFrameEdge(40, last, next);
        };
        // Long enough for frames in frames: every kind of turn meets every kind of edge.
        const QJsonObject kinds[] = {turn("assistant", "- [x] 一\n- 二\n\n1. 三\n"),
                                     turn("user", "**再来**\n一行"),
                                     turn("assistant", table),
                                     turn("user", ""),
                                     turn("assistant", "## 小标题\n\n> 引用 ~~删~~\n\n段落"),
                                     turn("assistant", "```cpp\nint x;\n```\n"),
                                     turn("assistant", "# 标题\n\n段落")};
        QJsonArray nested;
        for (int i = 0; i < 300; ++i)
            nested.append(kinds[i % 7]);
        const QList<QPair<const char*, QJsonArray>> edges{
            {"frame edge, lists", acrossEdge(turn("assistant", "- [x] 一\n- 二\n\n1. 三\n"),
                                             turn("assistant", "- 甲\n- 乙\n"))},
            {"frame edge, tables", acrossEdge(turn("assistant", table), turn("assistant", table))},
            {"frame edge, code and a user turn",
             acrossEdge(turn("assistant", "```cpp\nint x;\n```\n"), turn("user", "问"))},
            {"frame edge, margins",
             acrossEdge(turn("assistant", "## 小标题\n\n> 引用 ~~删~~\n\n段落"),
                        turn("assistant", "# 标题\n\n段落"))},
            {"frame edge, empty turns", acrossEdge(turn("user", ""), turn("assistant", ""))},
            {"frames in frames", nested},
        };
        for (const auto& [name, messages] : edges) {
            QTest::addRow("%s", name) << messages << false << QJsonArray();
            QTest::addRow("%s, drawn again", name) << messages << true << messages;
        }
        for (const auto& [name, messages] : transcripts) {
            QTest::addRow("%s", name) << messages << false << QJsonArray();
            QTest::addRow("%s, themed", name) << messages << true << QJsonArray();
            QTest::addRow("%s, over a long one", name) << messages << true << longer;
            QTest::addRow("%s, drawn again", name) << messages << false << messages;
        }
    }

    // Drawn, scrolled, streamed into and selected, the transcript shows exactly the pixels
    // of the same turns inserted one after another into the document's top frame.
    void looksAsDrawnPlainly()
    {
        QFETCH(QJsonArray, messages);
        QFETCH(bool, themed);
        QFETCH(QJsonArray, before);
        QString sheet;
        if (themed) {
            QFile file(":/theme.qss");
            QVERIFY(file.open(QIODevice::ReadOnly));
            sheet = QString::fromUtf8(file.readAll());
        }
        MarkdownView reference;
        MarkdownView pane;
        for (MarkdownView* view : {&reference, &pane}) {
            view->setObjectName("transcript");
            view->setStyleSheet(sheet);
            view->setFixedSize(800, 600);
            view->show();
            QVERIFY(QTest::qWaitForWindowExposed(view));
        }
        if (!before.isEmpty())
            drawTranscript(&pane, before);
        drawPlainly(reference, messages);
        drawTranscript(&pane, messages);
        QCOMPARE(pane.verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);

        // What differs between the two panes, or nothing.
        const auto difference = [&]() -> QString {
            if (pane.document()->toPlainText() != reference.document()->toPlainText())
                return "the text";
            if (pane.document()->blockCount() != reference.document()->blockCount())
                return "the block count";
            if (pane.textCursor().position() != reference.textCursor().position())
                return "the cursor position";
            const QScrollBar* bar = pane.verticalScrollBar();
            const QScrollBar* referenceBar = reference.verticalScrollBar();
            if (bar->maximum() != referenceBar->maximum() || bar->value() != referenceBar->value())
                return "the scroll bar";
            if (pane.grab().toImage() != reference.grab().toImage())
                return "the pixels";
            return {};
        };
        const auto same = [&](const char* stage) {
            const QString found = difference();
            if (!found.isEmpty())
                QTest::qFail(qPrintable(found + " differ " + stage), __FILE__, __LINE__);
            return found.isEmpty();
        };
        if (!same("after drawing"))
            return;
        for (MarkdownView* view : {&reference, &pane})
            view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
        if (!same("scrolled to the end"))
            return;

        bool referenceStarted = false;
        bool paneStarted = false;
        for (const QString& text :
             {QString("流式"), QString("片段 ok\n"), QString("更多\n\n文字")}) {
            appendStreamedFragment(&reference, text, referenceStarted);
            appendStreamedFragment(&pane, text, paneStarted);
            if (!same("while streaming"))
                return;
        }
        for (MarkdownView* view : {&reference, &pane})
            view->verticalScrollBar()->setValue(0);
        if (!same("streamed, scrolled to the top"))
            return;

        // Selections over the first header, the drawn turns and the streamed text.
        for (MarkdownView* view : {&reference, &pane}) {
            QTextCursor cursor(view->document());
            cursor.setPosition(1);
            cursor.setPosition(view->document()->characterCount() - 3, QTextCursor::KeepAnchor);
            view->setTextCursor(cursor);
        }
        if (!same("with a selection"))
            return;
        for (MarkdownView* view : {&reference, &pane})
            view->selectAll();
        if (!same("all selected"))
            return;
        QCOMPARE(pane.textCursor().selection().toPlainText(),
                 reference.textCursor().selection().toPlainText());
    }

    // However long the conversation, the frames nest at most three deep, open and close in
    // pairs, one holds all the others, and few lie side by side at any level: painting,
    // pointing and editing each walk one level's frames.
    void framePlanBounded_data()
    {
        QTest::addColumn<int>("turns");
        for (int turns : {0, 1, 2, 17, 18, 19, 40, 257, 258, 259, 300, 1000, 5000, 100000})
            QTest::addRow("%d", turns) << turns;
    }

    void framePlanBounded()
    {
        QFETCH(int, turns);
        const TurnFrames plan = planTurnFrames(turns);
        QCOMPARE(plan.opens.size(), turns);
        QCOMPARE(plan.closes.size(), turns);
        QList<int> sideBySide{0}; // per open level, the frames so far
        qsizetype longestRun = 0;
        qsizetype runStart = 0;
        for (qsizetype i = 0; i < turns; ++i) {
            if (plan.opens.at(i)) {
                ++sideBySide.last();
                sideBySide.append(0);
                runStart = i;
            }
            QVERIFY2(sideBySide.size() <= 4, "more than three frames deep");
            if (plan.closes.at(i)) {
                QVERIFY2(sideBySide.size() > 1, "a frame closed that was never opened");
                if (sideBySide.last() == 0) // a frame with none inside
                    longestRun = qMax(longestRun, i - runStart + 1);
                sideBySide.removeLast();
            }
            QVERIFY(sideBySide.last() <= 16);
        }
        QCOMPARE(sideBySide.size(), 1); // all closed
        QVERIFY(sideBySide.first() <= 1);
        if (turns > 0)
            QVERIFY(plan.closes.last()); // a streamed reply follows a frame
        QVERIFY(longestRun <= qMax(18, turns / 200));
    }

    // Drawn, the turns lie in the planned frames, and the last frame ends where a streamed
    // reply would begin.
    void framesAsPlanned()
    {
        QJsonArray messages;
        for (int i = 0; i < 300; ++i)
            messages.append(turn(i % 2 ? "assistant" : "user", QString("第 %1 轮").arg(i)));
        MarkdownView pane;
        const QList<int> starts = drawTranscript(&pane, messages);
        const QList<QTextFrame*> top = pane.document()->rootFrame()->childFrames();
        QCOMPARE(top.size(), 1);
        QCOMPARE(top.first()->lastPosition() + 1, starts.last());
        const QList<QTextFrame*> groups = top.first()->childFrames();
        QCOMPARE(groups.size(), 2);
        QCOMPARE(groups.last()->childFrames().size(), 16);
        const TurnFrames plan = planTurnFrames(300);
        for (QTextFrame* frame : top + groups + groups.last()->childFrames()) {
            // Each frame opens right after a turn's header and ends just before a turn.
            const auto opened =
                std::upper_bound(starts.begin(), starts.end(), frame->firstPosition()) -
                starts.begin() - 1;
            QVERIFY(plan.opens.at(opened));
            QVERIFY(starts.contains(frame->lastPosition() + 1));
        }
    }

    // Fragment by fragment, the streamed reply looks exactly like its text so far inserted
    // at once: nothing drawn from a line's earlier glyphs survives a change to that line, and
    // the finished lines, moved into the frame above, keep their place, their look and the
    // positions of their characters, whatever ends them.
    void streamedTextAsInsertedAtOnce()
    {
        const QJsonArray messages{turn("user", "你好"), turn("assistant", "| a |\n|---|\n| 1 |\n"),
                                  turn("user", "再说一遍")};
        MarkdownView pane;
        QVERIFY(showDrawn(pane, {600, 400}, messages));
        const qsizetype drawnFrames = pane.document()->rootFrame()->childFrames().size();

        bool started = false;
        QString sofar;
        for (const QString& text :
             {QString("流式"), QString("片段 ok"), QString("\n更"), QString("多文字 wider"),
              QString("\n\n结尾"), QString("\r\n"), QString("第三行\r第四行"), QString("末尾\n"),
              QString("新的一行"), QString("\n") + QString(30, u'长') + "\n",
              QString("很多行\n").repeated(40), QString("更多行\n").repeated(40),
              QString("再多行\n").repeated(40), QString("最后\n")}) {
            appendStreamedFragment(&pane, text, started);
            sofar += text;

            MarkdownView reference;
            QVERIFY(showDrawn(reference, {600, 400}, messages));
            QTextCursor cursor = plainReplyStart(reference);
            cursor.insertText(sofar, turnTextFormat());
            reference.setTextCursor(cursor);

            const QString after = "after " + QString(sofar).replace('\r', "\\r");
            QCOMPARE(pane.document()->toPlainText(), reference.document()->toPlainText());
            QCOMPARE(pane.document()->characterCount(), reference.document()->characterCount());
            QCOMPARE(pane.document()->blockCount(), reference.document()->blockCount());
            QCOMPARE(pane.textCursor().position(), pane.document()->characterCount() - 1);
            QCOMPARE(pane.verticalScrollBar()->value(), reference.verticalScrollBar()->value());
            QVERIFY2(pane.grab().toImage() == reference.grab().toImage(), qPrintable(after));
            // A new frame would make the toolkit scan the whole document's frames.
            QCOMPARE(pane.document()->rootFrame()->childFrames().size(), drawnFrames);
        }
        // The header and the first lines went into the turns' frame, where a fragment's
        // layout passes over them in one step.
        const int header = pane.document()->toPlainText().indexOf(turnTitle(true));
        QVERIFY(holdsDrawnTurns(pane.document()->frameAt(header)));
    }

    // Whatever a reply's fragments hold (every kind of line end, separators the toolkit reads
    // as line ends, characters split between fragments, long runs of lines), the streamed
    // text is what plain insertion of it all would show.
    void streamedTextKeptWhateverItHolds()
    {
        // The two halves of one emoji also come on their own.
        const QStringList pieces{"字",     "ab",          " ",           "\n",
                                 "\r\n",   "\r",          "\t",          "\u2029",
                                 "\u2028", "\ufdd0",      "\ufdd1",      "",
                                 "😀",      QChar(0xd83d), QChar(0xde00), QString(10, u'\n'),
                                 "行\n"};
        const QJsonArray messages{turn("user", "你好"), turn("assistant", "| a |\n|---|\n| 1 |\n"),
                                  turn("user", "再说一遍")};
        MarkdownView pane;
        QVERIFY(showDrawn(pane, {500, 300}, messages));
        MarkdownView reference;
        QVERIFY(showDrawn(reference, {500, 300}, messages));
        QTextCursor cursor = plainReplyStart(reference);

        QRandomGenerator random(1234);
        bool started = false;
        for (int i = 0; i < 400; ++i) {
            QString text;
            for (int n = random.bounded(4); n >= 0; --n)
                text += pieces.at(random.bounded(int(pieces.size())));
            appendStreamedFragment(&pane, text, started);
            cursor.insertText(text, turnTextFormat());
            if (pane.document()->toPlainText() != reference.document()->toPlainText())
                QFAIL(qPrintable(QString("differs after fragment %1").arg(i)));
        }
        reference.setTextCursor(cursor);
        QCOMPARE(pane.document()->blockCount(), reference.document()->blockCount());
        QCOMPARE(pane.verticalScrollBar()->maximum(), reference.verticalScrollBar()->maximum());
        QVERIFY(pane.grab().toImage() == reference.grab().toImage());
    }
};

KESTRUNE_TEST_MAIN(Tst_transcript)
#include "tst_transcript.moc"
