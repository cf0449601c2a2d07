// The private store is rewritten whole after every private reply and read once per window:
// how long do both take for a store of 1,000 threads?

#include "api/api.h"
#include "chat/chatwindow.h"
#include "probes.h"

#include <QApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

namespace
{

const QString storeName = QStringLiteral("private-bench.bin");

QJsonArray makeThreads(int count)
{
    const QString question =
        QStringLiteral("请解释一下密封文件在本机是如何保存的，以及为什么换一台机器就打不开。");
    const QString answer =
        QStringLiteral("密封文件先用本机的用户密钥派生出封存密钥，再用 XChaCha20-Poly1305 加密，"
                       "所以换一台机器或换一个用户都无法解开。\n\n```\nsealed = version | nonce | "
                       "ciphertext\n```\n"
                       "- 每次保存都会整体重写文件\n- 写入通过临时文件原子替换\n");
    QJsonArray threads;
    for (int i = 0; i < count; ++i) {
        QJsonArray messages;
        for (int turn = 0; turn < 2; ++turn) {
            messages.append(QJsonObject{{"role", "user"}, {"content", question}});
            messages.append(QJsonObject{{"role", "assistant"}, {"content", answer}});
        }
        threads.append(QJsonObject{
            {"id", QStringLiteral("00000000-0000-4000-8000-%1").arg(i, 12, 10, QLatin1Char('0'))},
            {"title", QStringLiteral("隐私对话 %1").arg(i)},
            {"model", "kestrune-echo"},
            {"messages", messages},
            {"created_at", 1767225600 + i},
            {"updated_at", 1767225600 + i}});
    }
    return threads;
}

// What savePrivateStore does: compact JSON, sealed, atomically replaced.
void BM_SaveStore(benchmark::State& state)
{
    const QJsonArray threads = makeThreads(int(state.range(0)));
    qint64 bytes = 0;
    for (auto _ : state) {
        const QByteArray plain =
            QJsonDocument(QJsonObject{{"threads", threads}}).toJson(QJsonDocument::Compact);
        bytes = plain.size();
        if (!writeSealedFile(storeName, plain))
            state.SkipWithError("save failed");
    }
    state.counters["plain_bytes"] = double(bytes);
}

// What loadPrivateStore does before the list: unseal, parse, take "threads".
void BM_LoadStore(benchmark::State& state)
{
    const QJsonArray threads = makeThreads(int(state.range(0)));
    writeSealedFile(
        storeName, QJsonDocument(QJsonObject{{"threads", threads}}).toJson(QJsonDocument::Compact));
    for (auto _ : state) {
        const QJsonArray loaded =
            QJsonDocument::fromJson(readSealedFile(storeName)).object().value("threads").toArray();
        if (loaded.size() != threads.size())
            state.SkipWithError("load lost threads");
        benchmark::DoNotOptimize(loaded);
    }
}

// What a completed private reply costs in the window: record update, save, list rebuild.
void BM_UpdateOpenThread(benchmark::State& state)
{
    writeSealedFile(storeName,
                    QJsonDocument(QJsonObject{{"threads", makeThreads(int(state.range(0)))}})
                        .toJson(QJsonDocument::Compact));
    Api api;
    ChatWindow window(&api, QJsonObject{{"id", "bench"}, {"username", "bench"}}, [] {});
    ChatWindowProbe probe(&window);
    probe.openPrivateThread(probe.threads().at(0).toObject().value("id").toString());
    for (auto _ : state) {
        if (!probe.updatePrivateThread())
            state.SkipWithError("update failed");
    }
}

} // namespace

BENCHMARK(BM_SaveStore)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadStore)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateOpenThread)->Arg(1000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    // Never touch the real user's files or key; no service is needed either.
    QTemporaryDir home;
    for (const char* sub : {"data", "config"})
        QDir(home.path()).mkpath(QString::fromLatin1(sub));
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    qputenv("KESTRUNEAI_BASE_URL", "http://127.0.0.1:9");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KestruneAI"));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
