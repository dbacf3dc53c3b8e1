// dbfindex: looks after the indexes of a dBase table.
//
//   dbfindex list TABLE [--file NAME.ndx]...
//   dbfindex create TABLE TAG EXPR [--unique|--distinct] [--descending]
//            [--file NAME.ndx]
//   dbfindex delete TABLE NAME
//   dbfindex regenerate TABLE [NAME]
//   dbfindex check TABLE [NAME]
//   dbfindex pack TABLE [NAME.ndx]...
//
// A NAME with an extension is an index file beside the table; without one
// it is a tag of the table's production index (TABLE.mdx). list prints one
// line per index: name, key expression, kind and key count. create adds a
// tag to the production index (made when missing) or, with --file, makes a
// separate index file; the new index holds every record. regenerate builds
// indexes anew from the records; check walks every page and prints one
// line per fault it finds. pack removes the records marked deleted for good
// (the table and its memo file are written anew beside the originals and
// swapped in) and regenerates the production index and the index files
// named. Work on many records shows its progress on a
// terminal. Exit status 0 on success, 1 when the work fails or check finds
// faults, 2 for a bad command line.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/env.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/file/dbf_memo.h"
#include "tdbf/file/dbf_packfile.h"
#include "tdbf/index/dbf_idxfile.h"

namespace {

constexpr const char* kUsage =
    "usage: dbfindex list TABLE [--file NAME.ndx]...\n"
    "       dbfindex create TABLE TAG EXPR [--unique|--distinct] [--descending] [--file NAME.ndx]\n"
    "       dbfindex delete TABLE NAME\n"
    "       dbfindex regenerate TABLE [NAME]\n"
    "       dbfindex check TABLE [NAME]\n"
    "       dbfindex pack TABLE [NAME.ndx]...\n";

// Shows records done out of the total on a terminal, nothing otherwise.
class TProgress {
 public:
  explicit TProgress(std::string what) : what_(std::move(what)), shown_(isatty(2) != 0) {}
  ~TProgress() {
    if (shown_ && drawn_) std::fputc('\n', stderr);
  }
  TIndexProgress Callback() {
    if (!shown_) return {};
    return [this](int32_t done, int32_t total) {
      std::fprintf(stderr, "\r%s: %d of %d records", what_.c_str(), done, total);
      std::fflush(stderr);
      drawn_ = true;
    };
  }

 private:
  std::string what_;
  bool shown_;
  bool drawn_ = false;
};

std::string Absolute(const std::string& name) {
  const std::string current = platform::TEnv::Default()->CurrentFolder();
  return platform::ExpandPath(name, current);
}

// An index file name: beside the table unless it has a folder.
std::string IndexPath(const std::string& table, const std::string& name) {
  if (name.find('/') != std::string::npos) return Absolute(name);
  const size_t slash = table.rfind('/');
  std::string path = slash == std::string::npos ? name : table.substr(0, slash + 1) + name;
  if (!platform::TEnv::Default()->FileExists(path)) {
    const std::string found = platform::TEnv::Default()->FindFileIgnoringCase(path);
    if (!found.empty()) path = found;
  }
  return path;
}

bool IsFile(const std::string& name) { return !ExtractFileExt(name).empty(); }

const char* KindOf(TIndexFile& index) {
  switch (index.UniqueMode()) {
    case iuDistinct:
      return index.Descending() ? "distinct descending" : "distinct";
    case iuUnique:
      return index.Descending() ? "unique descending" : "unique";
    default:
      return index.Descending() ? "descending" : "normal";
  }
}

int32_t KeyCount(TIndexFile& index) {
  int32_t count = 0;
  index.GotoFirst();
  while (index.GotoNext()) ++count;
  return count;
}

void ListIndex(TIndexFile& index, const std::string& name) {
  std::printf("%s\t%s\t%c %s\t%d keys\n", name.c_str(), index.Expression().c_str(), index.KeyType(),
              KindOf(index), KeyCount(index));
}

// The indexes a command works on: every index named, or all there are.
std::vector<std::pair<std::string, TIndexFile*>> Targets(TDbfFile& table, const std::string& table_,
                                                         const std::string& name) {
  std::vector<std::pair<std::string, TIndexFile*>> targets;
  if (!name.empty()) {
    TIndexFile* file = IsFile(name) ? table.OpenIndex(IndexPath(table_, name), "", false, 0)
                                    : table.IndexFileOf(name);
    if (file == nullptr) throw EDbfError(Format("Index \"%s\" does not exist.", name.c_str()));
    targets.emplace_back(name, file);
    return targets;
  }
  for (const std::string& tag : table.IndexNameList())
    targets.emplace_back(tag, table.IndexFileOf(tag));
  return targets;
}

int Run(const std::vector<std::string>& args) {
  if (args.size() < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string& command = args[0];
  const std::string table = Absolute(args[1]);
  const bool changes =
      command == "create" || command == "delete" || command == "regenerate" || command == "pack";
  if (!changes && command != "list" && command != "check") {
    std::fprintf(stderr, "dbfindex: unknown command %s\n%s", command.c_str(), kUsage);
    return 2;
  }
  // Only pack reads the memo file: the other commands work on tables whose
  // memo file is missing too.
  if (command == "pack") InstallMemoFiles();
  TDbfFile file(table);
  file.SetMode(changes ? amExclusiveOpen : amReadOnly);
  file.Open();
  if (!file.IndexOpenError().empty() && command != "regenerate") {
    std::fprintf(stderr, "dbfindex: %s\n", file.IndexOpenError().c_str());
    return 1;
  }

  if (command == "pack") {
    {
      TProgress progress("pack");
      const TPackResult result = PackTableFile(file, progress.Callback());
      std::printf("%d records kept, %d removed\n", result.kept, result.removed);
    }
    // The indexes list the old record numbers: they are built anew on the
    // packed table.
    file.Close();
    file.Open();
    if (file.ProductionIndex() != nullptr) {
      TProgress progress("regenerate");
      file.RegenerateIndex(file.ProductionIndex(), "", progress.Callback());
    }
    for (size_t i = 2; i < args.size(); ++i) {
      TProgress progress("regenerate " + args[i]);
      TIndexFile* index = file.OpenIndex(IndexPath(table, args[i]), "", false, 0);
      if (index == nullptr)
        throw EDbfError(Format("Index \"%s\" does not exist.", args[i].c_str()));
      file.RegenerateIndex(index, "", progress.Callback());
    }
    file.Close();
    return 0;
  }
  if (command == "list") {
    std::vector<std::string> files;
    for (size_t i = 2; i < args.size(); ++i) {
      if (args[i] != "--file" || i + 1 == args.size()) {
        std::fputs(kUsage, stderr);
        return 2;
      }
      files.push_back(args[++i]);
    }
    for (const auto& [name, index] : Targets(file, table, "")) {
      index->SelectIndex(name);
      ListIndex(*index, name);
    }
    for (const std::string& name : files) {
      TIndexFile* index = file.OpenIndex(IndexPath(table, name), "", false, 0);
      if (index == nullptr) throw EDbfError(Format("Index \"%s\" does not exist.", name.c_str()));
      ListIndex(*index, name);
    }
    return 0;
  }
  if (command == "create") {
    if (args.size() < 4) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    std::string name = args[2];
    const std::string& expression = args[3];
    TIndexOptions options = 0;
    for (size_t i = 4; i < args.size(); ++i) {
      if (args[i] == "--unique") {
        options |= IndexOpt(ixUnique);
      } else if (args[i] == "--distinct") {
        options |= IndexOpt(ixPrimary);
      } else if (args[i] == "--descending") {
        options |= IndexOpt(ixDescending);
      } else if (args[i] == "--file" && i + 1 < args.size()) {
        name = IndexPath(table, args[++i]);
      } else {
        std::fprintf(stderr, "dbfindex: unknown option %s\n%s", args[i].c_str(), kUsage);
        return 2;
      }
    }
    if (!IsFile(name) && file.IndexFileOf(name) != nullptr) {
      std::fprintf(stderr, "dbfindex: %s: the index %s exists already\n", args[1].c_str(),
                   name.c_str());
      return 1;
    }
    TProgress progress("create " + args[2]);
    file.OpenIndex(name, expression, true, options, progress.Callback());
    file.Close();
    return 0;
  }
  const std::string name = args.size() > 2 ? args[2] : std::string();
  if (command == "delete") {
    if (name.empty()) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    const std::string target = IsFile(name) ? IndexPath(table, name) : name;
    if (IsFile(name)) file.OpenIndex(target, "", false, 0);
    if (file.IndexFileOf(target) == nullptr)
      throw EDbfError(Format("Index \"%s\" does not exist.", name.c_str()));
    file.DeleteIndex(target);
    file.Close();
    return 0;
  }
  if (command == "regenerate") {
    if (!file.IndexOpenError().empty() && (name.empty() || !IsFile(name))) {
      std::fprintf(stderr, "dbfindex: %s\n", file.IndexOpenError().c_str());
      return 1;
    }
    if (name.empty() && file.ProductionIndex() != nullptr) {
      TProgress progress("regenerate");
      file.RegenerateIndex(file.ProductionIndex(), "", progress.Callback());
    }
    for (const auto& [target, index] : Targets(file, table, name)) {
      if (name.empty() && index == file.ProductionIndex()) continue;
      TProgress progress("regenerate " + target);
      file.RegenerateIndex(index, index->IsMultiIndex() ? target : std::string(),
                           progress.Callback());
    }
    file.Close();
    return 0;
  }
  // check
  int faults = 0;
  for (const auto& [target, index] : Targets(file, table, name)) {
    index->SelectIndex(target);
    TProgress progress("check " + target);
    for (const std::string& fault : index->Check(progress.Callback())) {
      std::printf("%s: %s\n", target.c_str(), fault.c_str());
      ++faults;
    }
  }
  return faults == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  try {
    const int status = Run(args);
    if (std::fflush(stdout) != 0) return 1;
    return status;
  } catch (const Exception& e) {
    std::fprintf(stderr, "dbfindex: %s\n", e.Message().c_str());
    return 1;
  }
}
