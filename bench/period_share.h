#pragma once
// Real-time budgets for benchmarks: each benchmark's time per operation as a share of the periods it must
// fit in (the 1 ms MIDI drain, the 2 ms tunnel pump, ...), as counters and as one line per benchmark at exit.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace plindo::bench {

class PeriodShares {
public:
    struct Period {
        std::string counter;  // e.g. "pct_of_1ms_drain"
        std::string label;    // e.g. "the 1 ms drain period"
        double ns;
    };

    explicit PeriodShares(std::vector<Period> periods) : periods_(std::move(periods)) {}

    ~PeriodShares() {
        for (const auto& [name, ns] : last_) {
            std::printf("%s: %.0f ns per op", name.c_str(), ns);
            for (const auto& p : periods_) std::printf(" = %.4f %% of %s", ns / p.ns * 100, p.label.c_str());
            std::printf("\n");
        }
    }

    // Records ns per op; the last (longest) run of each benchmark is the one printed.
    void record(benchmark::State& state, const std::string& name, double nsPerOp) {
        for (const auto& p : periods_) state.counters[p.counter] = nsPerOp / p.ns * 100;
        last_[name] = nsPerOp;
    }

    // The same, from the wall time since `start` over the state's iterations.
    void recordSince(benchmark::State& state, const std::string& name, std::chrono::steady_clock::time_point start) {
        const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
                          static_cast<double>(state.iterations());
        record(state, name, ns);
    }

private:
    std::vector<Period> periods_;
    std::map<std::string, double> last_;
};

}  // namespace plindo::bench
