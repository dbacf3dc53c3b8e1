// Dumping a whole table, as dbfcat prints it, against a plain read of the
// same file, on the generated table of one million records:
//   BM_PlainRead   fread in large blocks, the deletion flag of every record
//                  counted
//   BM_Dbfcat      the dbfcat program with its output going to /dev/null
//   BM_Pgdbf       pgdbf, the same way, when the machine has it
//   BM_Dbview      dbview -b -t, the same way, when the machine has it
//   BM_DbfcatPaired  the plain read and dbfcat timed in turn, each pair
//                  giving a ratio of wall-clock times: on a machine shared
//                  with other work the load changes less within a pair
//                  than between two benchmarks run apart
// Each runs three times; after the run the medians of the wall clock and of
// the processor time are compared with the plain read's (target for
// dbfcat: within 15 times). On a busy machine the processor time is the
// steadier of the two.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "bench/bench_support.h"
#include "bench/generated_table.h"

extern char** environ;

namespace {

// Runs a program with its output thrown away and adds the processor time
// it took (user and system, seconds) to cpuSeconds; false when it cannot be
// run or fails.
bool RunQuietly(const std::vector<std::string>& args, double& cpuSeconds) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  cpuSeconds += seconds(usage.ru_utime) + seconds(usage.ru_stime);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool Installed(const char* program) {
  const std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

void BM_PlainRead(benchmark::State& state) {
  const TGeneratedTable& table = GeneratedTable();
  int64_t live = 0;
  const double cpuStart = ProcessCpuSeconds();
  for (auto _ : state) {
    live = 0;
    if (!ReadRecordsPlainly(table, [&](const char* record) { live += record[0] == ' '; })) {
      state.SkipWithError("cannot read the table");
      break;
    }
    benchmark::DoNotOptimize(live);
  }
  state.counters["live"] = static_cast<double>(live);
  state.counters["cpu_s"] =
      benchmark::Counter(ProcessCpuSeconds() - cpuStart, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->Repetitions(3)->UseRealTime();

void RunProgram(benchmark::State& state, const std::vector<std::string>& args) {
  if (!Installed(args[0].c_str())) {
    state.SkipWithError((args[0] + " is not installed").c_str());
    return;
  }
  double cpuSeconds = 0;
  for (auto _ : state) {
    if (!RunQuietly(args, cpuSeconds)) {
      state.SkipWithError((args[0] + " failed").c_str());
      break;
    }
  }
  // The program's own processor time per run, which the benchmark's clock
  // of this process does not see.
  state.counters["cpu_s"] = benchmark::Counter(cpuSeconds, benchmark::Counter::kAvgIterations);
}

void BM_Dbfcat(benchmark::State& state) {
  RunProgram(state, {ZOZUR_DBFCAT, GeneratedTable().Path()});
}
BENCHMARK(BM_Dbfcat)->Unit(benchmark::kMillisecond)->Repetitions(3)->Iterations(1)->UseRealTime();

void BM_Pgdbf(benchmark::State& state) { RunProgram(state, {"pgdbf", GeneratedTable().Path()}); }
BENCHMARK(BM_Pgdbf)->Unit(benchmark::kMillisecond)->Repetitions(3)->Iterations(1)->UseRealTime();

void BM_Dbview(benchmark::State& state) {
  RunProgram(state, {"dbview", "-b", "-t", GeneratedTable().Path()});
}
BENCHMARK(BM_Dbview)->Unit(benchmark::kMillisecond)->Repetitions(3)->Iterations(1)->UseRealTime();

void BM_DbfcatPaired(benchmark::State& state) {
  const TGeneratedTable& table = GeneratedTable();
  const auto plain = [&table] {
    int64_t live = 0;
    const bool read =
        ReadRecordsPlainly(table, [&live](const char* record) { live += record[0] == ' '; });
    benchmark::DoNotOptimize(live);
    return read;
  };
  double cpuSeconds = 0;
  const auto dbfcat = [&cpuSeconds, &table] {
    return RunQuietly({ZOZUR_DBFCAT, table.Path()}, cpuSeconds);
  };
  TimePairs(state, plain, dbfcat);
  // dbfcat's processor time is its own process's, which the pairs' clock
  // of this thread does not see: only their wall-clock ratio counts.
  state.counters.erase("cpu_ratio");
}
BENCHMARK(BM_DbfcatPaired)->Unit(benchmark::kMillisecond)->Iterations(9)->Repetitions(5);

// The medians of the wall clock (the programs run as processes of their
// own) and of the processor time, against the plain read's.
void PrintRatios(const TMedianReporter& medians) {
  if (const TMedianReporter::TMedian* run = medians.Find("BM_DbfcatPaired"))
    std::printf(
        "BM_DbfcatPaired: dbfcat %.1f times the plain read run beside it (median of the pairs' "
        "wall-clock ratios; target: within 15)\n",
        run->Counter("wall_ratio"));
  const TMedianReporter::TMedian* plain = medians.Find("BM_PlainRead");
  if (plain == nullptr || plain->wall <= 0 || plain->Counter("cpu_s") <= 0) return;
  const double plainCpu = plain->Counter("cpu_s");
  std::printf("\nmedian seconds, wall clock and processor, against BM_PlainRead's %.4f / %.4f:\n",
              plain->wall, plainCpu);
  for (const char* name : {"BM_Dbfcat", "BM_Pgdbf", "BM_Dbview"}) {
    const TMedianReporter::TMedian* run = medians.Find(name);
    if (run == nullptr) continue;
    const double cpu = run->Counter("cpu_s");
    std::printf("%-10s %.4f / %.4f: %.1f / %.1f times the plain read%s\n", name, run->wall, cpu,
                run->wall / plain->wall, cpu / plainCpu,
                std::string(name) == "BM_Dbfcat" ? " (target: within 15)" : "");
  }
}

}  // namespace

int main(int argc, char** argv) { return RunBenchmarks(argc, argv, PrintRatios); }
