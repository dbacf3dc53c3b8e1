// An appender for the shared-append tests: opens TABLE in shared mode and
// appends COUNT records whose first field is "ID-SEQ" (SEQ from 1), writing
// SEQ on a line of its own once each append has returned, so that the test
// knows which appends were posted when it kills the process.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/exceptions.h"
#include "tdbf/dbf_dbffile.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: appender_helper TABLE ID COUNT\n");
    return 2;
  }
  try {
    TDbfFile table(argv[1]);
    table.SetMode(amSharedOpen);
    table.Open();
    std::vector<char> record(table.RecordSize());
    const int count = std::atoi(argv[3]);
    for (int seq = 1; seq <= count; ++seq) {
      const std::string name = std::string(argv[2]) + "-" + std::to_string(seq);
      table.BlankRecord(record.data());
      table.WriteFieldValue(0, ftString, record.data(), name.c_str());
      table.AppendRecord(record.data());
      std::printf("%d\n", seq);
      std::fflush(stdout);
    }
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s\n", e.Message().c_str());
    return 1;
  }
  return 0;
}
