// Filtering and locating through TDbf on a generated table of one million
// records of 89 bytes, against a plain sequential read of the same file
// that compares the NAME bytes of every record:
//   BM_PlainRead       fread in large blocks, memcmp of NAME per record
//   BM_FilteredScan    Filter NAME='SMITH' (3% of the records), First to end
//   BM_LocatePartial   LocateRecord of NAME, soPartialKey, with a prefix
//                      only the 999,901st record holds
//   BM_NoMatchWindow   "Filtrele" with a value no record holds, as the window
//                      does it (filter off, new text, filter on, with a
//                      grid's link), then First
//   BM_NoMatchDbfcat   the same filter as dbfcat --filter applies it and
//                      prints: the table opened, the header's record count
//                      (one read of the deletion flags), text, filter on,
//                      First to end
//   BM_ScanPaired      the plain read and one filtered pass timed in turn,
//                      each pair giving a ratio
//   BM_LocatePaired    the plain read and the locate, the same way
//   BM_NoMatchPaired   the dbfcat action and one filtered pass timed in
//                      turn, each pair giving a ratio: on a machine shared
//                      with other work, the load changes less within a
//                      pair than between two benchmarks run a minute apart
// The filtered scan and the locate run on the single-byte table (/0) and
// on the UTF-8 one (/1) of bench/generated_table.h, the plain read on the
// single-byte one. The two no-match runs, on the single-byte table, also
// count the record reads per record (passes).
// Each runs five times; after the run the medians are compared: the
// filtered scan's records examined per second as a share of the plain
// read's, and the locate's time as a multiple of the plain read's.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/generated_table.h"
#include "tdbf/dataset/dbf.h"
#include "tests/support/file_wrapper.h"

namespace {

constexpr const char* kLocatePrefix = "ZEB";

// The table as the window holds it, or as dbfcat holds it (no grid).
class TOpenTable : public TBenchTable {
 public:
  explicit TOpenTable(TGeneratedText text, platform::TEnv* env = nullptr, bool grid = true)
      : TBenchTable(GeneratedTable(text).Path(), env, grid) {}
  // The code page the table's text is read in.
  std::string Label() {
    return "text from code page " + std::to_string(Dbf().TableCodePage()) + " to UTF-8";
  }
};

void BM_PlainRead(benchmark::State& state) { RunPlainRead(state); }
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_FilteredScan(benchmark::State& state) {
  TOpenTable open(static_cast<TGeneratedText>(state.range(0)));
  RunFilteredScan(state, open.Dbf());
  state.SetLabel(open.Label());
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
        dbf.RecordNumber() != kGeneratedLocateTarget) {
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

// Turning on a filter that no record passes: the cost of the whole
// action, and the record reads per record it made (1 is one pass).
void RunNoMatch(benchmark::State& state, bool window) {
  TRecordReadCounter counter(GeneratedTable().HeaderSize());
  auto open = std::make_unique<TOpenTable>(gtSingleByte, &counter, window);
  int64_t reads = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (window) {
      open->Dbf().SetFiltered(false);
      open->Dbf().SetFilter("");
      open->Dbf().First();
    } else {
      open.reset();
    }
    counter.reads = 0;
    state.ResumeTiming();
    // dbfcat opens the table and prints its record count before it filters.
    if (!window) {
      open = std::make_unique<TOpenTable>(gtSingleByte, &counter, false);
      benchmark::DoNotOptimize(open->Dbf().RecordCount());
    }
    TDbf& dbf = open->Dbf();
    if (window) dbf.SetFiltered(false);
    dbf.SetFilter("NAME = 'NOBODY'");
    dbf.SetFiltered(true);
    int64_t shown = 0;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next()) ++shown;
    reads += counter.reads;
    if (shown != 0) {
      state.SkipWithError("the filter matched");
      break;
    }
  }
  SetRecordCounters(state);
  state.counters["passes"] =
      static_cast<double>(reads) / (static_cast<double>(kRecords) * state.iterations());
}

void BM_NoMatchWindow(benchmark::State& state) { RunNoMatch(state, true); }
BENCHMARK(BM_NoMatchWindow)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_NoMatchDbfcat(benchmark::State& state) { RunNoMatch(state, false); }
BENCHMARK(BM_NoMatchDbfcat)->Unit(benchmark::kMillisecond)->Repetitions(5);

// Pairs of the dbfcat action (as BM_NoMatchDbfcat) and one filtered pass
// (as BM_FilteredScan/0), in alternating order; the counters are the
// medians of the pairs' ratios.
void BM_NoMatchPaired(benchmark::State& state) {
  TOpenTable scanTable(gtSingleByte);
  TDbf& scan = scanTable.Dbf();
  scan.SetFilter("NAME='SMITH'");
  scan.SetFiltered(true);
  const auto pass = [&scan] {
    int64_t shown = 0;
    for (scan.First(); !scan.AtEnd(); scan.Next()) ++shown;
    return shown != 0;
  };
  const auto dbfcat = [] {
    TOpenTable open(gtSingleByte, nullptr, false);
    TDbf& dbf = open.Dbf();
    benchmark::DoNotOptimize(dbf.RecordCount());
    dbf.SetFilter("NAME = 'NOBODY'");
    dbf.SetFiltered(true);
    int64_t shown = 0;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next()) ++shown;
    return shown == 0;
  };
  TimePairs(state, pass, dbfcat);
}
BENCHMARK(BM_NoMatchPaired)->Unit(benchmark::kMillisecond)->Iterations(9)->Repetitions(5);

// The plain read of BM_PlainRead as one step of a pair.
bool PlainReadOnce() {
  const int64_t matches = PlainReadMatches();
  benchmark::DoNotOptimize(matches);
  return matches > 0;
}

// Pairs of the plain read and one filtered pass (as BM_FilteredScan), in
// alternating order; the counters are the medians of the pairs' ratios.
void BM_ScanPaired(benchmark::State& state) {
  TOpenTable open(static_cast<TGeneratedText>(state.range(0)));
  TDbf& dbf = open.Dbf();
  dbf.SetFilter("NAME='SMITH'");
  dbf.SetFiltered(true);
  const auto pass = [&dbf] {
    int64_t shown = 0;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next()) ++shown;
    return shown != 0;
  };
  TimePairs(state, PlainReadOnce, pass);
  state.SetLabel(open.Label());
}
BENCHMARK(BM_ScanPaired)
    ->Arg(gtSingleByte)
    ->Arg(gtUtf8)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(9)
    ->Repetitions(5);

// The same with the locate of BM_LocatePartial.
void BM_LocatePaired(benchmark::State& state) {
  TOpenTable open(static_cast<TGeneratedText>(state.range(0)));
  TDbf& dbf = open.Dbf();
  const auto locate = [&dbf] {
    dbf.First();
    return dbf.LocateRecord("NAME", TVariant(kLocatePrefix), SearchOpt(soPartialKey)) &&
           dbf.RecordNumber() == kGeneratedLocateTarget;
  };
  TimePairs(state, PlainReadOnce, locate);
  state.SetLabel(open.Label());
}
BENCHMARK(BM_LocatePaired)
    ->Arg(gtSingleByte)
    ->Arg(gtUtf8)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(9)
    ->Repetitions(5);

// The medians in wall-clock time and in CPU time (which other processes on
// a busy machine disturb less), against the plain read's.
void PrintRatios(const TMedianReporter& medians) {
  if (const auto* run = medians.Find("BM_NoMatchPaired"))
    std::printf(
        "BM_NoMatchPaired: the dbfcat action %.2f / %.2f times the filtered pass run beside it "
        "(medians of the pairs' ratios, wall-clock / CPU; target: within 1.2)\n",
        run->Counter("wall_ratio"), run->Counter("cpu_ratio"));
  for (const char* text : {"0", "1"}) {
    const char* label = *text == '0' ? "single-byte" : "UTF-8";
    if (const auto* run = medians.Find(std::string("BM_ScanPaired/") + text))
      std::printf(
          "BM_ScanPaired    %-11s records examined per second 1/%.1f / 1/%.1f of the plain "
          "read's run beside it (medians of the pairs' ratios; target: at least 1/10)\n",
          label, run->Counter("wall_ratio"), run->Counter("cpu_ratio"));
    if (const auto* run = medians.Find(std::string("BM_LocatePaired/") + text))
      std::printf(
          "BM_LocatePaired  %-11s %.1f / %.1f times the plain read run beside it (medians of "
          "the pairs' ratios; target: within 20)\n",
          label, run->Counter("wall_ratio"), run->Counter("cpu_ratio"));
  }
  const TMedianReporter::TMedian* base = medians.Find("BM_PlainRead");
  if (base == nullptr || base->wall <= 0 || base->cpu <= 0) return;
  std::printf("\nmedians (wall-clock / CPU seconds) against BM_PlainRead's %.4f / %.4f:\n",
              base->wall, base->cpu);
  for (const char* text : {"0", "1"}) {
    const char* label = *text == '0' ? "single-byte" : "UTF-8";
    if (const auto* run = medians.Find(std::string("BM_FilteredScan/") + text))
      std::printf(
          "BM_FilteredScan  %-11s %.4f / %.4f: records examined per second 1/%.1f / 1/%.1f "
          "of the plain read's (target: at least 1/10)\n",
          label, run->wall, run->cpu, run->wall / base->wall, run->cpu / base->cpu);
    if (const auto* run = medians.Find(std::string("BM_LocatePartial/") + text))
      std::printf(
          "BM_LocatePartial %-11s %.4f / %.4f: %.1f / %.1f times the plain read's time "
          "(target: within 20)\n",
          label, run->wall, run->cpu, run->wall / base->wall, run->cpu / base->cpu);
  }
  const auto* scan = medians.Find("BM_FilteredScan/0");
  for (const char* name : {"BM_NoMatchWindow", "BM_NoMatchDbfcat"}) {
    const auto* run = medians.Find(name);
    if (run == nullptr) continue;
    std::printf("%s %.4f / %.4f: %.2f / %.2f times the plain read's time", name, run->wall,
                run->cpu, run->wall / base->wall, run->cpu / base->cpu);
    if (scan != nullptr)
      std::printf(", %.2f / %.2f times one filtered pass (target: within 1.2)",
                  run->wall / scan->wall, run->cpu / scan->cpu);
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) { return RunBenchmarks(argc, argv, PrintRatios); }
