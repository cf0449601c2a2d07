// One streamed fragment appended at the end of a transcript that already shows 10, 1,000 or
// 5,000 rendered turns. The cost must not grow with the transcript. Prints the median per
// fragment and the ratios, and the mean and the 99th percentile: the fragments that finish a
// line cost more than the others, and these show that this is not just cost moved out of
// sight of the median.
//
// Each fragment goes to every transcript, one right after the other, so that the medians
// are taken under the same load and clock speed: on a shared machine these drift by a
// factor of two within seconds, which would swamp a comparison of separate runs.

#include "streamingpane.h"

#include <QApplication>
#include <QMap>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <numeric>
#include <vector>

namespace
{

constexpr int smallTurns = 10;
constexpr int largeTurns = 1000;
constexpr int hugeTurns = 5000;

double percentile(std::vector<double>& samples, int percent)
{
    const auto at = samples.begin() + qsizetype(samples.size()) * percent / 100;
    std::nth_element(samples.begin(), at, samples.end());
    return *at;
}

double mean(const std::vector<double>& samples)
{
    return std::accumulate(samples.begin(), samples.end(), 0.0) / double(samples.size());
}

struct Figures {
    double small = 0;
    double large = 0;
    double huge = 0;
};
struct Results {
    Figures medians;
    Figures means;
    Figures slowest; // 99th percentiles
};
QMap<bool, Results> results; // by `tables`; the last, measured run wins

void BM_AppendFragment(benchmark::State& state)
{
    const bool tables = state.range(0) != 0;
    // The panes take their fragments in turns, the first one changing each round.
    std::vector<std::unique_ptr<StreamingPane>> panes;
    for (int turns : {smallTurns, largeTurns, hugeTurns})
        panes.push_back(std::make_unique<StreamingPane>(turns, tables));
    for (int i = 0; i < fragmentsPerReply; ++i) { // one whole reply each, not measured
        for (auto& pane : panes)
            pane->append();
    }

    std::vector<std::vector<double>> samples(panes.size());
    std::size_t first = 0;
    for (auto _ : state) {
        double round = 0;
        for (std::size_t k = 0; k < panes.size(); ++k) {
            const std::size_t which = (first + k) % panes.size();
            const double time = panes[which]->append();
            samples[which].push_back(time);
            round += time;
        }
        first = (first + 1) % panes.size();
        state.SetIterationTime(round * 1e-6);
    }
    const Figures medians{percentile(samples[0], 50), percentile(samples[1], 50),
                          percentile(samples[2], 50)};
    state.counters["median_10_turns_us"] = medians.small;
    state.counters["median_1000_turns_us"] = medians.large;
    state.counters["median_5000_turns_us"] = medians.huge;
    state.counters["ratio_1000"] = medians.large / medians.small;
    state.counters["ratio_5000"] = medians.huge / medians.small;
    results[tables] = {
        medians,
        {mean(samples[0]), mean(samples[1]), mean(samples[2])},
        {percentile(samples[0], 99), percentile(samples[1], 99), percentile(samples[2], 99)}};
}

BENCHMARK(BM_AppendFragment)
    ->ArgName("tables")
    ->Arg(0)
    ->Arg(1)
    ->MinTime(2.0)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// Processor cores of a shared machine can take a fraction of a second to reach full speed.
void warmUp()
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    volatile unsigned sink = 0;
    while (std::chrono::steady_clock::now() < end) {
        for (unsigned i = 0; i < 100000; ++i)
            sink = sink + i;
    }
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    warmUp();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    for (auto it = results.cbegin(); it != results.cend(); ++it) {
        const Figures& m = it.value().medians;
        const double ratioLarge = m.large / m.small;
        const double ratioHuge = m.huge / m.small;
        const bool met = ratioLarge <= 1.5 && ratioHuge <= 1.5 && m.huge <= 50;
        std::printf("fragment append median, replies %s: %.1f us at %d turns, %.1f us at %d, "
                    "%.1f us at %d; ratios %.2f and %.2f (goal: ratios <= 1.5, <= 50 us): %s\n",
                    it.key() ? "with a table each" : "without tables", m.small, smallTurns, m.large,
                    largeTurns, m.huge, hugeTurns, ratioLarge, ratioHuge, met ? "met" : "NOT met");
        const Figures& mean = it.value().means;
        const Figures& slowest = it.value().slowest;
        std::printf("  (line-finishing fragments included: mean %.1f, %.1f and %.1f us; "
                    "99th percentile %.0f, %.0f and %.0f us)\n",
                    mean.small, mean.large, mean.huge, slowest.small, slowest.large, slowest.huge);
    }
    return 0;
}
