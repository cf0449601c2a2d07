#include "api/eventstream.h"
#include "api/flatjson.h"
#include "streamreference.h"
#include "testenvironment.h"

#include <QApplication>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QtTest>

namespace
{

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QJsonObject fullParse(const QByteArray& data)
{
    return QJsonDocument::fromJson(data).object();
}

// Every block as "name|compact JSON": what the plain reading finds, to state the rules of the
// format on.
QStringList describe(const QList<StreamEvent>& events)
{
    QStringList out;
    for (const StreamEvent& event : events)
        out << QString::fromUtf8(event.name) + "|" + compact(fullParse(event.data));
    return out;
}

// What the client must take from those blocks: the text of a "delta" or an "error", the
// whole object of a "done", nothing of other blocks. Read with the toolkit's own parser.
QStringList expectedForClient(const QList<StreamEvent>& events)
{
    QStringList out;
    for (const StreamEvent& event : events) {
        if (event.name == "delta")
            out << "delta|" + fullParse(event.data).value("text").toString();
        else if (event.name == "error")
            out << "error|" + fullParse(event.data).value("error").toString();
        else if (event.name == "done")
            out << "done|" + compact(fullParse(event.data));
    }
    return out;
}

QStringList describe(const QList<ReplyEvent>& events)
{
    QStringList out;
    for (const ReplyEvent& event : events) {
        switch (event.kind) {
        case ReplyEvent::Kind::Delta:
            out << "delta|" + event.text;
            break;
        case ReplyEvent::Kind::Error:
            out << "error|" + event.text;
            break;
        case ReplyEvent::Kind::Done:
            out << "done|" + compact(eventObject(event.data));
            break;
        }
    }
    return out;
}

struct Decoded {
    QStringList events;
    QByteArray rest;
};

// The client's decoder fed the stream cut at `cuts`.
Decoded decodeInPieces(const QByteArray& stream, const QList<qsizetype>& cuts)
{
    Decoded decoded;
    QByteArray buffer;
    qsizetype from = 0;
    for (qsizetype cut : cuts + QList<qsizetype>{stream.size()}) {
        decoded.events += describe(takeReplyEvents(buffer, stream.mid(from, cut - from)));
        from = cut;
    }
    decoded.rest = buffer;
    return decoded;
}

// The plain reading of the stream in one piece, as the client must take it.
Decoded expectedOf(const QByteArray& stream)
{
    Decoded expected;
    expected.events = expectedForClient(referenceStreamEvents(expected.rest, stream));
    return expected;
}

// A stream that exercises every rule of the decoder at once.
QByteArray mixedStream(bool crlf)
{
    QByteArray stream = ": keep-alive comment\n"
                        "id: 7\nretry: 1000\n"
                        "event: delta\ndata: {\"text\":\"你好，\"}\n\n"
                        "event:delta\ndata:{\"text\":\"world\"}\n\n"
                        "event: delta\ndata: {\"te\ndata: xt\":\"半个\"}\n\n"
                        "data: {\"text\":\"no name\"}\n\n"
                        "event: ping\nevent:   done   \ndata: {\"content\":\"你好，world\",\n"
                        "data: \"points\":7,\"charged\":1}\n\n"
                        "event: delta\ndata: {\"text\":\"unfinished";
    if (crlf)
        stream.replace("\n", "\r\n");
    return stream;
}

} // namespace

class TstEventStream : public QObject
{
    Q_OBJECT

private slots:
    void decodes_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QByteArray>("rest");

        QTest::newRow("one delta") << QByteArray("event: delta\ndata: {\"text\":\"a\"}\n\n")
                                   << QStringList{"delta|{\"text\":\"a\"}"} << QByteArray();
        QTest::newRow("crlf line ends")
            << QByteArray("event: delta\r\ndata: {\"text\":\"a\"}\r\n\r\n")
            << QStringList{"delta|{\"text\":\"a\"}"} << QByteArray();
        QTest::newRow("name without and with spaces")
            << QByteArray("event:delta\n\nevent: \t delta \t\n\n")
            << QStringList{"delta|{}", "delta|{}"} << QByteArray();
        QTest::newRow("last event line counts")
            << QByteArray("event: delta\nevent: done\ndata: {}\n\n") << QStringList{"done|{}"}
            << QByteArray();
        QTest::newRow("no event line") << QByteArray("data: {\"text\":\"a\"}\n\n")
                                       << QStringList{"|{\"text\":\"a\"}"} << QByteArray();
        QTest::newRow("data halves joined without separator")
            << QByteArray("event: done\ndata: {\"content\":\ndata:  \"ab\"}\n\n")
            << QStringList{"done|{\"content\":\"ab\"}"} << QByteArray();
        QTest::newRow("field names are case-sensitive and start the line")
            << QByteArray("Event: error\n event: error\nDATA: {\"a\":1}\n data: {\"b\":1}\n\n")
            << QStringList{"|{}"} << QByteArray();
        QTest::newRow("other lines ignored")
            << QByteArray(": comment\nid: 3\nretry: 10\nplain text\nevent: delta\n"
                          "data: {\"text\":\"x\"}\n\n")
            << QStringList{"delta|{\"text\":\"x\"}"} << QByteArray();
        QTest::newRow("invalid JSON gives an empty object")
            << QByteArray("event: delta\ndata: {oops\n\nevent: error\ndata: [1,2]\n\n"
                          "event: error\ndata: \"text\"\n\n")
            << QStringList{"delta|{}", "error|{}", "error|{}"} << QByteArray();
        QTest::newRow("empty data")
            << QByteArray("event: done\ndata:\n\n") << QStringList{"done|{}"} << QByteArray();
        QTest::newRow("extra blank lines are empty blocks")
            << QByteArray("\n\n\n\nevent: done\ndata: {}\n\n")
            << QStringList{"|{}", "|{}", "done|{}"} << QByteArray();
        QTest::newRow("unfinished block stays")
            << QByteArray("event: delta\ndata: {\"text\":\"a\"}\n\nevent: done\ndata: {}\n")
            << QStringList{"delta|{\"text\":\"a\"}"} << QByteArray("event: done\ndata: {}\n");
        QTest::newRow("plain JSON error reply stays whole")
            << QByteArray("{\"error\":\"请先登录。\"}") << QStringList()
            << QByteArray("{\"error\":\"请先登录。\"}");
        QTest::newRow("lone carriage return is no line end")
            << QByteArray("event: done\rdata: {}\n\n") << QStringList{"done\rdata: {}|{}"}
            << QByteArray();
        QTest::newRow("CR CR LF folds one pair only")
            << QByteArray("event: done\r\r\n\r\ndata: {}\n\n") << QStringList{"done|{}", "|{}"}
            << QByteArray();
    }

    // The plain reading states each rule; the client's decoder takes the same from the
    // stream in one read, cut once at every position, and fed byte by byte.
    void decodes()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, events);
        QFETCH(QByteArray, rest);
        QByteArray referenceRest;
        QCOMPARE(describe(referenceStreamEvents(referenceRest, stream)), events);
        QCOMPARE(referenceRest, rest);

        const Decoded expected = expectedOf(stream);
        QList<qsizetype> everyByte;
        for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
            const Decoded split = decodeInPieces(stream, {cut});
            QVERIFY2(split.events == expected.events && split.rest == expected.rest,
                     qPrintable(QString("cut at byte %1").arg(cut)));
            if (cut > 0 && cut < stream.size())
                everyByte << cut;
        }
        const Decoded bytewise = decodeInPieces(stream, everyByte);
        QCOMPARE(bytewise.events, expected.events);
        QCOMPARE(bytewise.rest, expected.rest);
    }

    // A stream with every rule at once, and JSON the quick string reading declines.
    void everySplitMatchesOneRead_data()
    {
        QTest::addColumn<QByteArray>("stream");
        const QByteArray replies =
            "event: delta\ndata: {\"text\":\"你\\ud83d\\ude00\\n\\\"x\\\"\"}\n\n"
            "event: error\ndata: {\"error\":\"额度不足。\"}\n\n"
            "event: ping\ndata: {\"text\":\"ignored\"}\n\n"
            "event: delta\ndata: {\"text\":1}\n\n"
            "event: delta\ndata: {\"text\":\"\\ud800\"}\n\n"
            "event: delta\ndata: [\"text\"]\n\n"
            "event: error\ndata: {\"error\":{\"nested\":1}}\n\n"
            "event: done\ndata: {\"content\":\"a\",\n"
            "data: \"points\":3}\n\n";
        QByteArray crlf = replies;
        QTest::newRow("lf") << replies + mixedStream(false);
        QTest::newRow("crlf") << crlf.replace("\n", "\r\n") + mixedStream(true);
    }

    void everySplitMatchesOneRead()
    {
        QFETCH(QByteArray, stream);
        const Decoded expected = expectedOf(stream);
        QCOMPARE(expected.events.size(), 11);
        QCOMPARE(expected.events.at(0), QString("delta|你😀\n\"x\""));
        QCOMPARE(expected.events.at(2), QString("delta|"));
        QCOMPARE(expected.events.at(3), QString("delta|") + QChar(0xd800));
        QCOMPARE(expected.events.at(10),
                 QString("done|{\"charged\":1,\"content\":\"你好，world\",\"points\":7}"));
        QCOMPARE(expected.rest, QByteArray("event: delta\ndata: {\"text\":\"unfinished"));

        QList<qsizetype> everyByte;
        for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
            const Decoded split = decodeInPieces(stream, {cut});
            QVERIFY2(split.events == expected.events && split.rest == expected.rest,
                     qPrintable(QString("cut at byte %1").arg(cut)));
            if (cut > 0 && cut < stream.size())
                everyByte << cut;
        }
        const Decoded bytewise = decodeInPieces(stream, everyByte);
        QCOMPARE(bytewise.events, expected.events);
        QCOMPARE(bytewise.rest, expected.rest);
    }

    // Random multi-cut feeds of a long stream, reproducible by seed.
    void randomPiecesMatchOneRead()
    {
        QByteArray stream;
        for (int i = 0; i < 200; ++i) {
            const QByteArray text = QString("片段 %1 — chunk\\n").arg(i).toUtf8();
            QByteArray block = "event: delta\ndata: {\"text\":\"" + text + "\"}\n\n";
            if (i % 3 == 0)
                block.replace("\n", "\r\n");
            stream += block;
        }
        const Decoded expected = expectedOf(stream);
        QCOMPARE(expected.events.size(), 200);
        QVERIFY(expected.rest.isEmpty());

        QRandomGenerator random(20260);
        for (int round = 0; round < 50; ++round) {
            QList<qsizetype> cuts;
            qsizetype at = 0;
            while ((at += 1 + random.bounded(40)) < stream.size())
                cuts << at;
            const Decoded pieces = decodeInPieces(stream, cuts);
            QVERIFY2(pieces.events == expected.events && pieces.rest.isEmpty(),
                     qPrintable(QString("round %1").arg(round)));
        }
    }

    // Consumed blocks leave the buffer at once, so it never grows with the stream.
    void bufferHoldsOnlyTheUnfinishedBlock()
    {
        QByteArray buffer;
        const QByteArray block = "event: delta\r\ndata: {\"text\":\"abc\"}\r\n\r\n";
        for (int i = 0; i < 1000; ++i) {
            QCOMPARE(takeReplyEvents(buffer, block.left(20)).size(), 0);
            QCOMPARE(takeReplyEvents(buffer, block.mid(20)).size(), 1);
            QVERIFY(buffer.isEmpty());
        }
    }
};

KESTRUNE_TEST_MAIN(TstEventStream)
#include "tst_eventstream.moc"
