// Walking a table record by record through the paged file and the physical
// cursor, in each access mode, against reading the same file sequentially
// in large blocks; and reading its records in a random order, against one
// pread per record.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tdbf/dataset/dbf_cursor.h"
#include "tdbf/file/dbf_pgfile.h"

namespace {

constexpr int kHeaderSize = 1024;
constexpr int kRecordSize = 128;
constexpr int kRecords = 200000;
// The random walks visit this many records, in an order fixed by a seed.
constexpr int kRandomReads = 20000;

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

// Opens the table in mode with its geometry set.
void OpenTable(TPagedFile& file, TFileAccessMode mode) {
  file.SetMode(mode);
  file.OpenFile();
  file.SetRecordSize(kRecordSize);
  file.SetHeaderSize(kHeaderSize);
}

void WalkTable(benchmark::State& state, TFileAccessMode mode) {
  TPagedFile file(TablePath());
  OpenTable(file, mode);
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

// Page numbers 1..kRecords in a shuffled order, as an index over unsorted
// data visits them.
const std::vector<int32_t>& RandomPages() {
  static const std::vector<int32_t> pages = [] {
    std::vector<int32_t> all(kRecords);
    for (int i = 0; i < kRecords; ++i) all[i] = i + 1;
    std::shuffle(all.begin(), all.end(), std::mt19937(12345));
    all.resize(kRandomReads);
    return all;
  }();
  return pages;
}

void RandomReads(benchmark::State& state, TFileAccessMode mode) {
  TPagedFile file(TablePath());
  OpenTable(file, mode);
  std::vector<char> record(kRecordSize);
  for (auto _ : state) {
    int64_t sum = 0;
    for (int32_t page : RandomPages()) {
      file.ReadPage(page, record.data());
      sum += record[0];
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kRandomReads);
}

void BM_RandomSharedOpen(benchmark::State& state) { RandomReads(state, amSharedOpen); }
void BM_RandomReadOnly(benchmark::State& state) { RandomReads(state, amReadOnly); }

// The same visits with one pread each.
void BM_RandomPread(benchmark::State& state) {
  const int fd = open(TablePath().c_str(), O_RDONLY);
  std::vector<char> record(kRecordSize);
  for (auto _ : state) {
    int64_t sum = 0;
    for (int32_t page : RandomPages()) {
      const off_t offset = kHeaderSize + off_t{page - 1} * kRecordSize;
      if (pread(fd, record.data(), kRecordSize, offset) != kRecordSize) std::abort();
      sum += record[0];
    }
    benchmark::DoNotOptimize(sum);
  }
  close(fd);
  state.SetItemsProcessed(state.iterations() * kRandomReads);
}

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
BENCHMARK(BM_RandomSharedOpen);
BENCHMARK(BM_RandomReadOnly);
BENCHMARK(BM_RandomPread);
BENCHMARK_MAIN();
