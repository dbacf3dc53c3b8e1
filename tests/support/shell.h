#pragma once
// Shell commands for tests: the standard output of a command, for tests
// that read files back through other programs (python3, sqlite3, perl), a
// run of one of the project's command-line tools with its exit status and
// both output streams, and an index as Perl's XBase::Index reads it.

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

inline std::string ShellOutput(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  pclose(pipe);
  return out;
}

struct TToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the built tool (dbfcat, dbfindex, ...) with the arguments, each
// quoted for the shell, after an optional environment prefix.
inline TToolRun RunTool(const std::string& tool, const std::vector<std::string>& args,
                        const std::string& env = "") {
  TTempDir dir;
  std::string command = env + " '" + std::string(ZOZUR_HELPER_DIR) + "/../" + tool + "'";
  for (const std::string& arg : args) command += " '" + arg + "'";
  command += " 2>'" + dir.File("err") + "'";
  TToolRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) run.out.append(chunk, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.err = ReadWholeFile(dir.File("err"));
  return run;
}

// The entries of an index in its order as Perl's XBase::Index walks it, an
// independent reader: one "key<TAB>record number" line each (keys may hold
// zero bytes), or the reader's error. tag names a tag of a multi-index
// file; empty for a single-index file.
inline std::vector<std::string> PerlIndexEntries(const std::string& file, const std::string& tag) {
  TTempDir dir;
  WriteWholeFile(dir.File("dump.pl"),
                 "use XBase::Index;\n"
                 "my ($file, $tag) = @ARGV;\n"
                 "my $idx = $tag ne '' ? XBase::Index->new($file, 'tag' => $tag)"
                 " : XBase::Index->new($file);\n"
                 "die XBase::Index->errstr unless $idx;\n"
                 "$idx->prepare_select;\n"
                 "while (my ($key, $val) = $idx->fetch) { print \"$key\\t$val\\n\"; }\n");
  const std::string out =
      ShellOutput("perl '" + dir.File("dump.pl") + "' '" + file + "' '" + tag + "' 2>&1");
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(out.substr(start, end - start));
  return lines;
}
