// The private store is read once per window and rewritten whole after every change: how long
// do load and save take for stores of 1, 5 and 50 MB, how much memory does the store cost at
// its peak, how long does the window stall when a private reply is saved, and how long does a
// passphrase backup of a 50 MB store take? Prints a verdict line per goal after the timings.
// Load and save are judged against their floor, measured in the same run: the same bytes read,
// unsealed and parsed (or serialised, sealed and written) with nothing else around them, so
// that the verdict holds on a busy shared machine as on an idle one.

#include "api/api.h"
#include "api/sealedfile.h"
#include "api/sealing.h"
#include "api/wholefile.h"
#include "backup/privatebackup.h"
#include "chat/chatwindow.h"
#include "chat/privatestorecontent.h"
#include "chat/privatestorefile.h"
#include "probes.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace
{

const QString storeName = QStringLiteral("private-bench.bin");

// A private thread of ten turns, mostly Chinese prose with some code, about 3.5 kB of JSON.
QJsonObject makeThread(int i)
{
    const QString question =
        QStringLiteral("请解释一下密封文件在本机是如何保存的，以及为什么换一台机器就打不开。%1")
            .arg(i);
    const QString answer =
        QStringLiteral("密封文件先用本机的用户密钥派生出封存密钥，再用 XChaCha20-Poly1305 加密，"
                       "所以换一台机器或换一个用户都无法解开。\n\n```\nsealed = version | nonce | "
                       "ciphertext\n```\n"
                       "- 每次保存都会整体重写文件\n- 写入通过临时文件原子替换\n");
    QJsonArray messages;
    for (int turn = 0; turn < 5; ++turn) {
        messages.append(QJsonObject{{"role", "user"}, {"content", question}});
        messages.append(QJsonObject{{"role", "assistant"}, {"content", answer}});
    }
    return QJsonObject{
        {"id", QStringLiteral("00000000-0000-4000-8000-%1").arg(i, 12, 10, QLatin1Char('0'))},
        {"title", QStringLiteral("隐私对话 %1").arg(i)},
        {"model", "kestrune-echo"},
        {"messages", messages},
        {"created_at", 1767225600 + i},
        {"updated_at", 1767225600 + i}};
}

// Threads whose store is about `megabytes` MB of JSON.
QJsonArray makeThreads(int megabytes)
{
    const qsizetype perThread = QJsonDocument(makeThread(0)).toJson(QJsonDocument::Compact).size();
    const qsizetype count = qsizetype(megabytes) * 1000 * 1000 / perThread;
    QJsonArray threads;
    for (qsizetype i = 0; i < count; ++i)
        threads.append(makeThread(int(i)));
    return threads;
}

void writeStore(int megabytes)
{
    if (!writeSealedFile(storeName, privateStoreBytes(makeThreads(megabytes))))
        std::fprintf(stderr, "bench_privatestore: could not write the store\n");
}

qint64 storeFileSize()
{
    return QFileInfo(appDataFilePath(storeName)).size();
}

// What loadPrivateStore does before the list: read, unseal, parse, take "threads".
QJsonArray loadStore()
{
    return readPrivateStore(readSealedFile(storeName), true).threads;
}

// What savePrivateStore does: compact JSON, sealed, the last good copy kept, atomically
// replaced.
bool saveStore(const QJsonArray& threads)
{
    return savePrivateStoreFile(storeName, threads);
}

void BM_LoadStore(benchmark::State& state)
{
    writeStore(int(state.range(0)));
    for (auto _ : state) {
        const QJsonArray threads = loadStore();
        if (threads.isEmpty())
            state.SkipWithError("load lost the threads");
        benchmark::DoNotOptimize(threads);
    }
    state.counters["file_MB"] = double(storeFileSize()) / 1e6;
}

void BM_SaveStore(benchmark::State& state)
{
    const QJsonArray threads = makeThreads(int(state.range(0)));
    for (auto _ : state) {
        if (!saveStore(threads))
            state.SkipWithError("save failed");
    }
    state.counters["file_MB"] = double(storeFileSize()) / 1e6;
}

BENCHMARK(BM_LoadStore)->Arg(1)->Arg(5)->Arg(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveStore)->Arg(1)->Arg(5)->Arg(50)->Unit(benchmark::kMillisecond);

// --- figures for the verdicts, outside Google Benchmark ---

qint64 statusKilobytes(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith(field))
            return line.mid(qsizetype(std::strlen(field)))
                .trimmed()
                .split(' ')
                .value(0)
                .toLongLong();
    }
    return -1;
}

// Makes the peak resident size start again from the current one.
void resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// How much more than the file the store costs at its peak, from reading it to saving it.
double peakPerFile(int megabytes)
{
    writeStore(megabytes);
    const double file = double(storeFileSize());
    resetPeak();
    const qint64 before = statusKilobytes("VmRSS:");
    {
        const QJsonArray threads = loadStore();
        saveStore(threads);
    }
    const qint64 peak = statusKilobytes("VmHWM:");
    return double(peak - before) * 1024 / file;
}

double medianOf(std::vector<double> samples)
{
    std::nth_element(samples.begin(), samples.begin() + long(samples.size() / 2), samples.end());
    return samples[samples.size() / 2];
}

double loadMilliseconds(int megabytes)
{
    writeStore(megabytes);
    std::vector<double> samples;
    for (int i = 0; i < 7; ++i) {
        QElapsedTimer timer;
        timer.start();
        benchmark::DoNotOptimize(loadStore());
        samples.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    return medianOf(samples);
}

// The floor of a load: the file read, unsealed and parsed by the toolkit's JSON reader.
double loadFloorMilliseconds()
{
    std::vector<double> samples;
    for (int i = 0; i < 7; ++i) {
        QElapsedTimer timer;
        timer.start();
        QFile file(appDataFilePath(storeName));
        if (!file.open(QIODevice::ReadOnly))
            return -1;
        QByteArray bytes = file.readAll();
        if (!sealing::unseal(bytes))
            return -1;
        benchmark::DoNotOptimize(QJsonDocument::fromJson(bytes));
        samples.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    return medianOf(samples);
}

// The floor of a save: the toolkit's compact JSON of the same threads, sealed, and written
// into a file of its own (no copy kept, no atomic replacement).
double saveFloorMilliseconds(const QJsonArray& threads)
{
    std::vector<double> samples;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer timer;
        timer.start();
        QByteArray bytes =
            QJsonDocument(QJsonObject{{"threads", threads}}).toJson(QJsonDocument::Compact);
        if (!sealing::seal(bytes))
            return -1;
        QFile file(appDataFilePath(QStringLiteral("floor.bin")));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size())
            return -1;
        file.close();
        samples.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    return medianOf(samples);
}

struct BackupTimes {
    double whole = 0;   // key derivation, encryption and the atomic write, s
    double keyOnly = 0; // a backup of no threads: the key derivation alone, s
    bool written = false;
};

// A passphrase backup of a store of `megabytes` MB, as the window makes it off its thread.
BackupTimes backupTimes(int megabytes)
{
    BackupContent content;
    content.accountId = QStringLiteral("bench");
    content.userName = QStringLiteral("bench");
    const QString path = appDataFilePath(QStringLiteral("bench.kbak"));
    const QString passphrase = QStringLiteral("一个足够长的备份口令");
    const auto timed = [&](const QJsonArray& threads, bool* written) {
        content.threads = threads;
        QElapsedTimer timer;
        timer.start();
        const QByteArray bytes = backupBytes(content, passphrase, newBackupSecrets());
        *written = !bytes.isEmpty() && writeWholeFile(path, bytes, true);
        return double(timer.nsecsElapsed()) / 1e9;
    };
    const QJsonArray threads = makeThreads(megabytes);
    BackupTimes times;
    std::vector<double> whole;
    std::vector<double> keyOnly;
    bool written = true;
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        whole.push_back(timed(threads, &ok));
        written = written && ok;
        keyOnly.push_back(timed({}, &ok));
    }
    times.whole = medianOf(whole);
    times.keyOnly = medianOf(keyOnly);
    times.written = written;
    return times;
}

struct ReplySave {
    double total = 0;        // from the reply's end until the store is on disk, ms
    double longestStall = 0; // the longest time the window's thread did not run its events, ms
    bool saved = false;
};

// A private reply ends in a window whose store is `megabytes` MB: the thread takes the turn
// and the store is saved, while a timer on the window's thread notes every gap in its ticks.
ReplySave replySave(int megabytes)
{
    writeStore(megabytes);
    Api api;
    ChatWindow window(&api, QJsonObject{{"id", "bench"}, {"username", "bench"}}, [] {});
    ChatWindowProbe probe(&window);
    probe.openPrivateThread(probe.threads().at(0).toObject().value("id").toString());

    std::vector<double> totals;
    ReplySave result;
    for (int i = 0; i < 5; ++i) {
        probe.messages().append(
            QJsonObject{{"role", "assistant"}, {"content", QStringLiteral("回复 %1").arg(i)}});
        QElapsedTimer sinceTick;
        double longest = 0;
        QTimer ticker;
        ticker.setInterval(1);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            longest = std::max(longest, double(sinceTick.nsecsElapsed()) / 1e6);
            sinceTick.restart();
        });
        QEventLoop loop;
        QElapsedTimer total;
        total.start();
        sinceTick.start();
        ticker.start();
        probe.recordTurnsInThread();
        probe.savePrivateStoreInBackground([&](bool saved) {
            result.saved = saved;
            totals.push_back(double(total.nsecsElapsed()) / 1e6);
            loop.quit();
        });
        loop.exec();
        ticker.stop();
        longest = std::max(longest, double(sinceTick.nsecsElapsed()) / 1e6);
        result.longestStall = std::max(result.longestStall, longest);
    }
    result.total = medianOf(totals);
    return result;
}

const char* verdict(bool met)
{
    return met ? "met" : "NOT met";
}

void printVerdicts()
{
    constexpr double loadGoal = 1.5;
    constexpr double saveGoal = 1.5;
    const double load5 = loadMilliseconds(5);
    const double loadFloor = loadFloorMilliseconds();
    std::printf("private store, load of 5 MB: %.1f ms median, %.2fx its floor of %.1f ms (read, "
                "unseal, parse) (goal: <= %.1fx): %s\n",
                load5, load5 / loadFloor, loadFloor, loadGoal,
                verdict(loadFloor > 0 && load5 <= loadGoal * loadFloor));

    const ReplySave small = replySave(5);
    const double saveFloor = saveFloorMilliseconds(loadStore());
    std::printf("private store, save after a reply with 5 MB: %.1f ms median, %.2fx its floor of "
                "%.1f ms (serialise, seal, write) (goal: <= %.1fx): %s\n",
                small.total, small.total / saveFloor, saveFloor, saveGoal,
                verdict(small.saved && saveFloor > 0 && small.total <= saveGoal * saveFloor));

    const ReplySave large = replySave(50);
    std::printf("private store, save after a reply with 50 MB: the window stalled at most %.1f ms "
                "(save %.0f ms in the background; goal: no stall over 500 ms): %s\n",
                large.longestStall, large.total, verdict(large.saved && large.longestStall <= 500));

    const BackupTimes backup = backupTimes(50);
    std::printf("private store, passphrase backup of 50 MB: %.2f s median, of which the key "
                "derivation %.2f s (goal: < 3 s): %s\n",
                backup.whole, backup.keyOnly, verdict(backup.written && backup.whole < 3));

    bool memoryMet = true;
    QString figures;
    for (int megabytes : {1, 5, 50}) {
        // Each in a process of its own: memory this one has freed would hide the peak.
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--store-peak=%1").arg(megabytes)});
        child.waitForFinished(-1);
        bool ok = false;
        const double ratio = child.readAllStandardOutput().trimmed().toDouble(&ok);
        if (!ok) {
            memoryMet = false;
            figures += QStringLiteral("%1 MB: not measured, ").arg(megabytes);
            continue;
        }
        memoryMet = memoryMet && ratio <= 3;
        figures += QStringLiteral("%1 MB: %2x, ").arg(megabytes).arg(ratio, 0, 'f', 2);
    }
    figures.chop(2);
    std::printf("private store, peak memory over the file, load and save (%s; goal: <= 3x): %s\n",
                qPrintable(figures), verdict(memoryMet));
}

} // namespace

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

    if (argc == 2 && QByteArray(argv[1]).startsWith("--store-peak=")) {
        std::printf("%.3f\n", peakPerFile(QByteArray(argv[1]).mid(13).toInt()));
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printVerdicts();
    return 0;
}
