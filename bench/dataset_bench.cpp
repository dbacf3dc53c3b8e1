// The table dataset on a generated table of 1,000,000 records of 90 bytes:
//  (a) opening it and fetching the first 30 records (a grid's page), against
//      the same on a 1,000-record table;
//  (b) First to the end with Next through TDbf with a one-buffer ring, in
//      records per second, against a plain sequential read of the file in
//      1 MiB chunks that compares one field of every record;
//  (c) the peak memory of a process scanning the table, above the same
//      process before it opened anything.
// Medians of repeated runs; the ratios at the end come from the same run.

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "bench/generated_table.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/file/dbf_dbffile.h"

namespace {

constexpr int kBigTable = kRecords;
constexpr int kSmallTable = 1000;
constexpr int kChunk = 1 << 20;

// Fields: ID N(8), NAME C(20), CITY C(20), AMOUNT N(12,2), DUE D(8),
// ACTIVE L(1), NOTE C(20): 90 bytes with the deletion flag.
constexpr int kNameOffset = 1 + 8;
constexpr int kNameSize = 20;

// A table of count records: names repeat every ten records.
std::string MakeTable(const std::string& name, int count) {
  const std::string path = BenchFolder() + "/" + name;
  static const char* const kNames[] = {"JONES",  "MILLER", "SMITH", "BROWN", "WILSON",
                                       "TAYLOR", "DAVIS",  "CLARK", "LEWIS", "WALKER"};
  WriteWideTable(path, count, [](int i, char* out) {
    char record[128];
    std::snprintf(record, sizeof record, " %8d%-20s%-20s%12.2f%04d%02d%02d%c%-20s", i + 1,
                  kNames[(i * 7) % 10], "ANKARA", (i % 100000) / 100.0, 1990 + i % 30, 1 + i % 12,
                  1 + i % 28, i % 3 ? 'T' : 'F', "generated");
    std::memcpy(out, record, kWideRecordSize);
  });
  return path;
}

const std::string& BigTable() {
  static const std::string path = MakeTable("big.dbf", kBigTable);
  return path;
}
const std::string& SmallTable() {
  static const std::string path = MakeTable("small.dbf", kSmallTable);
  return path;
}

// A control that shows rows of the table, as a grid does.
struct TGrid {
  explicit TGrid(TDbf& dbf, int rows) {
    link.SetBufferCount(rows);
    source.SetDataSet(&dbf);
    link.SetDataSource(&source);
  }
  TDataSource source;
  TDataLink link;
};

void OpenFirstPage(benchmark::State& state, const std::string& path) {
  for (auto _ : state) {
    TDbf dbf;
    TGrid grid(dbf, 30);
    dbf.SetTableName(path);
    dbf.Open();
    if (dbf.RingRecordCount() != 30) state.SkipWithError("the page is not full");
    benchmark::DoNotOptimize(dbf.ActiveBuffer());
    dbf.Close();
  }
}

void BM_OpenFirst30_Records1M(benchmark::State& state) { OpenFirstPage(state, BigTable()); }
void BM_OpenFirst30_Records1k(benchmark::State& state) { OpenFirstPage(state, SmallTable()); }

// First to the end with Next, one buffer; optionally comparing NAME.
void Scan(benchmark::State& state, bool readOnly, bool compareName) {
  int64_t records = 0;
  for (auto _ : state) {
    TDbf dbf;
    dbf.SetTableName(BigTable());
    dbf.SetReadOnly(readOnly);
    dbf.Open();
    TField* name = dbf.FieldNamed("NAME");
    char value[kNameSize + 1];
    int64_t seen = 0;
    int64_t smiths = 0;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next()) {
      ++seen;
      if (compareName && name->GetData(value) && std::strcmp(value, "SMITH") == 0) ++smiths;
    }
    if (seen != kBigTable) state.SkipWithError("records missing");
    benchmark::DoNotOptimize(smiths);
    records += seen;
    dbf.Close();
  }
  state.SetItemsProcessed(records);
}

void BM_ScanNext_Shared(benchmark::State& state) { Scan(state, false, false); }
void BM_ScanNext_ReadOnly(benchmark::State& state) { Scan(state, true, false); }
void BM_ScanNextReadName_Shared(benchmark::State& state) { Scan(state, false, true); }

// The plain read: 1 MiB chunks of whole records, NAME compared in each.
void BM_PlainRead(benchmark::State& state) {
  std::vector<char> chunk(static_cast<size_t>(kChunk / 90 * 90));
  int64_t records = 0;
  for (auto _ : state) {
    std::FILE* f = std::fopen(BigTable().c_str(), "rb");
    char header[32];
    if (std::fread(header, 1, 32, f) != 32) std::abort();
    std::fseek(f, GetLE16(header + 8), SEEK_SET);
    int64_t smiths = 0;
    size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), f)) >= 90) {
      for (size_t at = 0; at + 90 <= n; at += 90) {
        if (std::memcmp(chunk.data() + at + kNameOffset, "SMITH               ", kNameSize) == 0)
          ++smiths;
        ++records;
      }
    }
    std::fclose(f);
    benchmark::DoNotOptimize(smiths);
  }
  state.SetItemsProcessed(records);
}

// ---- Peak memory -------------------------------------------------------------

// In a child process (so that nothing else of this program counts): the
// peak resident size before and after scanning the table, and the
// anonymous (heap and stack) part at the end.
void MeasureScanMemory(bool readOnly) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    const long before = StatusKb("VmHWM:");
    {
      TDbf dbf;
      dbf.SetTableName(BigTable());
      dbf.SetReadOnly(readOnly);
      dbf.Open();
      int64_t seen = 0;
      for (dbf.First(); !dbf.AtEnd(); dbf.Next()) ++seen;
      const long peak = StatusKb("VmHWM:");
      std::printf(
          "(c) scan %-9s %lld records: peak resident %.1f MiB above the program's %.1f MiB"
          " (anonymous %.1f MiB, mapped file %.1f MiB at the end)\n",
          readOnly ? "read-only" : "shared", static_cast<long long>(seen), (peak - before) / 1024.0,
          before / 1024.0, StatusKb("RssAnon:") / 1024.0, StatusKb("RssFile:") / 1024.0);
      std::fflush(stdout);
    }
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}

void PrintRatios(const TMedianReporter& medians) {
  auto time = [&](const char* name) {
    const TMedianReporter::TMedian* run = medians.Find(name);
    return run == nullptr ? 0 : run->wall;
  };
  auto rate = [&](const char* name) {
    const TMedianReporter::TMedian* run = medians.Find(name);
    return run == nullptr ? 0 : run->Counter("items_per_second");
  };
  std::printf("\n(a) open + first 30 records: 1M table %.3f ms, 1k table %.3f ms, ratio %.2f\n",
              time("BM_OpenFirst30_Records1M") * 1e3, time("BM_OpenFirst30_Records1k") * 1e3,
              time("BM_OpenFirst30_Records1M") / time("BM_OpenFirst30_Records1k"));
  const double plain = rate("BM_PlainRead");
  for (const char* name :
       {"BM_ScanNext_Shared", "BM_ScanNext_ReadOnly", "BM_ScanNextReadName_Shared"}) {
    std::printf("(b) %-28s %.2f M records/s = 1/%.1f of the plain read (%.2f M records/s)\n", name,
                rate(name) / 1e6, plain / rate(name), plain / 1e6);
  }
}

}  // namespace

BENCHMARK(BM_OpenFirst30_Records1M)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_OpenFirst30_Records1k)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_ScanNext_Shared)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanNext_ReadOnly)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanNextReadName_Shared)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainRead)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  BigTable();
  SmallTable();
  MeasureScanMemory(false);
  MeasureScanMemory(true);
  TMedianReporter reporter(PrintRatios);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
