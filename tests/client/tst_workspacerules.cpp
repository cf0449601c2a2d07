// The workspace's rules on their own, without a window: what a private store's bytes hold,
// how a thread record takes new turns and its automatic title, the notice after a reply.

#include "chat/privatestorecontent.h"
#include "chat/replysummary.h"
#include "chat/threadrecords.h"
#include "testenvironment.h"

#include <QApplication>
#include <QJsonDocument>
#include <QtTest>

using Problem = PrivateStoreContent::Problem;

namespace
{

QJsonObject turn(const QString& role, const QString& content)
{
    return {{"role", role}, {"content", content}};
}

} // namespace

class TstWorkspaceRules : public QObject
{
    Q_OBJECT

private slots:
    void privateStoreFromItsBytes_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<bool>("fileExists");
        QTest::addColumn<int>("problem");
        QTest::addColumn<int>("threads");
        QTest::newRow("first start, no file") << QByteArray() << false << int(Problem::None) << 0;
        QTest::newRow("a file that does not unseal")
            << QByteArray() << true << int(Problem::CannotOpen) << 0;
        QTest::newRow("two threads") << QByteArray(R"({"threads":[{"id":"a"},{"id":"b"}]})") << true
                                     << int(Problem::None) << 2;
        QTest::newRow("an object without threads")
            << QByteArray(R"({"other":1})") << true << int(Problem::None) << 0;
        QTest::newRow("threads of another type")
            << QByteArray(R"({"threads":{"id":"a"}})") << true << int(Problem::None) << 0;
        QTest::newRow("a JSON array") << QByteArray("[1]") << true << int(Problem::NotAStore) << 0;
        QTest::newRow("not JSON") << QByteArray("garbage") << true << int(Problem::NotAStore) << 0;
    }

    void privateStoreFromItsBytes()
    {
        QFETCH(QByteArray, plain);
        QFETCH(bool, fileExists);
        QFETCH(int, problem);
        QFETCH(int, threads);
        const PrivateStoreContent content = readPrivateStore(plain, fileExists);
        QCOMPARE(int(content.problem), problem);
        QCOMPARE(content.threads.size(), threads);
    }

    void privateStoreRoundTripAndFileName()
    {
        const QJsonArray threads{newThreadRecord("t1", "m", 100)};
        const QByteArray bytes = privateStoreBytes(threads);
        QVERIFY(!bytes.contains('\n')); // compact
        QCOMPARE(readPrivateStore(bytes, true).threads, threads);

        QCOMPARE(privateStoreFileName("u1"), QStringLiteral("private-u1.bin"));
        QCOMPARE(privateStoreFileName("../x"), QStringLiteral("private-..%2Fx.bin"));
        QCOMPARE(privateStoreFileName("a\\b"), QStringLiteral("private-a%5Cb.bin"));
    }

    void findingAThread()
    {
        const QJsonArray threads{newThreadRecord("a", "m", 1), QJsonValue("not an object"),
                                 newThreadRecord("b", "m", 2)};
        QCOMPARE(findThread(threads, "b"), 2);
        QCOMPARE(findThread(threads, "a"), 0);
        QCOMPARE(findThread(threads, "missing"), -1);
        QCOMPARE(findThread(threads, ""), 1); // a record without an id has an empty one
    }

    void aThreadTakesNewTurns()
    {
        const QJsonObject fresh = newThreadRecord("t", "m-one", 100);
        QCOMPARE(fresh.value("title").toString(), defaultThreadTitle());
        QCOMPARE(fresh.value("messages").toArray(), QJsonArray());
        QCOMPARE(fresh.value("created_at").toInteger(), 100);

        // The first exchange names a thread still under the default title.
        const QJsonArray first{turn("user", "  帮我   写一首\n诗  "), turn("assistant", "好")};
        const QJsonObject named = withTurns(fresh, "m-two", first, 200);
        QCOMPARE(named.value("title").toString(), QStringLiteral("帮我 写一首 诗"));
        QCOMPARE(named.value("model").toString(), QStringLiteral("m-two"));
        QCOMPARE(named.value("messages").toArray(), first);
        QCOMPARE(named.value("updated_at").toInteger(), 200);
        QCOMPARE(named.value("created_at").toInteger(), 100);

        // A title the user gave, or one taken before, stays.
        QJsonObject renamed = fresh;
        renamed.insert("title", "我的标题");
        QCOMPARE(withTurns(renamed, "m", first, 300).value("title").toString(),
                 QStringLiteral("我的标题"));
        const QJsonArray more = first + turn("user", "再来一首") + turn("assistant", "好");
        QCOMPARE(withTurns(named, "m", more, 300).value("title"), named.value("title"));

        // No messages, or a first message with no visible text: the default title stays.
        QCOMPARE(withTurns(fresh, "m", {}, 300).value("title").toString(), defaultThreadTitle());
        QCOMPARE(withTurns(fresh, "m", {turn("user", " \t ")}, 300).value("title").toString(),
                 defaultThreadTitle());
    }

    void summaryAfterAReply()
    {
        QCOMPARE(replySummary(service::finishedReply({{"charged", 3}, {"truncated", false}})),
                 QStringLiteral("本次使用 3 对话额度"));
        QCOMPARE(replySummary(service::finishedReply({{"charged", 12}, {"truncated", true}})),
                 QStringLiteral("本次使用 12 对话额度 · 回复已截断"));
        QCOMPARE(replySummary(service::finishedReply({})), QStringLiteral("本次使用 0 对话额度"));
    }
};

KESTRUNE_TEST_MAIN(TstWorkspaceRules)
#include "tst_workspacerules.moc"
