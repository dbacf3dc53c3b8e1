// Filtering and locating through TDbf on a generated table of one million
// records of 89 bytes, against a plain sequential read of the same file
// that compares the NAME bytes of every record:
//   BM_PlainRead       fread in large blocks, memcmp of NAME per record
//   BM_FilteredScan    Filter NAME='SMITH' (3% of the records), First to end
//   BM_LocatePartial   LocateRecord of NAME, soPartialKey, with a prefix
//                      only the 999,901st record holds
// The last two run on a single-byte table (/0) and a UTF-8 one (/1).
// Each runs five times; after the run the medians are compared: the
// filtered scan's records examined per second as a share of the plain
// read's, and the locate's time as a multiple of the plain read's.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/generated_table.h"
#include "recordset/datasource.h"
#include "tdbf/dbf.h"
#include "tdbf/dbf_common.h"
#include "tdbf/dbf_dbffile.h"
#include "tdbf/dbf_fields.h"

namespace {

constexpr int kLocateTarget = kGeneratedLocateTarget;
constexpr const char* kLocatePrefix = "ZEB";
// Rows of the grid that the window links to the table.
constexpr int kGridRows = 10;

// The table as the window holds it: shared, with a grid's link on it.
class TOpenTable {
 public:
  explicit TOpenTable(TGeneratedText text) {
    dbf_.SetTableName(GeneratedTable(text).Path());
    dbf_.Open();
    source_.SetDataSet(&dbf_);
    grid_.SetDataSource(&source_);
    grid_.SetBufferCount(kGridRows);
  }
  ~TOpenTable() { grid_.SetDataSource(nullptr); }
  TDbf& Dbf() { return dbf_; }
  // The code page the table's text is read in.
  std::string Label() const {
    return "text from code page " + std::to_string(dbf_.TableCodePage()) + " to UTF-8";
  }

 private:
  TDbf dbf_;
  TDataSource source_;
  TDataLink grid_;
};

void SetRecordCounters(benchmark::State& state) {
  state.counters["records_per_second"] = benchmark::Counter(
      static_cast<double>(kRecords), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_PlainRead(benchmark::State& state) {
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
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_FilteredScan(benchmark::State& state) {
  TOpenTable open(static_cast<TGeneratedText>(state.range(0)));
  TDbf& dbf = open.Dbf();
  dbf.SetFilter("NAME='SMITH'");
  dbf.SetFiltered(true);
  int64_t shown = 0;
  for (auto _ : state) {
    shown = 0;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next()) ++shown;
    benchmark::DoNotOptimize(shown);
  }
  SetRecordCounters(state);
  state.SetLabel(open.Label());
  state.counters["shown"] = static_cast<double>(shown);
}
BENCHMARK(BM_FilteredScan)
    ->Arg(gtSingleByte)
    ->Arg(gtUtf8)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5);

void BM_LocatePartial(benchmark::State& state) {
  TOpenTable open(static_cast<TGeneratedText>(state.range(0)));
  TDbf& dbf = open.Dbf();
  for (auto _ : state) {
    state.PauseTiming();
    dbf.First();
    state.ResumeTiming();
    if (!dbf.LocateRecord("NAME", TVariant(kLocatePrefix), SearchOpt(soPartialKey)) ||
        dbf.RecordNumber() != kLocateTarget) {
      state.SkipWithError("the locate did not find its record");
      break;
    }
  }
  SetRecordCounters(state);
  state.SetLabel(open.Label());
}
BENCHMARK(BM_LocatePartial)
    ->Arg(gtSingleByte)
    ->Arg(gtUtf8)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5);

// Shows the runs as the console does and keeps the medians, which it
// compares at the end, in wall-clock time and in CPU time (which other
// processes on a busy machine disturb less).
class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      const double perSecond = benchmark::GetTimeUnitMultiplier(run.time_unit);
      medians_[run.run_name.function_name + "/" + run.run_name.args] = {
          run.GetAdjustedRealTime() / perSecond, run.GetAdjustedCPUTime() / perSecond};
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto plain = medians_.find("BM_PlainRead/");
    if (plain == medians_.end() || plain->second.real <= 0 || plain->second.cpu <= 0) return;
    const TMedian base = plain->second;
    std::printf("\nmedians (wall-clock / CPU seconds) against BM_PlainRead's %.4f / %.4f:\n",
                base.real, base.cpu);
    for (const char* text : {"0", "1"}) {
      const char* label = *text == '0' ? "single-byte" : "UTF-8";
      if (const auto it = medians_.find(std::string("BM_FilteredScan/") + text);
          it != medians_.end())
        std::printf(
            "BM_FilteredScan  %-11s %.4f / %.4f: records examined per second 1/%.1f / 1/%.1f "
            "of the plain read's (target: at least 1/10)\n",
            label, it->second.real, it->second.cpu, it->second.real / base.real,
            it->second.cpu / base.cpu);
      if (const auto it = medians_.find(std::string("BM_LocatePartial/") + text);
          it != medians_.end())
        std::printf(
            "BM_LocatePartial %-11s %.4f / %.4f: %.1f / %.1f times the plain read's time "
            "(target: within 20)\n",
            label, it->second.real, it->second.cpu, it->second.real / base.real,
            it->second.cpu / base.cpu);
    }
  }

 private:
  struct TMedian {
    double real;
    double cpu;
  };
  std::map<std::string, TMedian> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
