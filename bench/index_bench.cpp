// Indexes on a generated table of 1,000,000 records (the fields of the
// dataset benchmark: ID N(8), NAME C(20), CITY C(20), AMOUNT N(12,2),
// DUE D(8), ACTIVE L(1), NOTE C(20)); every figure a median of runs made
// side by side in this process:
//  (a) creating a tag on NAME and on UPPER(NAME)+DTOS(DUE), against reading
//      the same keys from the file, sorting them and writing them out as
//      plain bytes;
//  (b) 10,000 SearchKey calls for random keys on the NAME tag, per call;
//  (c) appending 100,000 records to a table with two open tags, against
//      the same table without indexes;
//  (d) opening the table with its production index and showing the first
//      30 records in NAME order, against opening it in record order;
//  (e) the peak memory of a process creating the NAME tag.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "bench/generated_table.h"
#include "platform/env.h"
#include "recordset/datasource.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/index/dbf_idxfile.h"

namespace {

constexpr int kRecordSize = kWideRecordSize;
constexpr int kNameOffset = 9;
constexpr int kNameSize = 20;
constexpr int kDueOffset = 61;

std::string Path(const std::string& name) { return BenchFolder() + "/" + name; }

// Record i's image (90 bytes): names from a list of surnames with a number,
// so that keys are many and repeat.
void MakeRecord(int i, char* out) {
  static const char* const kNames[] = {"JONES",  "MILLER", "SMITH", "BROWN", "WILSON",
                                       "TAYLOR", "DAVIS",  "CLARK", "LEWIS", "WALKER"};
  char record[128];
  const unsigned mixed = static_cast<unsigned>(i) * 2654435761u;
  std::snprintf(record, sizeof record, " %8d%-14s%06u%-20s%12.2f%04d%02d%02d%c%-20s", i + 1,
                kNames[mixed % 10], (mixed >> 8) % 1000000, "ANKARA", (i % 100000) / 100.0,
                1990 + i % 30, 1 + i % 12, 1 + i % 28, i % 3 ? 'T' : 'F', "generated");
  std::memcpy(out, record, kRecordSize);
}

const std::string& BigTable() {
  static const std::string path = [] {
    const std::string p = Path("big.dbf");
    WriteWideTable(p, kRecords, MakeRecord);
    return p;
  }();
  return path;
}

// Wall-clock seconds of work; cpu, when given, gets the processor seconds
// this thread spent on it, which other processes on a busy machine disturb
// less.
double Seconds(const std::function<void()>& work, double* cpu = nullptr) {
  auto threadCpu = [] {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
  };
  const double cpuStart = threadCpu();
  const auto start = std::chrono::steady_clock::now();
  work();
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (cpu != nullptr) *cpu = threadCpu() - cpuStart;
  return wall;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// (a) baseline: the keys read from the file in 1 MiB pieces, sorted with
// their record numbers and written out.
void PlainSortedKeys(bool composite) {
  std::ifstream in(BigTable(), std::ios::binary);
  std::string header(4096, '\0');
  in.read(header.data(), 32);
  const int headerSize = GetLE16(header.data() + 8);
  in.seekg(headerSize);
  const size_t keySize = composite ? kNameSize + 8 : kNameSize;
  std::vector<char> keys(static_cast<size_t>(kRecords) * (keySize + 4));
  std::vector<char> chunk(static_cast<size_t>(kRecordSize) * 11650);
  int recNo = 0;
  while (recNo < kRecords) {
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const int got = static_cast<int>(in.gcount()) / kRecordSize;
    if (got == 0) break;
    for (int r = 0; r < got && recNo < kRecords; ++r, ++recNo) {
      char* key = keys.data() + static_cast<size_t>(recNo) * (keySize + 4);
      const char* record = chunk.data() + static_cast<size_t>(r) * kRecordSize;
      std::memcpy(key, record + kNameOffset, kNameSize);
      if (composite) {
        for (int c = 0; c < kNameSize; ++c)
          key[c] = static_cast<char>(std::toupper(static_cast<unsigned char>(key[c])));
        std::memcpy(key + kNameSize, record + kDueOffset, 8);
      }
      PutLE32(key + keySize, static_cast<uint32_t>(recNo + 1));
    }
  }
  std::vector<uint32_t> order(static_cast<size_t>(kRecords));
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    const int c =
        std::memcmp(keys.data() + a * (keySize + 4), keys.data() + b * (keySize + 4), keySize);
    return c != 0 ? c < 0 : a < b;
  });
  std::ofstream out(Path("plain.keys"), std::ios::binary | std::ios::trunc);
  for (uint32_t i : order)
    out.write(keys.data() + i * (keySize + 4), static_cast<std::streamsize>(keySize + 4));
}

void CreateTag(const std::string& name, const std::string& expression) {
  TDbfFile file(BigTable());
  file.SetMode(amExclusiveOpen);
  file.Open();
  if (file.IndexFileOf(name) != nullptr) file.DeleteIndex(name);
  if (file.OpenIndex(name, expression, true, 0) == nullptr) std::abort();
  file.Close();
}

void BenchCreate() {
  for (const bool composite : {false, true}) {
    const std::string tag = composite ? "NAMEDUE" : "NAME";
    const std::string expression = composite ? "UPPER(NAME)+DTOS(DUE)" : "NAME";
    std::vector<double> plain, index;
    for (int run = 0; run < 3; ++run) {
      plain.push_back(Seconds([composite] { PlainSortedKeys(composite); }));
      index.push_back(Seconds([&] { CreateTag(tag, expression); }));
    }
    std::printf("(a) create tag on %-22s %7.3f s; plain read+sort+write %7.3f s; ratio %.2f\n",
                expression.c_str(), Median(index), Median(plain), Median(index) / Median(plain));
  }
}

void BenchSearch() {
  TDbfFile file(BigTable());
  file.SetMode(amExclusiveOpen);
  file.Open();
  TIndexFile* index = file.IndexFileOf("NAME");
  index->SelectIndex("NAME");
  std::mt19937 random(7);
  std::vector<std::string> keys;
  char record[kRecordSize];
  for (int i = 0; i < 10000; ++i) {
    MakeRecord(static_cast<int>(random() % kRecords), record);
    keys.emplace_back(record + kNameOffset, kNameSize);
  }
  std::vector<double> perCall, cpuPerCall;
  int found = 0;
  for (int run = 0; run < 5; ++run) {
    double cpu = 0;
    const double seconds = Seconds(
        [&] {
          for (const std::string& key : keys) found += index->SearchKey(key.data(), 0) ? 1 : 0;
        },
        &cpu);
    perCall.push_back(seconds / static_cast<double>(keys.size()) * 1e6);
    cpuPerCall.push_back(cpu / static_cast<double>(keys.size()) * 1e6);
  }
  std::printf(
      "(b) SearchKey on NAME: %.2f us per call, %.2f us processor time (median of 5 x 10,000; "
      "%d found)\n",
      Median(perCall), Median(cpuPerCall), found);
}

void AppendMany(bool indexed) {
  const std::string path = Path(indexed ? "append_indexed.dbf" : "append_plain.dbf");
  platform::TEnv::Default()->DeleteFile(ChangeFileExt(path, ".mdx"));
  WriteWideTable(path, 0, MakeRecord);
  TDbfFile file(path);
  file.SetMode(amExclusiveOpen);
  file.Open();
  if (indexed) {
    file.OpenIndex("NAME", "NAME", true, 0);
    file.OpenIndex("ID", "ID", true, 0);
  }
  char record[kRecordSize];
  for (int i = 0; i < 100000; ++i) {
    MakeRecord(i, record);
    file.AppendRecord(record);
  }
  file.Close();
}

void BenchAppend() {
  std::vector<double> plain, indexed;
  for (int run = 0; run < 3; ++run) {
    plain.push_back(Seconds([] { AppendMany(false); }));
    indexed.push_back(Seconds([] { AppendMany(true); }));
  }
  const double plainRate = 100000 / Median(plain);
  const double indexedRate = 100000 / Median(indexed);
  std::printf("(c) append 100,000: %.0f records/s with two tags, %.0f without; ratio 1/%.2f\n",
              indexedRate, plainRate, plainRate / indexedRate);
}

double OpenFirst30(const std::string& indexName, double& cpu) {
  return Seconds(
      [&] {
        TDbf dbf;
        TDataSource source;
        TDataLink link;
        link.SetBufferCount(30);
        source.SetDataSet(&dbf);
        link.SetDataSource(&source);
        dbf.SetTableName(BigTable());
        dbf.SetIndexName(indexName);
        dbf.Open();
        if (dbf.RingRecordCount() != 30) std::abort();
        dbf.Close();
      },
      &cpu);
}

void BenchOpen() {
  std::vector<double> plain, indexed, plainCpu, indexedCpu;
  for (int run = 0; run < 9; ++run) {
    double cpu = 0;
    plain.push_back(OpenFirst30("", cpu));
    plainCpu.push_back(cpu);
    indexed.push_back(OpenFirst30("NAME", cpu));
    indexedCpu.push_back(cpu);
  }
  std::printf(
      "(d) open + first 30: %.3f ms in NAME order, %.3f ms in record order; ratio %.2f "
      "(processor time %.3f / %.3f ms, ratio %.2f)\n",
      Median(indexed) * 1e3, Median(plain) * 1e3, Median(indexed) / Median(plain),
      Median(indexedCpu) * 1e3, Median(plainCpu) * 1e3, Median(indexedCpu) / Median(plainCpu));
}

void BenchMemory() {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    const long before = StatusKb("VmHWM:");
    CreateTag("NAME", "NAME");
    const long peak = StatusKb("VmHWM:");
    std::printf(
        "(e) creating the NAME tag: peak resident %.1f MiB above the program's %.1f MiB "
        "(the table is %.1f MiB)\n",
        (peak - before) / 1024.0, before / 1024.0, kRecords * kRecordSize / 1048576.0);
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace

// The figures to measure: all, or those named by their letters ("b d").
int main(int argc, char** argv) {
  std::string figures;
  for (int i = 1; i < argc; ++i) figures += argv[i];
  auto wanted = [&](char figure) {
    return figures.empty() || figures.find(figure) != std::string::npos;
  };
  BigTable();
  if (wanted('e')) BenchMemory();
  if (wanted('a')) BenchCreate();
  if (!wanted('a') && (wanted('b') || wanted('d'))) {
    CreateTag("NAME", "NAME");
    CreateTag("NAMEDUE", "UPPER(NAME)+DTOS(DUE)");
  }
  if (wanted('b')) BenchSearch();
  if (wanted('d')) BenchOpen();
  if (wanted('c')) BenchAppend();
  return 0;
}
