#pragma once
// Rounds of several processes appending to one shared table while some of
// them are killed (SIGKILL) at random moments, and the check of what each
// round leaves. The table is read byte by byte, without the engine, so that
// the check does not share the engine's faults. Used by the shared-append
// test (a few rounds) and by the soak program (tools/soak, many rounds).

#include <cstdint>
#include <string>

struct TSoakFigures {
  int64_t rounds = 0;
  int64_t kills = 0;
  int64_t posted = 0;       // appends that returned to their process
  int64_t lost = 0;         // posted, but not in the table
  int64_t duplicated = 0;   // a record that stands more than once
  int64_t torn = 0;         // a record whose text is not one an appender wrote
  int64_t holes = 0;        // a slot whose flag is neither blank nor "*"
  int64_t wrongCounts = 0;  // rounds whose header count is neither the
                            // record count nor, after a kill, one behind it
  int64_t countBehind = 0;  // rounds whose count is one behind after a kill

  bool Clean() const { return lost + duplicated + torn + holes + wrongCounts == 0; }
  std::string Text() const;
};

struct TSoakSettings {
  std::string folder;      // where the round's table is made
  std::string helperPath;  // the appender_helper program
  int appenders = 3;
  int appendsEach = 200;
  int maxKills = 2;  // per round
  uint32_t seed = 1;
};

// Runs one round: a new table, the appenders started at once, up to
// maxKills of them killed at random moments, the rest run to their end;
// then the table is checked and the figures added to figures.
void RunSoakRound(const TSoakSettings& settings, int round, TSoakFigures& figures);

// Creates an empty level-4 table with one text field NAME C(20).
void CreateSoakTable(const std::string& path);

// Whether text is a name an appender writes ("ID-SEQ").
bool IsAppenderName(const std::string& text);
