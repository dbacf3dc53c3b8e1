// Filter evaluation speed: NAME = 'SMITH' AND AMOUNT > 100, the dBase
// spelling TRIM(NAME) == 'SMITH' .AND. DUE >= CTOD('01/01/2020'), and
// 'MI' $ NAME over one million record images of a generated table, as a
// filtered table evaluates them for every record it looks at. Reports nanoseconds per record and
// the heap allocations made per record while evaluating (expected: none).

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "tdbf/dbf_dbffile.h"
#include "tdbf/dbf_fields.h"
#include "tdbf/dbf_parser.h"

namespace {
std::atomic<int64_t> gAllocations{0};
}  // namespace

// Counting replacements of the global allocation functions. GCC takes the
// free() below for a mismatch with the replaced operator new.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr int kRecords = 1000000;

// A table in memory with a few fields around the two the filter uses, and
// record images for it: one name in ten is SMITH (in varying letter case),
// amounts spread over 0..200.
class TGeneratedTable {
 public:
  TGeneratedTable() : file_("bench.dbf") {
    file_.SetMode(amMemory);
    file_.SetTableFormat(tfDBase4);
    file_.Open();
    TDbfFieldDefs defs;
    struct FieldLayout {
      const char* name;
      char letter;
      int size;
      int decimals;
    } layouts[] = {{"ID", 'N', 8, 0},
                   {"NAME", 'C', 20, 0},
                   {"CITY", 'C', 15, 0},
                   {"AMOUNT", 'N', 10, 2},
                   {"DUE", 'D', 8, 0}};
    for (const FieldLayout& layout : layouts) {
      TDbfFieldDef& def = defs.Add();
      def.SetFieldName(layout.name);
      def.SetSize(layout.size);
      def.SetPrecision(layout.decimals);
      def.SetNativeFieldType(layout.letter);
    }
    file_.CreateStructure(defs, 512);
    recordSize_ = file_.RecordSize();
    images_.resize(static_cast<size_t>(recordSize_) * kRecords);

    std::mt19937 random(42);
    const char* names[] = {"JONES", "Smith",  "MILLER", "SMITHSON", "BROWN",
                           "SMITH", "WILSON", "TAYLOR", "smith ",   "DAVIS"};
    for (int i = 0; i < kRecords; ++i) {
      char* record = Record(i);
      file_.BlankRecord(record);
      const int32_t id = i + 1;
      file_.WriteFieldValue(*file_.FindFieldDef("ID"), ftInteger, record, &id);
      const std::string name = names[random() % 10];
      file_.WriteFieldValue(*file_.FindFieldDef("NAME"), ftString, record, name.c_str());
      file_.WriteFieldValue(*file_.FindFieldDef("CITY"), ftString, record, "AMSTERDAM");
      const double amount = static_cast<double>(random() % 20000) / 100.0;
      file_.WriteFieldValue(*file_.FindFieldDef("AMOUNT"), ftFloat, record, &amount);
      const int32_t due = 738000 + static_cast<int32_t>(random() % 1000);
      file_.WriteFieldValue(*file_.FindFieldDef("DUE"), ftDate, record, &due);
    }
  }

  TDbfFile& File() { return file_; }
  char* Record(int i) { return images_.data() + static_cast<size_t>(i) * recordSize_; }

 private:
  TDbfFile file_;
  int32_t recordSize_ = 0;
  std::vector<char> images_;
};

TGeneratedTable& Table() {
  static TGeneratedTable table;
  return table;
}

void RunFilter(benchmark::State& state, const char* expression) {
  TGeneratedTable& table = Table();
  TDbfParser parser(&table.File());
  parser.ParseText(expression);
  // One pass first, so that text buffers have reached their length.
  for (int i = 0; i < 1000; ++i) parser.EvaluateRecord(table.Record(i));

  int64_t accepted = 0;
  int64_t allocations = 0;
  for (auto _ : state) {
    accepted = 0;
    const int64_t before = gAllocations.load(std::memory_order_relaxed);
    for (int i = 0; i < kRecords; ++i) accepted += parser.EvaluateRecord(table.Record(i))[0] != 0;
    allocations += gAllocations.load(std::memory_order_relaxed) - before;
    benchmark::DoNotOptimize(accepted);
  }
  const double records = static_cast<double>(kRecords);
  // CPU seconds per record, shown with an SI prefix ("86.5n" is 86.5 ns).
  state.counters["time_per_record"] = benchmark::Counter(
      records, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_record"] =
      static_cast<double>(allocations) / (records * static_cast<double>(state.iterations()));
  state.counters["accepted"] = static_cast<double>(accepted);
}

void BM_FilterNameAndAmount(benchmark::State& state) {
  RunFilter(state, "NAME = 'SMITH' AND AMOUNT > 100");
}
BENCHMARK(BM_FilterNameAndAmount)->Unit(benchmark::kMillisecond)->Repetitions(5);

// The dBase spelling with trimming, an exact comparison and a date read
// through the user's date format (folded once when the text compiles).
void BM_FilterTrimExactAndDate(benchmark::State& state) {
  RunFilter(state, "TRIM(NAME) == 'SMITH' .AND. DUE >= CTOD('01/01/2020')");
}
BENCHMARK(BM_FilterTrimExactAndDate)->Unit(benchmark::kMillisecond)->Repetitions(5);

// Text contained in a field.
void BM_FilterContainedIn(benchmark::State& state) { RunFilter(state, "'MI' $ NAME"); }
BENCHMARK(BM_FilterContainedIn)->Unit(benchmark::kMillisecond)->Repetitions(5);

// An index key built from text functions, for comparison.
void BM_KeyUpperNamePlusDate(benchmark::State& state) {
  RunFilter(state, "UPPER(NAME) + DTOS(DUE)");
}
BENCHMARK(BM_KeyUpperNamePlusDate)->Unit(benchmark::kMillisecond)->Repetitions(3);

}  // namespace

BENCHMARK_MAIN();
