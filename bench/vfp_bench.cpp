// Scanning a Visual FoxPro table against a dBase III table of the same
// 1,000,000 records through TDbf, reading every field of every record:
//   Visual FoxPro: ID I, PRICE Y, WHEN T, NAME V(20), QTY I nullable (and
//                  the hidden _NullFlags)
//   dBase III:     ID N(10), PRICE N(20,4), WHEN D, NAME C(20), QTY N(10)
// Medians of repeated runs; the rate ratio at the end comes from the same
// run.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "recordset/fields.h"
#include "tdbf/dbf.h"
#include "tdbf/dbf_dbffile.h"

namespace {

constexpr int kRecords = 1000000;
constexpr int kChunk = 1 << 20;

std::string TempFolder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/zozur-vfp-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    return std::string(pattern);
  }();
  return folder;
}

struct TColumn {
  const char* name;
  TFieldType type;
  int size;
  int decimals;
};

// Makes the table with the table file (header) and its own field encodings
// (records, written in 1 MiB pieces).
std::string MakeTable(const std::string& name, TTableFormat format) {
  const bool vfp = format == tfVisualFoxPro;
  const std::string path = TempFolder() + "/" + name;
  TDbfFile file(path);
  file.SetMode(amExclusiveCreate);
  file.SetAutoCreate(true);
  file.SetTableFormat(format);
  file.Open();
  TDbfFieldDefs defs;
  defs.SetTableFormat(format);
  const std::vector<TColumn> columns = vfp ? std::vector<TColumn>{{"ID", ftInteger, 4, 0},
                                                                  {"PRICE", ftCurrency, 8, 4},
                                                                  {"WHEN", ftDateTime, 8, 0},
                                                                  {"NAME", ftWideString, 20, 0},
                                                                  {"QTY", ftInteger, 4, 0}}
                                           : std::vector<TColumn>{{"ID", ftLargeint, 10, 0},
                                                                  {"PRICE", ftFloat, 20, 4},
                                                                  {"WHEN", ftDate, 8, 0},
                                                                  {"NAME", ftString, 20, 0},
                                                                  {"QTY", ftLargeint, 10, 0}};
  for (const TColumn& column : columns) {
    TDbfFieldDef& def = defs.Add();
    def.SetFieldName(column.name);
    def.SetFieldType(column.type);
    def.SetSize(column.size);
    def.SetPrecision(column.decimals);
    if (vfp && std::string(column.name) == "QTY") def.SetFieldFlags(TDbfFieldDef::kFieldNullable);
  }
  file.CreateStructure(defs, 64);
  const int32_t headerSize = file.HeaderSize();
  const int32_t recordSize = file.RecordSize();
  std::string header(static_cast<size_t>(headerSize), '\0');
  file.ReadAt(header.data(), headerSize, 0);
  PutLE32(header.data() + 4, static_cast<uint32_t>(kRecords));

  static const char* const kNames[] = {"JONES", "MILLER", "SMITH", "BROWN", "WILSON"};
  std::vector<char> record(static_cast<size_t>(recordSize));
  std::string chunk;
  std::ofstream out(path + ".tmp", std::ios::binary | std::ios::trunc);
  out.write(header.data(), headerSize);
  TDbfFieldDefs& own = file.FieldDefs();
  for (int i = 0; i < kRecords; ++i) {
    file.BlankRecord(record.data());
    const int64_t id = i + 1;
    const int32_t id32 = i + 1;
    const double price = (i % 100000) / 100.0;
    const int32_t day = 730000 + i % 3000;
    const double when = day * 86400000.0 + (i % 86400) * 1000.0;
    const int64_t qty = i % 50;
    const int32_t qty32 = i % 50;
    if (vfp) {
      EncodeFieldValue(own[0], ftInteger, record.data(), &id32);
      EncodeFieldValue(own[2], ftDateTime, record.data(), &when);
      EncodeFieldValue(own[4], ftInteger, record.data(), i % 10 ? &qty32 : nullptr);
    } else {
      EncodeFieldValue(own[0], ftLargeint, record.data(), &id);
      EncodeFieldValue(own[2], ftDate, record.data(), &day);
      EncodeFieldValue(own[4], ftLargeint, record.data(), i % 10 ? &qty : nullptr);
    }
    EncodeFieldValue(own[1], ftFloat, record.data(), &price);
    EncodeFieldValue(own[3], ftString, record.data(), kNames[i % 5]);
    chunk.append(record.data(), record.size());
    if (chunk.size() >= kChunk) {
      out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      chunk.clear();
    }
  }
  chunk += '\x1A';
  out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
  out.close();
  file.Close();
  std::rename((path + ".tmp").c_str(), path.c_str());
  return path;
}

const std::string& VfpTable() {
  static const std::string path = MakeTable("vfp.dbf", tfVisualFoxPro);
  return path;
}
const std::string& DBase3Table() {
  static const std::string path = MakeTable("dbase3.dbf", tfDBase3);
  return path;
}

// First to the end with Next, reading every field of every record.
void Scan(benchmark::State& state, const std::string& path) {
  int64_t records = 0;
  for (auto _ : state) {
    TDbf dbf;
    dbf.SetTableName(path);
    dbf.SetReadOnly(true);
    dbf.Open();
    std::vector<TField*> fields;
    for (int i = 0; i < dbf.FieldCount(); ++i) fields.push_back(dbf.Fields(i));
    char buffer[64];
    int64_t seen = 0, present = 0;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next()) {
      ++seen;
      for (TField* field : fields) present += field->GetData(buffer) ? 1 : 0;
    }
    if (seen != kRecords) state.SkipWithError("records missing");
    benchmark::DoNotOptimize(present);
    records += seen;
    dbf.Close();
  }
  state.SetItemsProcessed(records);
}

void BM_ScanAllFields_VisualFoxPro(benchmark::State& state) { Scan(state, VfpTable()); }
void BM_ScanAllFields_DBase3(benchmark::State& state) { Scan(state, DBase3Table()); }

// Prints the ratio of the two scan rates (medians) after the run.
class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name != "median") continue;
      const auto rate = run.counters.find("items_per_second");
      if (rate == run.counters.end()) continue;
      if (run.run_name.function_name.find("VisualFoxPro") != std::string::npos)
        vfp_ = rate->second;
      else
        dBase3_ = rate->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio() const {
    if (dBase3_ > 0)
      std::printf("Visual FoxPro scan rate / dBase III scan rate (medians): %.2f\n",
                  vfp_ / dBase3_);
  }

 private:
  double vfp_ = 0;
  double dBase3_ = 0;
};

}  // namespace

BENCHMARK(BM_ScanAllFields_VisualFoxPro)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanAllFields_DBase3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  VfpTable();
  DBase3Table();
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio();
  benchmark::Shutdown();
  std::remove(VfpTable().c_str());
  std::remove(DBase3Table().c_str());
  rmdir(TempFolder().c_str());
  return 0;
}
