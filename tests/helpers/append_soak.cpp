// The long soak of shared appends (tools/soak): ROUNDS rounds of APPENDERS
// processes appending to one table while some are killed at random, and the
// figures of what the rounds left. Exits non-zero when a record was lost,
// duplicated or torn, a hole was left or a header count was wrong.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/append_soak.h"
#include "tests/support/temp_dir.h"

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 150;
  TSoakSettings settings;
  settings.appenders = argc > 2 ? std::atoi(argv[2]) : 4;
  settings.maxKills = 4;
  TTempDir dir;
  settings.folder = dir.Path();
  settings.helperPath =
      (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "appender_helper").string();
  TSoakFigures figures;
  for (int round = 0; round < rounds; ++round) {
    RunSoakRound(settings, round, figures);
    if ((round + 1) % 10 == 0) std::fprintf(stderr, "%s\n", figures.Text().c_str());
  }
  std::printf("%s\n", figures.Text().c_str());
  return figures.Clean() ? 0 : 1;
}
