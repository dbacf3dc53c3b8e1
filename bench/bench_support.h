#pragma once
// What the benchmarks on the generated table share: the table opened as
// the window holds it, the plain read and the filtered scan that other
// runs are measured against, a reporter that keeps the medians of the
// repeated runs, and the process's memory figures.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

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
inline void RunPlainRead(benchmark::State& state) {
  const TGeneratedTable& table = GeneratedTable();
  char wanted[kNameWidth];
  std::memset(wanted, ' ', sizeof wanted);
  std::memcpy(wanted, "SMITH", 5);
  int64_t matches = 0;
  for (auto _ : state) {
    matches = 0;
    if (!ReadRecordsPlainly(table, [&](const char* record) {
          matches += std::memcmp(record + table.NameOffset(), wanted, sizeof wanted) == 0;
        })) {
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

// Shows the runs as the console does and keeps the medians (wall clock and
// CPU seconds) by name ("BM_FilteredScan/1"), which a reporter derived
// from it compares at the end.
class TMedianReporter : public benchmark::ConsoleReporter {
 public:
  struct TMedian {
    double real;
    double cpu;
  };
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      const double perSecond = benchmark::GetTimeUnitMultiplier(run.time_unit);
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      medians_[name] = {run.GetAdjustedRealTime() / perSecond,
                        run.GetAdjustedCPUTime() / perSecond};
    }
  }

 protected:
  std::map<std::string, TMedian> medians_;
};

// Kilobytes of a line of /proc/self/status ("VmHWM:", "RssAnon:", ...).
inline long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  return -1;
}
