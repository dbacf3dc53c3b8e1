// Walking a table record by record through the paged file and the physical
// cursor, in each access mode, against reading the same file sequentially
// in large blocks.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tdbf/dbf_cursor.h"
#include "tdbf/dbf_pgfile.h"

namespace {

constexpr int kHeaderSize = 1024;
constexpr int kRecordSize = 128;
constexpr int kRecords = 200000;

const std::string& TablePath() {
  static const std::string path = [] {
    char pattern[] = "/tmp/zozur-bench-XXXXXX";
    const int fd = mkstemp(pattern);
    std::string bytes(kHeaderSize, 'H');
    for (int i = 0; i < kRecords; ++i)
      bytes += std::string(kRecordSize, static_cast<char>('a' + i % 26));
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
    close(fd);
    std::atexit([] { std::remove(TablePath().c_str()); });
    return std::string(pattern);
  }();
  return path;
}

void WalkTable(benchmark::State& state, TFileAccessMode mode) {
  TPagedFile file(TablePath());
  file.SetMode(mode);
  file.OpenFile();
  file.SetRecordSize(kRecordSize);
  file.SetHeaderSize(kHeaderSize);
  TDbfCursor cursor(&file);
  std::vector<char> record(kRecordSize);
  for (auto _ : state) {
    int64_t sum = 0;
    cursor.First();
    while (cursor.Next()) {
      file.ReadPage(cursor.PhysicalPosition(), record.data());
      sum += record[0];
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
  state.SetBytesProcessed(state.iterations() * int64_t{kRecords} * kRecordSize);
}

void BM_WalkSharedOpen(benchmark::State& state) { WalkTable(state, amSharedOpen); }
void BM_WalkExclusiveOpen(benchmark::State& state) { WalkTable(state, amExclusiveOpen); }
void BM_WalkReadOnly(benchmark::State& state) { WalkTable(state, amReadOnly); }

void BM_SequentialRead(benchmark::State& state) {
  std::vector<char> block(1 << 16);
  for (auto _ : state) {
    std::FILE* f = std::fopen(TablePath().c_str(), "rb");
    int64_t sum = 0;
    size_t n;
    while ((n = std::fread(block.data(), 1, block.size(), f)) > 0) sum += block[n - 1];
    std::fclose(f);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
  state.SetBytesProcessed(state.iterations() * int64_t{kRecords} * kRecordSize);
}

}  // namespace

BENCHMARK(BM_WalkSharedOpen);
BENCHMARK(BM_WalkExclusiveOpen);
BENCHMARK(BM_WalkReadOnly);
BENCHMARK(BM_SequentialRead);
BENCHMARK_MAIN();
