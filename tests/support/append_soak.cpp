#include "tests/support/append_soak.h"

#include <signal.h>

#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "tdbf/dbf.h"
#include "tdbf/dbf_common.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

std::string TSoakFigures::Text() const {
  std::ostringstream out;
  out << "rounds " << rounds << ", kills " << kills << ", posted " << posted << ", lost " << lost
      << ", duplicated " << duplicated << ", torn " << torn << ", holes " << holes
      << ", wrong counts " << wrongCounts << " (count one behind after a kill: " << countBehind
      << ")";
  return out.str();
}

void CreateSoakTable(const std::string& path) {
  TDbf dbf;
  dbf.SetTableName(path);
  dbf.SetTableLevel(4);
  dbf.SetOpenMode(omAutoCreate);
  dbf.FieldDefs().Add("NAME", ftString, 20);
  dbf.Open();
  dbf.Close();
}

bool IsAppenderName(const std::string& text) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 >= text.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (i != dash && (text[i] < '0' || text[i] > '9')) return false;
  return true;
}

void RunSoakRound(const TSoakSettings& settings, int round, TSoakFigures& figures) {
  const std::string path = settings.folder + "/soak" + std::to_string(round) + ".dbf";
  CreateSoakTable(path);
  std::mt19937 random(settings.seed + static_cast<uint32_t>(round));
  std::vector<std::unique_ptr<TChildProcess>> children;
  for (int i = 0; i < settings.appenders; ++i)
    children.push_back(std::make_unique<TChildProcess>(
        settings.helperPath, std::vector<std::string>{path, std::to_string(i + 1),
                                                      std::to_string(settings.appendsEach)}));
  // The moments of the kills are random; what the round leaves is checked
  // whatever they were.
  const int kills = std::uniform_int_distribution<int>(0, settings.maxKills)(random);
  bool killedAny = false;
  for (int k = 0; k < kills; ++k) {
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, 30000)(random)));
    const size_t victim = std::uniform_int_distribution<size_t>(0, children.size() - 1)(random);
    if (kill(children[victim]->Pid(), SIGKILL) == 0) {
      ++figures.kills;
      killedAny = true;
    }
  }
  std::vector<std::vector<int>> posted(children.size());
  for (size_t i = 0; i < children.size(); ++i) {
    std::istringstream lines(children[i]->ReadToEnd());
    for (int seq; lines >> seq;) posted[i].push_back(seq);
    children[i]->Finish();
    figures.posted += static_cast<int64_t>(posted[i].size());
  }

  const std::string bytes = ReadWholeFile(path);
  const size_t headerSize = GetLE16(bytes.data() + 8);
  const size_t recordSize = GetLE16(bytes.data() + 10);
  const uint32_t count = GetLE32(bytes.data() + 4);
  const size_t slots = bytes.size() > headerSize ? (bytes.size() - headerSize) / recordSize : 0;
  std::map<std::string, int> seen;
  for (size_t slot = 0; slot < slots; ++slot) {
    const char* record = bytes.data() + headerSize + slot * recordSize;
    if (record[0] != ' ' && record[0] != '*') {
      ++figures.holes;
      continue;
    }
    std::string name(record + 1, recordSize - 1);
    name.erase(name.find_last_not_of(' ') + 1);
    if (!IsAppenderName(name)) ++figures.torn;
    if (++seen[name] == 2) ++figures.duplicated;
  }
  for (size_t i = 0; i < posted.size(); ++i)
    for (int seq : posted[i])
      if (seen.count(std::to_string(i + 1) + "-" + std::to_string(seq)) == 0) ++figures.lost;
  if (count + 1 == slots && killedAny)
    ++figures.countBehind;
  else if (count != slots)
    ++figures.wrongCounts;
  ++figures.rounds;
  std::remove(path.c_str());
}
