#include "eventstream.h"
#include "testenvironment.h"

#include <QApplication>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QtTest>

namespace
{

// Events as "name|compact JSON", easy to compare and to read in a failure message.
QStringList describe(const QList<StreamEvent>& events)
{
    QStringList out;
    for (const StreamEvent& event : events)
        out << QString::fromUtf8(event.name) + "|" +
                   QString::fromUtf8(
                       QJsonDocument(eventObject(event.data)).toJson(QJsonDocument::Compact));
    return out;
}

// What the client takes from each event, read from the events taken one by one.
QStringList describeForClient(const QList<StreamEvent>& events)
{
    QStringList out;
    for (const StreamEvent& event : events) {
        if (event.name == "delta")
            out << "delta|" + eventString(event.data, QLatin1StringView("text"));
        else if (event.name == "error")
            out << "error|" + eventString(event.data, QLatin1StringView("error"));
        else if (event.name == "done")
            out << "done|" + QJsonDocument(eventObject(event.data)).toJson();
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
            out << "done|" + QJsonDocument(eventObject(event.data)).toJson();
            break;
        }
    }
    return out;
}

struct Decoded {
    QStringList events;
    QByteArray rest;
};

Decoded decodeInPieces(const QByteArray& stream, const QList<qsizetype>& cuts)
{
    Decoded decoded;
    QByteArray buffer;
    qsizetype from = 0;
    for (qsizetype cut : cuts) {
        decoded.events += describe(takeStreamEvents(buffer, stream.mid(from, cut - from)));
        from = cut;
    }
    decoded.events += describe(takeStreamEvents(buffer, stream.mid(from)));
    decoded.rest = buffer;
    return decoded;
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

    // Each case in one read, cut once at every position, and fed byte by byte.
    void decodes()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, events);
        QFETCH(QByteArray, rest);
        const Decoded decoded = decodeInPieces(stream, {});
        QCOMPARE(decoded.events, events);
        QCOMPARE(decoded.rest, rest);

        QList<qsizetype> everyByte;
        for (qsizetype cut = 1; cut < stream.size(); ++cut) {
            const Decoded split = decodeInPieces(stream, {cut});
            QVERIFY2(split.events == events && split.rest == rest,
                     qPrintable(QString("cut at byte %1").arg(cut)));
            everyByte << cut;
        }
        const Decoded bytewise = decodeInPieces(stream, everyByte);
        QCOMPARE(bytewise.events, events);
        QCOMPARE(bytewise.rest, rest);
    }

    // Every single cut, and the stream fed byte by byte, decodes like one read.
    void everySplitMatchesOneRead_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::newRow("lf") << mixedStream(false);
        QTest::newRow("crlf") << mixedStream(true);
    }

    void everySplitMatchesOneRead()
    {
        QFETCH(QByteArray, stream);
        const Decoded whole = decodeInPieces(stream, {});
        QCOMPARE(whole.events.size(), 5);
        QCOMPARE(whole.events.at(2), QString("delta|{\"text\":\"半个\"}"));
        QCOMPARE(whole.events.at(4),
                 QString("done|{\"charged\":1,\"content\":\"你好，world\",\"points\":7}"));
        QCOMPARE(whole.rest, QByteArray("event: delta\ndata: {\"text\":\"unfinished"));

        for (qsizetype cut = 1; cut < stream.size(); ++cut) {
            const Decoded split = decodeInPieces(stream, {cut});
            QVERIFY2(split.events == whole.events && split.rest == whole.rest,
                     qPrintable(QString("cut at byte %1").arg(cut)));
        }

        QList<qsizetype> everyByte;
        for (qsizetype cut = 1; cut < stream.size(); ++cut)
            everyByte << cut;
        const Decoded bytewise = decodeInPieces(stream, everyByte);
        QCOMPARE(bytewise.events, whole.events);
        QCOMPARE(bytewise.rest, whole.rest);
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
        const Decoded whole = decodeInPieces(stream, {});
        QCOMPARE(whole.events.size(), 200);
        QVERIFY(whole.rest.isEmpty());

        QRandomGenerator random(20260);
        for (int round = 0; round < 50; ++round) {
            QList<qsizetype> cuts;
            qsizetype at = 0;
            while ((at += 1 + random.bounded(40)) < stream.size())
                cuts << at;
            const Decoded pieces = decodeInPieces(stream, cuts);
            QVERIFY2(pieces.events == whole.events && pieces.rest.isEmpty(),
                     qPrintable(QString("round %1").arg(round)));
        }
    }

    // The client's reading of a stream gives what it would take from each event, at
    // every single cut and byte by byte, and leaves the same rest.
    void replyEventsMatchTheEvents_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QByteArray replies =
            "event: delta\ndata: {\"text\":\"\\u4f60\\ud83d\\ude00\\n\\\"x\\\"\"}\n\n"
            "event: error\ndata: {\"error\":\"额度不足。\"}\n\n"
            "event: ping\ndata: {\"text\":\"ignored\"}\n\n"
            "event: delta\ndata: {\"text\":1}\n\n"
            "event: delta\ndata: {\"text\":\"\\ud800\"}\n\n"
            "event: delta\ndata: [\"text\"]\n\n"
            "event: error\ndata: {\"error\":{\"nested\":1}}\n\n"
            "event: done\ndata: {\"content\":\"a\",\n"
            "data: \"points\":3}\n\n";
        QTest::newRow("lf") << replies + mixedStream(false);
        QTest::newRow("crlf") << replies.replace("\n", "\r\n") + mixedStream(true);
    }

    void replyEventsMatchTheEvents()
    {
        QFETCH(QByteArray, stream);
        const auto expected = [](const QByteArray& bytes, const QList<qsizetype>& cuts) {
            Decoded decoded;
            QByteArray buffer;
            qsizetype from = 0;
            for (qsizetype cut : cuts + QList<qsizetype>{bytes.size()}) {
                decoded.events +=
                    describeForClient(takeStreamEvents(buffer, bytes.mid(from, cut - from)));
                from = cut;
            }
            decoded.rest = buffer;
            return decoded;
        };
        const auto actual = [](const QByteArray& bytes, const QList<qsizetype>& cuts) {
            Decoded decoded;
            QByteArray buffer;
            qsizetype from = 0;
            for (qsizetype cut : cuts + QList<qsizetype>{bytes.size()}) {
                decoded.events += describe(takeReplyEvents(buffer, bytes.mid(from, cut - from)));
                from = cut;
            }
            decoded.rest = buffer;
            return decoded;
        };
        const Decoded whole = expected(stream, {});
        QCOMPARE(whole.events.size(), 11);
        QCOMPARE(whole.events.at(0), QString("delta|你😀\n\"x\""));
        QCOMPARE(whole.events.at(2), QString("delta|"));
        QCOMPARE(whole.events.at(3), QString("delta|") + QChar(0xd800));

        QList<qsizetype> everyByte;
        for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
            const Decoded split = actual(stream, {cut});
            QVERIFY2(split.events == whole.events && split.rest == whole.rest,
                     qPrintable(QString("cut at byte %1").arg(cut)));
            if (cut > 0 && cut < stream.size())
                everyByte << cut;
        }
        const Decoded bytewise = actual(stream, everyByte);
        QCOMPARE(bytewise.events, whole.events);
        QCOMPARE(bytewise.rest, whole.rest);
    }

    // The quick string reading agrees with parsing the whole object, on well-formed data,
    // on every oddity the full parser has, and on thousands of random corruptions of them.
    void stringMemberMatchesTheFullParse()
    {
        const QList<QByteArray> seeds{
            "{\"text\":\"你好, world\"}",
            "  { \"text\" : \"a\\\"b\\\\c\\/d\\b\\f\\n\\r\\te\" , \"other\":\"x\" } ",
            "{\"other\":\"x\",\"text\":\"late\"}",
            "{\"text\":\"a\",\"text\":\"b\"}",
            "{\"text\":true,\"flag\":false,\"none\":null}",
            "{\"text\":null}",
            "{\"text\":12,\"n\":-1.5e3}",
            "{\"text\":{\"nested\":\"x\"},\"list\":[1,\"a\"]}",
            "{\"text\":\"\\u4f60\\ud83d\\ude00 \\u0000\"}",
            "{\"text\":\"\\u00E9\\u00e9 caf\xc3\xa9 \\uFFFD \\u007f\\u0041\\u20AC\"}",
            "{\"text\":\"pair \\uD83D\\uDE00 then \\\"quoted\\\" \\u4F60\\n\"}",
            "{\"text\":\"lone high \\ud83d end\"}",
            "{\"text\":\"lone high \\ud83d\\u0041 before a letter\"}",
            "{\"text\":\"high high \\ud83d\\ud83d\\ude00\"}",
            "{\"text\":\"lone low \\ude00 first\"}",
            "{\"text\":\"reversed \\ude00\\ud83d\"}",
            "{\"text\":\"short \\u12\"}",
            "{\"text\":\"not hex \\u12g4\"}",
            "{\"text\":\"escaped quote at the end \\\"\"}",
            "{\"other\":\"\\ud800 lone in another member\",\"text\":\"ok\"}",
            "{\"text\":\"\xef\xbb\xbf mark first\"}",
            "{\"text\":\"\xef\xbb\xbf mark first, then an escape\\n\"}",
            "{\"text\":\"\\n\xef\xbb\xbf mark after an escape\"}",
            "{\"text\":\"cut \xe4\xbd\\n before an escape\"}",
            "{\"text\":\"emoji \xf0\x9f\x98\x80, top \xf4\x8f\xbf\xbd, two "
            "\xc3\xa9\xc2\x80\xdf\xbf\"}",
            "{\"text\":\"beyond \xf4\x90\x80\x80 the last character\"}",
            "{\"text\":\"overlong \xc0\x80\"}",
            "{\"text\":\"overlong \xc1\xbf\"}",
            "{\"text\":\"overlong \xe0\x80\x80\"}",
            "{\"text\":\"overlong \xe0\x9f\xbf\"}",
            "{\"text\":\"overlong \xf0\x80\x80\x80\"}",
            "{\"text\":\"overlong \xf0\x8f\xbf\xbf\"}",
            "{\"text\":\"noncharacters \xef\xbf\xbe \xef\xbf\xbf \xef\xb7\x90 \xf4\x8f\xbf\xbf\"}",
            "{\"text\":\"stray \x80 continuation\"}",
            "{\"text\":\"five bytes \xf8\x88\x80\x80\x80\"}",
            "{\"text\":\"cut short \xf0\x9f\x98\"}",
            "{\"text\":\"abcdefghijklmnop\\\"qrstuvwxyz0123456789\\\\ABCDEFG\\/HIJKLMNOPQ\"}",
            "{\"text\":\"\\uFFFE\\uffff\\ufdd0 escaped noncharacters\"}",
            "{\"te\\u0078t\":\"escaped name\"}",
            "{}",
            "[{\"text\":\"in an array\"}]",
            "\"text\"",
            "{\"text\":\"a\",}",
            "{\"text\":\"a\"} trailing",
            "{\"text\":\"unterminated",
            "{\"text\":\"raw\x01"
            "control\"}",
            "{\"text\":\"bad \xed\xa0\x80 utf8\"}",
            "{\"text\":\"bad \xc3 utf8\"}",
            "\xef\xbb\xbf{\"text\":\"after a byte order mark\"}",
            "{\"text\":\"tab\tinside\"}",
            "{\"text\":\"mark \xef\xbb\xbf inside, \xef\xbf\xbd kept\"}",
            "{\"other\":\"bad \xff name\",\"text\":\"ok\"}",
            "{\"\xff\":\"bad name\",\"text\":\"ok\"}",
            "",
        };
        const auto reference = [](const QByteArray& data, QLatin1StringView key) {
            const QJsonDocument document = QJsonDocument::fromJson(data);
            return document.object().value(key).toString();
        };
        for (const QByteArray& seed : seeds) {
            for (const char* key : {"text", "other"}) {
                const QLatin1StringView name(key);
                QVERIFY2(eventString(seed, name) == reference(seed, name), seed.constData());
            }
        }

        // The later alphabets break and form \u escapes, surrogate pairs and UTF-8 sequences.
        QRandomGenerator random(4242);
        for (const QByteArray& alphabet :
             {QByteArray("{}[]\\\":, unt\"ex0-9.eE\xe4\xbd\xa0\x01\n"),
              QByteArray("\\\"uUdD08aAbBcCeEfFg\xed\xa0\xbd"),
              QByteArray("\xc0\xc2\xdf\xe0\xed\xef\xf0\xf4\xf5\x80\x8f\x9f\xbf\xbe\x01")}) {
            for (int round = 0; round < 20000; ++round) {
                QByteArray data = seeds.at(random.bounded(int(seeds.size())));
                for (int edits = 1 + random.bounded(3); edits > 0 && !data.isEmpty(); --edits) {
                    const int at = random.bounded(int(data.size()));
                    const char c = alphabet.at(random.bounded(int(alphabet.size())));
                    switch (random.bounded(3)) {
                    case 0:
                        data[at] = c;
                        break;
                    case 1:
                        data.insert(at, c);
                        break;
                    default:
                        data.remove(at, 1);
                        break;
                    }
                }
                QVERIFY2(eventString(data, QLatin1StringView("text")) ==
                             reference(data, QLatin1StringView("text")),
                         data.toPercentEncoding().constData());
            }
        }
    }

    // Consumed blocks leave the buffer at once, so it never grows with the stream.
    void bufferHoldsOnlyTheUnfinishedBlock()
    {
        QByteArray buffer;
        const QByteArray block = "event: delta\r\ndata: {\"text\":\"abc\"}\r\n\r\n";
        for (int i = 0; i < 1000; ++i) {
            QCOMPARE(takeStreamEvents(buffer, block.left(20)).size(), 0);
            QCOMPARE(takeStreamEvents(buffer, block.mid(20)).size(), 1);
            QVERIFY(buffer.isEmpty());
        }
    }
};

KESTRUNE_TEST_MAIN(TstEventStream)
#include "tst_eventstream.moc"
