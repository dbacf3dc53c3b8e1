#pragma once
// What the benchmarks share to report: TMedianReporter shows the runs as the
// console does and keeps each benchmark's medians, so that ratios of
// figures measured side by side in one run can be printed at the end; and
// the memory figures of this process.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

class TMedianReporter : public benchmark::ConsoleReporter {
 public:
  // Seconds of wall clock and of this process's processor time, and the
  // counters, of the median run.
  struct TMedian {
    double wall = 0;
    double cpu = 0;
    std::map<std::string, double> counters;
    double Counter(const std::string& name) const {
      const auto it = counters.find(name);
      return it == counters.end() ? 0 : it->second;
    }
  };
  using TSummary = std::function<void(const TMedianReporter&)>;

  explicit TMedianReporter(TSummary summary) : summary_(std::move(summary)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median" || run.error_occurred)
        continue;
      const double perSecond = benchmark::GetTimeUnitMultiplier(run.time_unit);
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      TMedian& median = medians_[name];
      median.wall = run.GetAdjustedRealTime() / perSecond;
      median.cpu = run.GetAdjustedCPUTime() / perSecond;
      for (const auto& [counter, value] : run.counters) median.counters[counter] = value.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (summary_) summary_(*this);
  }

  // The medians of a benchmark by its name ("BM_Name" or "BM_Name/arg");
  // null when it did not run or failed.
  const TMedian* Find(const std::string& name) const {
    const auto it = medians_.find(name);
    return it == medians_.end() ? nullptr : &it->second;
  }

 private:
  TSummary summary_;
  std::map<std::string, TMedian> medians_;
};

// Runs the benchmarks the command line selects and then the summary.
inline int RunBenchmarks(int argc, char** argv, TMedianReporter::TSummary summary) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TMedianReporter reporter(std::move(summary));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

// Kilobytes of a line of /proc/self/status ("VmHWM:", "RssAnon:", ...).
inline long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  return -1;
}
