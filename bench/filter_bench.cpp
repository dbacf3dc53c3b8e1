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
//                      prints: text, filter on, First to end
// The two no-match runs also count the record reads per record (passes).
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

#include "recordset/datasource.h"
#include "tdbf/dbf.h"
#include "tdbf/dbf_common.h"
#include "tdbf/dbf_dbffile.h"
#include "tdbf/dbf_fields.h"
#include "tests/support/file_wrapper.h"

namespace {

constexpr int kRecords = 1000000;
constexpr int kLocateTarget = 999901;
constexpr int kNameWidth = 20;
constexpr const char* kLocatePrefix = "ZEB";
// Rows of the grid that the window links to the table.
constexpr int kGridRows = 10;

// The generated table file, made once and removed at exit.
class TGeneratedTable {
 public:
  TGeneratedTable() {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("zozur_filter_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    folder_ = folder.string();
    path_ = (folder / "people.dbf").string();
    Generate();
  }
  ~TGeneratedTable() {
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
  }

  const std::string& Path() const { return path_; }
  int HeaderSize() const { return headerSize_; }
  int RecordSize() const { return recordSize_; }
  int NameOffset() const { return nameOffset_; }

 private:
  void Generate() {
    TDbfFile file(path_);
    file.SetMode(amExclusiveCreate);
    file.SetAutoCreate(true);
    file.SetTableFormat(tfDBase4);
    file.Open();
    TDbfFieldDefs defs;
    struct TColumn {
      const char* name;
      char letter;
      int size;
      int decimals;
    } columns[] = {{"ID", 'N', 8, 0},      {"NAME", 'C', kNameWidth, 0}, {"CITY", 'C', 20, 0},
                   {"AMOUNT", 'N', 12, 2}, {"DUE", 'D', 8, 0},           {"NOTE", 'C', 20, 0}};
    for (const TColumn& column : columns) {
      TDbfFieldDef& def = defs.Add();
      def.SetFieldName(column.name);
      def.SetSize(column.size);
      def.SetPrecision(column.decimals);
      def.SetNativeFieldType(column.letter);
    }
    file.CreateStructure(defs, 512);
    recordSize_ = file.RecordSize();
    headerSize_ = file.HeaderSize();
    nameOffset_ = file.FindFieldDef("NAME")->Offset();

    // Names: SMITH in 3 records of 100, look-alikes around it, and one
    // record near the end whose name starts with the locate's prefix.
    const char* names[] = {
        "JONES",  "MILLER", "BROWN",  "WILSON",   "TAYLOR",  "DAVIS",  "SMITHSON", "CLARK", "LEWIS",
        "WALKER", "HALL",   "ALLEN",  "YOUNG",    "KING",    "WRIGHT", "GREEN",    "BAKER", "ADAMS",
        "NELSON", "HILL",   "CARTER", "MITCHELL", "ROBERTS", "TURNER", "PHILLIPS"};
    std::mt19937 random(7);
    std::vector<char> records(static_cast<size_t>(recordSize_) * kRecords);
    for (int i = 0; i < kRecords; ++i) {
      char* record = records.data() + static_cast<size_t>(i) * recordSize_;
      file.BlankRecord(record);
      const int32_t id = i + 1;
      file.WriteFieldValue(*file.FindFieldDef("ID"), ftInteger, record, &id);
      const char* name = names[random() % 25];
      if (random() % 100 < 3) name = "SMITH";
      if (id == kLocateTarget) name = "ZEBULON";
      file.WriteFieldValue(*file.FindFieldDef("NAME"), ftString, record, name);
      file.WriteFieldValue(*file.FindFieldDef("CITY"), ftString, record, "AMSTERDAM");
      const double amount = static_cast<double>(random() % 20000) / 100.0;
      file.WriteFieldValue(*file.FindFieldDef("AMOUNT"), ftFloat, record, &amount);
      const int32_t due = 738000 + static_cast<int32_t>(random() % 1000);
      file.WriteFieldValue(*file.FindFieldDef("DUE"), ftDate, record, &due);
    }
    file.Close();

    // The records go in with one write; the header then counts them.
    std::FILE* out = std::fopen(path_.c_str(), "r+b");
    if (out == nullptr) throw std::runtime_error("cannot write " + path_);
    char count[4];
    PutLE32(count, kRecords);
    const char eof = 0x1A;
    const bool written = std::fseek(out, headerSize_, SEEK_SET) == 0 &&
                         std::fwrite(records.data(), 1, records.size(), out) == records.size() &&
                         std::fwrite(&eof, 1, 1, out) == 1 && std::fseek(out, 4, SEEK_SET) == 0 &&
                         std::fwrite(count, 1, 4, out) == 4;
    if (std::fclose(out) != 0 || !written) throw std::runtime_error("cannot write " + path_);
  }

  std::string folder_;
  std::string path_;
  int headerSize_ = 0;
  int recordSize_ = 0;
  int nameOffset_ = 0;
};

TGeneratedTable& Table() {
  static TGeneratedTable table;
  return table;
}

// The table as the window holds it: shared, with a grid's link on it
// (dbfcat holds it without one).
class TOpenTable {
 public:
  explicit TOpenTable(platform::TEnv* env = nullptr, bool grid = true) {
    dbf_.SetEnv(env);
    dbf_.SetTableName(Table().Path());
    dbf_.Open();
    if (!grid) return;
    source_.SetDataSet(&dbf_);
    grid_.SetDataSource(&source_);
    grid_.SetBufferCount(kGridRows);
  }
  ~TOpenTable() { grid_.SetDataSource(nullptr); }
  TDbf& Dbf() { return dbf_; }
  // The table's code page and how its text is translated for reading.
  std::string Label() const {
    static const char* const kModes[] = {"none (read-only)", "none (ANSI)", "OEM to ANSI",
                                         "code page to ANSI"};
    return "code page " + std::to_string(dbf_.DbfFile()->UseCodePage()) + ", translation " +
           kModes[dbf_.TranslationMode()];
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
  const TGeneratedTable& table = Table();
  const size_t recordSize = static_cast<size_t>(table.RecordSize());
  constexpr size_t kRecordsPerBlock = 8192;
  std::vector<char> block(recordSize * kRecordsPerBlock);
  char wanted[kNameWidth];
  std::memset(wanted, ' ', sizeof wanted);
  std::memcpy(wanted, "SMITH", 5);
  int64_t matches = 0;
  for (auto _ : state) {
    matches = 0;
    std::FILE* in = std::fopen(table.Path().c_str(), "rb");
    if (in == nullptr || std::fseek(in, table.HeaderSize(), SEEK_SET) != 0) {
      state.SkipWithError("cannot read the table");
      if (in != nullptr) std::fclose(in);
      break;
    }
    for (int left = kRecords; left > 0;) {
      const size_t want = std::min<size_t>(static_cast<size_t>(left), kRecordsPerBlock);
      const size_t got = std::fread(block.data(), recordSize, want, in);
      for (size_t i = 0; i < got; ++i)
        matches += std::memcmp(block.data() + i * recordSize + table.NameOffset(), wanted,
                               sizeof wanted) == 0;
      if (got < want) break;
      left -= static_cast<int>(got);
    }
    std::fclose(in);
    benchmark::DoNotOptimize(matches);
  }
  SetRecordCounters(state);
  state.counters["matches"] = static_cast<double>(matches);
}
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_FilteredScan(benchmark::State& state) {
  TOpenTable open;
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
BENCHMARK(BM_FilteredScan)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_LocatePartial(benchmark::State& state) {
  TOpenTable open;
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
BENCHMARK(BM_LocatePartial)->Unit(benchmark::kMillisecond)->Repetitions(5);

// Turning on a filter that no record passes: the cost of the whole
// action, and the record reads per record it made (1 is one pass).
void RunNoMatch(benchmark::State& state, bool window) {
  TRecordReadCounter counter(Table().HeaderSize());
  TOpenTable open(&counter, window);
  TDbf& dbf = open.Dbf();
  int64_t reads = 0;
  for (auto _ : state) {
    state.PauseTiming();
    dbf.SetFiltered(false);
    dbf.SetFilter("");
    dbf.First();
    counter.reads = 0;
    state.ResumeTiming();
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
      medians_[run.run_name.function_name] = {run.GetAdjustedRealTime() / perSecond,
                                              run.GetAdjustedCPUTime() / perSecond};
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto plain = medians_.find("BM_PlainRead");
    if (plain == medians_.end() || plain->second.real <= 0 || plain->second.cpu <= 0) return;
    const TMedian base = plain->second;
    std::printf("\nmedians (wall-clock / CPU seconds) against BM_PlainRead's %.4f / %.4f:\n",
                base.real, base.cpu);
    if (const auto it = medians_.find("BM_FilteredScan"); it != medians_.end())
      std::printf(
          "BM_FilteredScan  %.4f / %.4f: records examined per second 1/%.1f / 1/%.1f "
          "of the plain read's (target: at least 1/10)\n",
          it->second.real, it->second.cpu, it->second.real / base.real, it->second.cpu / base.cpu);
    const auto scan = medians_.find("BM_FilteredScan");
    for (const char* name : {"BM_NoMatchWindow", "BM_NoMatchDbfcat"}) {
      const auto it = medians_.find(name);
      if (it == medians_.end()) continue;
      std::printf("%s %.4f / %.4f: %.2f / %.2f times the plain read's time", name, it->second.real,
                  it->second.cpu, it->second.real / base.real, it->second.cpu / base.cpu);
      if (scan != medians_.end())
        std::printf(", %.2f / %.2f times one filtered pass (target: within 1.2)",
                    it->second.real / scan->second.real, it->second.cpu / scan->second.cpu);
      std::printf("\n");
    }
    if (const auto it = medians_.find("BM_LocatePartial"); it != medians_.end())
      std::printf(
          "BM_LocatePartial %.4f / %.4f: %.1f / %.1f times the plain read's time "
          "(target: within 20)\n",
          it->second.real, it->second.cpu, it->second.real / base.real, it->second.cpu / base.cpu);
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
