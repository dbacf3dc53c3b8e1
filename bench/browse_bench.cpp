// What the window does with a large table, on the generated table of one
// million records of 89 bytes (bench/generated_table.h), single-byte text:
//   BM_PlainRead      fread in large blocks, memcmp of NAME per record
//   BM_FilteredScan   Filter NAME='SMITH' (3% of the records), First to end
//   BM_Find/0..5      Edit > Find's engine path (TDbf::FindRecord with the
//                     find dialog's condition) for a text no record holds,
//                     so that it reads every record: /0 all fields,
//                     contains (the dialog's default); /1 NAME, contains;
//                     /2 NAME, begins with; /3 NAME, contains, match case;
//                     /4 all fields, begins with; /5 all fields, contains,
//                     a text whose first two letters begin every CITY
//   BM_FindPaired/0..5  each find and a filtered scan timed in turn, nine
//                     pairs a run, each pair giving a ratio
//   BM_FindGeneral/0..5  the same with each text field read as the text of
//                     a concatenation, NAME+'', which the expression
//                     engine runs through its general nodes (copying the
//                     field and its case change), for comparison
//   BM_Sort/0..2      ordering by a column in memory (TDbf::SortByField):
//                     /0 by NAME (text), /1 by AMOUNT (number), /2 by NAME
//                     on the UTF-8 table (Turkish names, collation keys)
//   BM_ExportCsv      File > Export to CSV of every record
//   BM_ExportSqlite   File > Export to a SQLite database of every record
// Each runs five times (the exports three); the medians are then compared
// with the plain read and the filtered scan of the same run. Last, each of
// the sorts, the find and the exports runs once more in a child process of
// its own, started afresh, which prints its peak resident memory above
// what the open table holds.

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/find_dialog.h"
#include "bench/bench_support.h"
#include "bench/generated_table.h"
#include "export/table_export.h"
#include "recordset/datasource.h"
#include "tdbf/dataset/dbf.h"

namespace {

// The find dialog's requests of the find benchmarks.
struct TFindCase {
  const char* label;
  const char* text;
  const char* field;  // empty: all fields
  TFindMatch match;
  bool matchCase;
};
const TFindCase kFindCases[] = {
    {"find, all fields, contains", "QXZQ", "", fmContains, false},
    {"find, NAME, contains", "QXZQ", "NAME", fmContains, false},
    {"find, NAME, begins with", "QXZQ", "NAME", fmBeginsWith, false},
    {"find, NAME, contains, match case", "QXZQ", "NAME", fmContains, true},
    {"find, all fields, begins with", "QXZQ", "", fmBeginsWith, false},
    {"find, all fields, contains AMZ", "AMZ", "", fmContains, false}};

class TOpenTable : public TBenchTable {
 public:
  explicit TOpenTable(const std::string& path = GeneratedTable().Path()) : TBenchTable(path) {}
};

TFindRequest FindRequest(int64_t kind) {
  const TFindCase& find = kFindCases[kind];
  TFindRequest request;
  request.text = find.text;
  request.fieldName = find.field;
  request.match = find.match;
  request.matchCase = find.matchCase;
  return request;
}

const char* kSortFields[] = {"NAME", "AMOUNT", "NAME"};

std::string ExportPath(TExportFormat format) {
  return (std::filesystem::temp_directory_path() /
          ("zozur_browse_bench_" + std::to_string(::getpid()) + (format == efCsv ? ".csv" : ".db")))
      .string();
}

int64_t Export(TDbf& dbf, TExportFormat format) {
  TExportRequest request;
  request.format = format;
  request.fileName = ExportPath(format);
  std::filesystem::remove(request.fileName);
  const int64_t written = ExportRecords(dbf, request);
  std::filesystem::remove(request.fileName);
  return written;
}

void BM_PlainRead(benchmark::State& state) { RunPlainRead(state); }
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_FilteredScan(benchmark::State& state) {
  TOpenTable open;
  RunFilteredScan(state, open.Dbf());
}
BENCHMARK(BM_FilteredScan)->Unit(benchmark::kMillisecond)->Repetitions(5);

// The find dialog's condition for a text field read as the text of a
// concatenation (NAME+''), which the expression engine evaluates through
// its general nodes, as it did every find before the search node.
std::string ThroughGeneralNodes(std::string condition) {
  const auto isNamePart = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
  for (const std::string field : {"NAME", "CITY", "NOTE"})
    for (size_t at = condition.find(field); at != std::string::npos;
         at = condition.find(field, at + 1)) {
      const size_t end = at + field.size();
      if ((at > 0 && isNamePart(condition[at - 1])) ||
          (end < condition.size() && isNamePart(condition[end])))
        continue;
      condition.replace(at, field.size(), "(" + field + "+'')");
      at += 2;
    }
  return condition;
}

void RunFind(benchmark::State& state, bool general) {
  TOpenTable open;
  TDbf& dbf = open.Dbf();
  std::string condition = FindCondition(dbf, FindRequest(state.range(0)));
  if (general) condition = ThroughGeneralNodes(condition);
  for (auto _ : state) {
    state.PauseTiming();
    dbf.First();
    state.ResumeTiming();
    if (dbf.FindRecord(condition, true)) {
      state.SkipWithError("the find found a record");
      break;
    }
  }
  SetRecordCounters(state);
  state.SetLabel(condition.size() > 60 ? condition.substr(0, 57) + "..." : condition);
}
void BM_Find(benchmark::State& state) { RunFind(state, false); }
BENCHMARK(BM_Find)
    ->DenseRange(0, std::size(kFindCases) - 1)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5);
// Pairs of a filtered pass (as BM_FilteredScan) and a find (as BM_Find),
// timed in turn (TimePairs). A find that finds nothing leaves the table on
// the record it started from, the first.
void BM_FindPaired(benchmark::State& state) {
  TOpenTable scanTable;
  TDbf& scan = scanTable.Dbf();
  scan.SetFilter("NAME='SMITH'");
  scan.SetFiltered(true);
  TOpenTable findTable;
  TDbf& find = findTable.Dbf();
  const std::string condition = FindCondition(find, FindRequest(state.range(0)));
  find.First();
  TimePairs(
      state,
      [&scan] {
        int64_t shown = 0;
        for (scan.First(); !scan.AtEnd(); scan.Next()) ++shown;
        return shown != 0;
      },
      [&] { return !find.FindRecord(condition, true) && find.RecordNumber() == 1; });
}
BENCHMARK(BM_FindPaired)
    ->DenseRange(0, std::size(kFindCases) - 1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(9)
    ->Repetitions(5);

void BM_FindGeneral(benchmark::State& state) { RunFind(state, true); }
BENCHMARK(BM_FindGeneral)
    ->DenseRange(0, std::size(kFindCases) - 1)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5);

void BM_Sort(benchmark::State& state) {
  TOpenTable open(GeneratedTable(state.range(0) == 2 ? gtUtf8 : gtSingleByte).Path());
  TDbf& dbf = open.Dbf();
  const char* field = kSortFields[state.range(0)];
  for (auto _ : state) {
    if (!dbf.SortByField(field, false) || dbf.RecordCount() != kRecords) {
      state.SkipWithError("the order was not made");
      break;
    }
  }
  SetRecordCounters(state);
  state.SetLabel(field);
}
BENCHMARK(BM_Sort)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Repetitions(5);

void RunExport(benchmark::State& state, TExportFormat format) {
  TOpenTable open;
  for (auto _ : state) {
    if (Export(open.Dbf(), format) != kRecords) {
      state.SkipWithError("the export did not write every record");
      break;
    }
  }
  SetRecordCounters(state);
}
void BM_ExportCsv(benchmark::State& state) { RunExport(state, efCsv); }
BENCHMARK(BM_ExportCsv)->Unit(benchmark::kMillisecond)->Repetitions(3);
void BM_ExportSqlite(benchmark::State& state) { RunExport(state, efSqlite); }
BENCHMARK(BM_ExportSqlite)->Unit(benchmark::kMillisecond)->Repetitions(3);

// ---- Peak memory -------------------------------------------------------------

// The actions whose peak memory is measured.
const std::vector<std::pair<const char*, std::function<void(TDbf&)>>>& PeakActions() {
  static const std::vector<std::pair<const char*, std::function<void(TDbf&)>>> actions = {
      {"sort by NAME", [](TDbf& dbf) { dbf.SortByField("NAME", false); }},
      {"sort by AMOUNT", [](TDbf& dbf) { dbf.SortByField("AMOUNT", false); }},
      {"find, all fields",
       [](TDbf& dbf) {
         benchmark::DoNotOptimize(dbf.FindRecord(FindCondition(dbf, FindRequest(0)), true));
       }},
      {"export to CSV", [](TDbf& dbf) { Export(dbf, efCsv); }},
      {"export to SQLite", [](TDbf& dbf) { Export(dbf, efSqlite); }}};
  return actions;
}

// Run as "browse_bench --peak N TABLE": a fresh process, whose heap holds
// nothing freed by earlier runs, opens the table as the window does and
// prints the peak resident size that action N adds to that.
int MeasurePeak(int action, const std::string& table) {
  TOpenTable open(table);
  const long before = StatusKb("VmHWM:");
  PeakActions().at(static_cast<size_t>(action)).second(open.Dbf());
  const long peak = StatusKb("VmHWM:");
  std::printf("peak memory %-20s %7.1f MiB above the open table's %.1f MiB\n",
              PeakActions()[static_cast<size_t>(action)].first, (peak - before) / 1024.0,
              before / 1024.0);
  return 0;
}

void MeasurePeaks() {
  std::printf("\n");
  std::fflush(stdout);
  const std::string table = GeneratedTable().Path();
  for (size_t i = 0; i < PeakActions().size(); ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      const std::string number = std::to_string(i);
      execl("/proc/self/exe", "browse_bench", "--peak", number.c_str(), table.c_str(), nullptr);
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
  }
}

// The medians at the end against the plain read and the filtered scan, in
// wall-clock time and in CPU time (which other processes on a busy machine
// disturb less).
void PrintRatios(const TMedianReporter& medians) {
  std::printf(
      "\nfinds timed in turn with a filtered scan: medians of the pairs' ratios, "
      "wall-clock / CPU\n");
  for (size_t i = 0; i < std::size(kFindCases); ++i)
    if (const auto* run = medians.Find("BM_FindPaired/" + std::to_string(i)))
      std::printf("%-50s %.2f / %.2f times the filtered scan beside it\n", kFindCases[i].label,
                  run->Counter("wall_ratio"), run->Counter("cpu_ratio"));
  const TMedianReporter::TMedian* plain = medians.Find("BM_PlainRead");
  const TMedianReporter::TMedian* scan = medians.Find("BM_FilteredScan");
  if (plain == nullptr || scan == nullptr || plain->wall <= 0 || scan->wall <= 0) return;
  std::printf(
      "\nmedians, wall-clock / CPU seconds; plain read %.4f / %.4f, filtered scan %.4f / "
      "%.4f\n",
      plain->wall, plain->cpu, scan->wall, scan->cpu);
  std::vector<std::pair<std::string, std::string>> rows;
  for (size_t i = 0; i < std::size(kFindCases); ++i)
    rows.emplace_back("BM_Find/" + std::to_string(i), kFindCases[i].label);
  for (size_t i = 0; i < std::size(kFindCases); ++i)
    rows.emplace_back("BM_FindGeneral/" + std::to_string(i),
                      std::string(kFindCases[i].label) + ", general nodes");
  rows.insert(rows.end(), {{"BM_Sort/0", "sort by NAME (target: under 1 s)"},
                           {"BM_Sort/1", "sort by AMOUNT (target: under 1 s)"},
                           {"BM_Sort/2", "sort by NAME, UTF-8 table (target: under 1 s)"},
                           {"BM_ExportCsv", "export to CSV"},
                           {"BM_ExportSqlite", "export to SQLite"}});
  std::printf("\n");
  for (const auto& [name, text] : rows) {
    const TMedianReporter::TMedian* run = medians.Find(name);
    if (run == nullptr) continue;
    std::printf(
        "%-50s %.4f / %.4f: %.2f / %.2f times the filtered scan, %.1f / %.1f the plain "
        "read\n",
        text.c_str(), run->wall, run->cpu, run->wall / scan->wall, run->cpu / scan->cpu,
        run->wall / plain->wall, run->cpu / plain->cpu);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--peak") == 0)
    return MeasurePeak(std::atoi(argv[2]), argv[3]);
  const int status = RunBenchmarks(argc, argv, PrintRatios);
  if (status == 0) MeasurePeaks();
  return status;
}
