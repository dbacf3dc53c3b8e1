// Appending records to a shared table: one process alone, and two processes
// appending to the same table at once (each a forked child with its own
// handle), in records per second of wall time. Appends of several
// processes are serial (each holds the header lock while it chooses,
// writes and counts its slot), so the two-process rate shows what that
// costs against one process alone.

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tdbf/dbf.h"
#include "tdbf/dbf_dbffile.h"

namespace {

constexpr int kAppendsPerProcess = 2000;

std::string NewTable() {
  char pattern[] = "/tmp/zozur-append-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  const std::string path = std::string(pattern) + "/t.dbf";
  TDbf dbf;
  dbf.SetTableName(path);
  dbf.SetTableLevel(4);
  dbf.SetOpenMode(omAutoCreate);
  dbf.FieldDefs().Add("NAME", ftString, 20);
  dbf.FieldDefs().Add("NUM", ftInteger, 0);
  dbf.Open();
  dbf.Close();
  return path;
}

void Append(const std::string& path, int count) {
  TDbfFile table(path);
  table.SetMode(amSharedOpen);
  table.Open();
  std::vector<char> record(table.RecordSize());
  for (int i = 0; i < count; ++i) {
    table.BlankRecord(record.data());
    table.WriteFieldValue(0, ftString, record.data(), "appended");
    table.AppendRecord(record.data());
  }
}

void RemoveTable(const std::string& path) {
  std::remove(path.c_str());
  std::remove(path.substr(0, path.size() - 6).c_str());
}

void AppendInProcesses(benchmark::State& state) {
  const int processes = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    const std::string path = NewTable();
    state.ResumeTiming();
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
      const pid_t pid = fork();
      if (pid == 0) {
        Append(path, kAppendsPerProcess);
        _exit(0);
      }
      children.push_back(pid);
    }
    for (pid_t pid : children) {
      int status = 0;
      waitpid(pid, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("appender failed");
    }
    state.PauseTiming();
    RemoveTable(path);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * processes * kAppendsPerProcess);
}

BENCHMARK(AppendInProcesses)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
