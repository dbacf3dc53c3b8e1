#pragma once
// What the benchmarks on the generated table share: the table opened as
// the window holds it, the plain read and the filtered scan that other
// runs are measured against, and the clocks of runs timed in pairs (the
// medians and memory figures come from bench_report.h).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "bench/generated_table.h"
#include "recordset/datasource.h"
#include "tdbf/dataset/dbf.h"

// Rows of the grid that the window links to the table.
constexpr int kBenchGridRows = 10;

// The table as the window holds it: shared, with a grid's link on it
// (dbfcat holds it without one).
class TBenchTable {
 public:
  explicit TBenchTable(const std::string& path, platform::TEnv* env = nullptr, bool grid = true) {
    dbf_.SetEnv(env);
    dbf_.SetTableName(path);
    dbf_.Open();
    if (!grid) return;
    source_.SetDataSet(&dbf_);
    grid_.SetDataSource(&source_);
    grid_.SetBufferCount(kBenchGridRows);
  }
  ~TBenchTable() { grid_.SetDataSource(nullptr); }
  TDbf& Dbf() { return dbf_; }

 private:
  TDbf dbf_;
  TDataSource source_;
  TDataLink grid_;
};

inline void SetRecordCounters(benchmark::State& state) {
  state.counters["records_per_second"] = benchmark::Counter(
      static_cast<double>(kRecords), benchmark::Counter::kIsIterationInvariantRate);
}

// The plain read: fread in large blocks, memcmp of NAME with SMITH per
// record.
// One plain read: the records whose NAME is SMITH, -1 when the table
// cannot be read.
inline int64_t PlainReadMatches() {
  const TGeneratedTable& table = GeneratedTable();
  char wanted[kNameWidth];
  std::memset(wanted, ' ', sizeof wanted);
  std::memcpy(wanted, "SMITH", 5);
  int64_t matches = 0;
  if (!ReadRecordsPlainly(table, [&](const char* record) {
        matches += std::memcmp(record + table.NameOffset(), wanted, sizeof wanted) == 0;
      }))
    return -1;
  return matches;
}

inline void RunPlainRead(benchmark::State& state) {
  int64_t matches = 0;
  for (auto _ : state) {
    matches = PlainReadMatches();
    if (matches < 0) {
      state.SkipWithError("cannot read the table");
      break;
    }
    benchmark::DoNotOptimize(matches);
  }
  SetRecordCounters(state);
  state.counters["matches"] = static_cast<double>(matches);
}

// The filtered scan: Filter NAME='SMITH' (3% of the records), First to end.
inline void RunFilteredScan(benchmark::State& state, TDbf& dbf) {
  dbf.SetFilter("NAME='SMITH'");
  dbf.SetFiltered(true);
  int64_t shown = 0;
  for (auto _ : state) {
    shown = 0;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next()) ++shown;
    benchmark::DoNotOptimize(shown);
  }
  SetRecordCounters(state);
  state.counters["shown"] = static_cast<double>(shown);
}

// Seconds of wall clock and of this thread's processor time.
struct TClocks {
  double wall = 0;
  double cpu = 0;
  static TClocks Now() {
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    const auto wall = std::chrono::steady_clock::now().time_since_epoch();
    return {std::chrono::duration<double>(wall).count(),
            static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) * 1e-9};
  }
  TClocks operator-(const TClocks& other) const { return {wall - other.wall, cpu - other.cpu}; }
};

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Times base and other in turn, in alternating order, once in each
// iteration of state; each gives whether it did what it should. On a
// machine shared with other work the load changes less within a pair
// than between two benchmarks run apart. The counters wall_ratio and
// cpu_ratio are the medians of the pairs' ratios, other's time to base's.
template <class Base, class Other>
void TimePairs(benchmark::State& state, Base base, Other other) {
  std::vector<double> wallRatios;
  std::vector<double> cpuRatios;
  bool baseFirst = true;
  for (auto _ : state) {
    TClocks baseTime;
    TClocks otherTime;
    for (int half = 0; half < 2; ++half) {
      const bool timingBase = (half == 0) == baseFirst;
      const TClocks start = TClocks::Now();
      const bool right = timingBase ? base() : other();
      (timingBase ? baseTime : otherTime) = TClocks::Now() - start;
      if (!right) state.SkipWithError("wrong outcome");
    }
    baseFirst = !baseFirst;
    wallRatios.push_back(otherTime.wall / baseTime.wall);
    cpuRatios.push_back(otherTime.cpu / baseTime.cpu);
  }
  state.counters["wall_ratio"] = Median(wallRatios);
  state.counters["cpu_ratio"] = Median(cpuRatios);
}
