#include "api/flatjson.h"
#include "testenvironment.h"

#include <QApplication>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QtTest>

class TstFlatJson : public QObject
{
    Q_OBJECT

private slots:
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

    void objectOfTheData()
    {
        QCOMPARE(eventObject(R"({"content":"好","points":3})"),
                 (QJsonObject{{"content", "好"}, {"points", 3}}));
        QCOMPARE(eventObject(""), QJsonObject());
        QCOMPARE(eventObject("[1,2]"), QJsonObject());
        QCOMPARE(eventObject("{oops"), QJsonObject());
    }
};

KESTRUNE_TEST_MAIN(TstFlatJson)
#include "tst_flatjson.moc"
