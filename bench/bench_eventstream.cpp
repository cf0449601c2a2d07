// The reply-stream decoder on a realistic reply: 10,000 "delta" events of 20 to 80
// characters, Chinese and ASCII mixed, with LF and with CRLF line ends, fed in pieces of
// 1, 7, 64 and 4,096 bytes. Each read goes through the very call the client makes, which
// also reads every event's data: the text of a "delta", the whole object of a "done". With
// KESTRUNE_BENCH_DIR set, the streams and the events per second are written there for
// bench/eventsource_compare.mjs, which runs a JavaScript parser on the same bytes.

#include "api/eventstream.h"
#include "api/flatjson.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QString>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <random>

namespace
{

constexpr int eventCount = 10000;
const int pieceSizes[] = {1, 7, 64, 4096};

QByteArray makeStream(bool crlf)
{
    static const QString chinese = QStringLiteral(
        "你好这是一个流式回复的片段我们正在测试解码器的速度模型生成文字时会逐字发送每个事件都"
        "很短用户希望尽快看到内容表格列表代码引用标题段落");
    static const QString ascii = QStringLiteral(
        "the quick brown fox jumps over the lazy dog while streaming tokens arrive one by one ");
    std::mt19937 random(2026);
    const QByteArray lineEnd = crlf ? "\r\n" : "\n";
    QByteArray stream;
    for (int i = 0; i < eventCount; ++i) {
        const int length = 20 + int(random() % 61);
        QString text;
        while (text.size() < length) {
            const bool han = random() % 2;
            const QString& source = han ? chinese : ascii;
            const int start = int(random() % (source.size() - 8));
            text += source.mid(start, 1 + int(random() % 8));
            if (random() % 29 == 0)
                text += random() % 2 ? QStringLiteral("\n") : QStringLiteral("\"引号\"");
        }
        text.truncate(length);
        stream += "event: delta" + lineEnd + "data: " +
                  QJsonDocument(QJsonObject{{"text", text}}).toJson(QJsonDocument::Compact) +
                  lineEnd + lineEnd;
    }
    stream += "event: done" + lineEnd + "data: {\"content\":\"\",\"points\":1}" + lineEnd + lineEnd;
    return stream;
}

const QByteArray& stream(bool crlf)
{
    static const QByteArray lf = makeStream(false);
    static const QByteArray withCr = makeStream(true);
    return crlf ? withCr : lf;
}

QMap<QString, double>& eventsPerSecond()
{
    static QMap<QString, double> results;
    return results;
}

void BM_DecodeStream(benchmark::State& state)
{
    const bool crlf = state.range(0) != 0;
    const qsizetype piece = state.range(1);
    const QByteArray& bytes = stream(crlf);

    qint64 events = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        QByteArray buffer;
        qsizetype characters = 0;
        for (qsizetype at = 0; at < bytes.size(); at += piece) {
            const QByteArrayView incoming(bytes.constData() + at, qMin(piece, bytes.size() - at));
            for (const ReplyEvent& event : takeReplyEvents(buffer, incoming)) {
                characters += event.kind == ReplyEvent::Kind::Delta
                                  ? event.text.size()
                                  : eventObject(event.data).size();
                ++events;
            }
        }
        benchmark::DoNotOptimize(characters);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["events/s"] = benchmark::Counter(double(events), benchmark::Counter::kIsRate);
    // The last run is the measured one; it overwrites the calibration runs.
    eventsPerSecond()[QStringLiteral("%1/%2").arg(crlf ? "crlf" : "lf").arg(piece)] =
        double(events) / seconds;
}

void pieceArguments(benchmark::internal::Benchmark* benchmark)
{
    for (int crlf : {0, 1})
        for (int piece : pieceSizes)
            benchmark->Args({crlf, piece});
    benchmark->ArgNames({"crlf", "piece"})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_DecodeStream)->Apply(pieceArguments);

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const QString directory = qEnvironmentVariable("KESTRUNE_BENCH_DIR");
    if (directory.isEmpty())
        return 0;
    QJsonObject results;
    for (auto it = eventsPerSecond().cbegin(); it != eventsPerSecond().cend(); ++it)
        results.insert(it.key(), it.value());
    const bool written =
        writeFile(directory + "/eventstream-lf.txt", stream(false)) &&
        writeFile(directory + "/eventstream-crlf.txt", stream(true)) &&
        writeFile(directory + "/eventstream-results.json", QJsonDocument(results).toJson());
    if (!written) {
        std::fprintf(stderr, "cannot write the comparison files to %s\n", qPrintable(directory));
        return 1;
    }
    return 0;
}
