// The workspace's search over every conversation (Ctrl+Shift+F): the window's own private
// threads in memory, the service's search for cloud conversations, and without it the titles
// and the conversations opened so far. A hit opens its conversation with the find bar on the
// query at that turn.

#include "api/api.h"
#include "chat/chatwindow.h"
#include "chat/findbar.h"
#include "chat/privatestorefile.h"
#include "chat/searchpane.h"
#include "chat/turnsearch.h"
#include "probes.h"
#include "scriptedserver.h"
#include "testenvironment.h"
#include "workspacetesting.h"

#include <QApplication>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkReply>
#include <QUrlQuery>
#include <QtTest>

#include <memory>

namespace
{

QJsonObject threadRecord(const QString& id, const QString& title, qint64 updated,
                         const QStringList& turns)
{
    QJsonArray messages;
    for (qsizetype i = 0; i < turns.size(); ++i)
        messages.append(
            QJsonObject{{"role", i % 2 ? "assistant" : "user"}, {"content", turns.at(i)}});
    return {{"id", id},
            {"title", title},
            {"model", "m-one"},
            {"messages", messages},
            {"created_at", updated},
            {"updated_at", updated}};
}

QByteArray json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// A workspace of "u1" with two cloud conversations, c1 "周报" and c2 "部署方案", whose turns
// the service sends when one is opened; /api/search answers with `searchReply`.
struct Workspace {
    ScriptedServer server;
    std::unique_ptr<Api> api = std::make_unique<Api>();
    std::unique_ptr<ChatWindow> window;
    ScriptedReply searchReply = ScriptedReply::json(200, R"({"results":[]})");
    QList<ScriptedReply> streams;

    Workspace()
    {
        const auto service = twoModelService(
            R"({"conversations":[{"id":"c1","title":"周报"},{"id":"c2","title":"部署方案"}]})");
        server.setHandler([this, service](const RecordedRequest& request) {
            if (request.path.startsWith("/api/search"))
                return searchReply;
            if (request.path == "/api/conversations/c1")
                return ScriptedReply::json(
                    200,
                    json({{"conversation", QJsonObject{{"title", "周报"}, {"model", "m-one"}}},
                          {"messages",
                           QJsonArray{QJsonObject{{"role", "user"}, {"content", "本周完成了迁移"}},
                                      QJsonObject{{"role", "assistant"}, {"content", "好的"}}}}}));
            if (request.path == "/api/conversations/c2")
                return ScriptedReply::json(
                    200,
                    json({{"conversation", QJsonObject{{"title", "部署方案"}, {"model", "m-one"}}},
                          {"messages",
                           QJsonArray{QJsonObject{{"role", "user"}, {"content", "蓝绿部署怎么做"}},
                                      QJsonObject{{"role", "assistant"},
                                                  {"content", "先准备两套环境。\n\n蓝绿部署的"
                                                              "要点是切换流量。"}}}}}));
            if (request.path == "/api/chat/stream" && !streams.isEmpty())
                return streams.takeFirst();
            return service(request);
        });
        api->baseUrl = QUrl(server.origin());
    }

    bool open()
    {
        window = std::make_unique<ChatWindow>(
            api.get(), QJsonObject{{"id", "u1"}, {"username", "mei"}, {"points", 100}}, [] {});
        window->show();
        window->activateWindow();
        return QTest::qWaitForWindowActive(window.get()) && settled() &&
               probe().conversationList()->count() == 2;
    }

    bool settled()
    {
        return QTest::qWaitFor([this] {
            return !probe().busy() && api->network.findChildren<QNetworkReply*>().isEmpty() &&
                   probe().modelSelect()->count() == 2;
        });
    }

    ChatWindowProbe probe() const { return ChatWindowProbe(window.get()); }

    SearchPane* openPane()
    {
        QTest::keyClick(window.get(), Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
        // By name: the pop-up has no meta-object of its own to be cast by.
        QFrame* frame = nullptr;
        if (!QTest::qWaitFor([&] { return (frame = window->findChild<QFrame*>("searchPane")); }))
            return nullptr;
        return static_cast<SearchPane*>(frame);
    }

    int requestsFor(const QByteArray& prefix) const
    {
        int count = 0;
        for (const RecordedRequest& request : server.requests())
            count += request.path.startsWith(prefix);
        return count;
    }
};

// What each hit says, as "title|本机 or 云端|who|marked text".
QStringList described(const SearchPane* pane)
{
    QStringList out;
    for (const TurnHit& hit : pane->hits()) {
        QStringList marked;
        for (const auto& [start, length] : hit.marks)
            marked << hit.snippet.mid(start, length);
        out << QStringList{hit.title, hit.isPrivate ? "本机" : "云端",
                           hit.titleOnly   ? "标题"
                           : hit.assistant ? "KestruneAI"
                                           : "你",
                           marked.join(',')}
                   .join('|');
    }
    return out;
}

const QString otherAccountsSecret = QStringLiteral("别人的秘密计划");

} // namespace

class TstSearch : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(savePrivateStoreFile(
            "private-u1.bin",
            {threadRecord("p-old", "旅行", 1796000000, {"去杭州看西湖", "西湖边的**断桥**很有名"}),
             threadRecord("p-new", "笔记", 1796000500,
                          {"ＫＥＳＴＲＵＮＥ full width", "记下：**重要**的结论是先做测试。"})}));
        QVERIFY(savePrivateStoreFile("private-u2.bin", {threadRecord("p-other", "别人", 1796000900,
                                                                     {otherAccountsSecret})}));
    }

    // Matching as the find bar does, past Markdown's marks, newest first; one and two Chinese
    // characters find too. Another account's threads are not the window's to search.
    void localTurnsAreFoundAsTheFindBarFinds()
    {
        LocalTurns turns;
        turns.add("a", "甲", true, 1000, {QJsonObject{{"role", "user"}, {"content", "西湖"}}});
        turns.add("b", "乙", false, 2000,
                  {QJsonObject{{"role", "user"}, {"content", "问西湖"}},
                   QJsonObject{{"role", "assistant"}, {"content", "**西**湖 😀 Apple ａｐｐｌｅ"}}});
        QList<TurnHit> hits = turns.find("西湖", 10);
        QCOMPARE(hits.size(), 3);
        QCOMPARE(hits.at(0).conversationId, QString("b"));
        QCOMPARE(hits.at(0).turn, 1);
        QCOMPARE(hits.at(0).snippet, QStringLiteral("西湖 😀 Apple ａｐｐｌｅ"));
        QCOMPARE(hits.at(1).turn, 0);
        QCOMPARE(hits.at(2).conversationId, QString("a"));
        QCOMPARE(turns.find("湖", 10).size(), 3);
        hits = turns.find("APPLE", 10);
        QCOMPARE(hits.size(), 1);
        QCOMPARE(hits.at(0).marks.size(), 2);
        QCOMPARE(hits.at(0).snippet.mid(hits.at(0).marks.at(1).first, 5),
                 QStringLiteral("ａｐｐｌｅ"));
        QVERIFY(turns.find("东湖", 10).isEmpty());
        QCOMPARE(turns.find("湖", 1).size(), 1);
        QCOMPARE(plainForSearch("**重要**的`代码`与~~旧~~"), QStringLiteral("重要的代码与旧"));
    }

    // A private match, across Markdown marks, opens its thread with the find bar on it.
    void privateHitOpensTheThread()
    {
        Workspace ws;
        QVERIFY(ws.open());
        SearchPane* pane = ws.openPane();
        QVERIFY(pane);
        pane->field()->setText("重要的结论");
        QCOMPARE(described(pane), QStringList{"笔记|本机|KestruneAI|重要的结论"});
        pane->field()->setText("西湖");
        QCOMPARE(described(pane), (QStringList{"旅行|本机|KestruneAI|西湖", "旅行|本机|你|西湖"}));
        pane->field()->setText("kestrune");
        QCOMPARE(described(pane), QStringList{"笔记|本机|你|ＫＥＳＴＲＵＮＥ"});
        pane->field()->setText("秘密");
        QVERIFY(pane->hits().isEmpty());

        pane->field()->setText("断桥");
        QTest::keyClick(pane->field(), Qt::Key_Return);
        QCOMPARE(ws.probe().privateId(), QString("p-old"));
        FindBar* find = ws.probe().findBar();
        QVERIFY(find->isVisible());
        QCOMPARE(find->field()->text(), QString("断桥"));
        QCOMPARE(find->matchCount(), 1);
        QCOMPARE(find->currentIndex(), 0);
        QVERIFY(!QApplication::activePopupWidget()); // the pane closed
    }

    // The service's hits join the list; one opens its conversation as a click on the list
    // would, and the find bar lands on the turn the snippet came from.
    void cloudHitOpensTheConversation()
    {
        Workspace ws;
        // A snippet with an emoji before the match: offsets come in code points.
        ws.searchReply = ScriptedReply::json(
            200,
            json({{"results", QJsonArray{QJsonObject{{"conversation_id", "c2"},
                                                     {"title", "部署方案"},
                                                     {"role", "assistant"},
                                                     {"snippet", "…😀蓝绿部署的要点是切换流量。"},
                                                     {"matches", QJsonArray{QJsonArray{2, 4}}},
                                                     {"created_at", qint64(1796000900000)}},
                                         QJsonObject{{"conversation_id", "c2"},
                                                     {"title", "部署方案"},
                                                     {"role", "user"},
                                                     {"snippet", "蓝绿部署怎么做"},
                                                     {"matches", QJsonArray{QJsonArray{0, 4}}},
                                                     {"created_at", qint64(1796000800000)}}}}}));
        QVERIFY(ws.open());
        SearchPane* pane = ws.openPane();
        QVERIFY(pane);
        pane->field()->setText("蓝绿部署");
        QTRY_COMPARE(described(pane), (QStringList{"部署方案|云端|KestruneAI|蓝绿部署",
                                                   "部署方案|云端|你|蓝绿部署"}));
        QVERIFY(pane->note()->isHidden());
        const RecordedRequest& asked = ws.server.requests().last();
        const QUrlQuery query(QUrl(QString::fromLatin1(asked.path)).query());
        QCOMPARE(query.queryItemValue("q", QUrl::FullyDecoded), QString("蓝绿部署"));

        QTest::keyClick(pane->field(), Qt::Key_Return);
        QTRY_COMPARE(ws.probe().cloudId(), QString("c2"));
        FindBar* find = ws.probe().findBar();
        QTRY_VERIFY(find->isVisible());
        QCOMPARE(find->field()->text(), QString("蓝绿部署"));
        QCOMPARE(find->matchCount(), 2);
        QCOMPARE(find->currentIndex(), 1); // the reply's, not the prompt's
    }

    // A service without search: titles and the conversations opened so far are searched, the
    // pane says so, and nothing is fetched to be searched.
    void withoutServiceSearch()
    {
        Workspace ws;
        ws.searchReply = ScriptedReply::json(404, R"({"error":"未找到"})");
        QVERIFY(ws.open());
        ws.probe().openConversation(ws.probe().conversationList()->item(0)); // c1, fetched
        QTRY_COMPARE(ws.probe().cloudId(), QString("c1"));
        QVERIFY(ws.settled());
        const int fetched = ws.requestsFor("/api/conversations/");

        SearchPane* pane = ws.openPane();
        QVERIFY(pane);
        pane->field()->setText("迁移");
        QTRY_VERIFY(pane->note()->isVisible());
        QCOMPARE(pane->note()->text(), SearchPane::fallbackNote());
        QCOMPARE(described(pane), QStringList{"周报|云端|你|迁移"});
        pane->field()->setText("部署");
        QCOMPARE(described(pane), QStringList{"部署方案|云端|标题|部署"});
        pane->field()->setText("切换流量"); // in c2, never opened
        QVERIFY(pane->hits().isEmpty());
        QPointer<SearchPane> closed(pane);
        pane->close();
        QTRY_VERIFY(!closed); // gone, not only hidden
        QCOMPARE(ws.requestsFor("/api/conversations/"), fetched);

        // Asked once: the next search does not ask again.
        const int searches = ws.requestsFor("/api/search");
        pane = ws.openPane();
        QVERIFY(pane);
        pane->field()->setText("周报");
        QTest::qWait(400);
        QCOMPARE(ws.requestsFor("/api/search"), searches);
        QVERIFY(pane->note()->isVisible());
        QCOMPARE(described(pane), QStringList{"周报|云端|标题|周报"});
    }

    // While a reply is written the search answers, but nothing opens.
    void typedWhileAReplyStreams()
    {
        Workspace ws;
        ScriptedReply held =
            ScriptedReply::eventStream("event: delta\ndata: {\"text\":\"写\"}\n\n");
        held.ending = ScriptedReply::Ending::HoldOpen;
        ws.streams << held;
        QVERIFY(ws.open());
        ws.probe().chatInput()->setPlainText("问");
        ws.probe().submit();
        QVERIFY(ws.probe().busy());
        SearchPane* pane = ws.openPane();
        QVERIFY(pane);
        pane->field()->setText("西湖");
        QCOMPARE(pane->hits().size(), 2);
        QTest::keyClick(pane->field(), Qt::Key_Return);
        QVERIFY(ws.probe().busy());
        QVERIFY(ws.probe().privateId().isEmpty());
        QVERIFY(!ws.probe().findBar()->isVisible());
    }
};

KESTRUNE_TEST_MAIN(TstSearch)
#include "tst_search.moc"
