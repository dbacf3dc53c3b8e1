// A second process for the table-file tests. It opens the table named by its
// argument in shared mode, through two handles: the working one, and one
// that only holds locks so that the working handle of the same process is
// held up by them as another process would be. One command per input line,
// one reply line each:
//   append TEXT             append a record, first field TEXT   -> record number
//   appendai                append a blank record               -> record number and
//                                                                  autoincrement value
//   holdheader              lock the header on the lock handle  -> ok
//   releaseandappend TEXT   release it, then append TEXT        -> record number
//   probe N                 is record N locked by anyone else?  -> held | free
//   lock N                  lock record N for editing           -> locked | error MESSAGE
//   unlock N                                                    -> ok
//   count                   records in the file                 -> number
// End of input closes the table and ends the program.

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/exceptions.h"
#include "tdbf/file/dbf_dbffile.h"

namespace {

std::string Append(TDbfFile& table, const std::string& text) {
  std::vector<char> record(table.RecordSize());
  table.BlankRecord(record.data());
  table.WriteFieldValue(0, ftString, record.data(), text.c_str());
  return std::to_string(table.AppendRecord(record.data()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: dbffile_helper TABLE\n";
    return 2;
  }
  TDbfFile table(argv[1]);
  TDbfFile locks(argv[1]);
  try {
    table.SetMode(amSharedOpen);
    table.Open();
    locks.SetMode(amSharedOpen);
    locks.Open();
  } catch (const Exception& e) {
    std::cerr << e.Message() << "\n";
    return 1;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::string reply = "ok";
    try {
      if (command == "append") {
        std::string text;
        in >> text;
        reply = Append(table, text);
      } else if (command == "appendai") {
        std::vector<char> record(table.RecordSize());
        table.BlankRecord(record.data());
        int32_t recNo = table.AppendRecord(record.data());
        int32_t value = -1;
        for (int i = 0; i < table.FieldDefs().Count(); ++i)
          if (table.FieldDefs()[i].NativeFieldType() == '+')
            table.ReadFieldValue(i, ftAutoInc, &value, record.data());
        reply = std::to_string(recNo) + " " + std::to_string(value);
      } else if (command == "holdheader") {
        locks.LockPage(0, true);
      } else if (command == "releaseandappend") {
        std::string text;
        in >> text;
        locks.UnlockPage(0);
        reply = Append(table, text);
      } else if (command == "probe") {
        int recNo = 0;
        in >> recNo;
        reply = "held";
        if (locks.LockPage(recNo, false)) {
          locks.UnlockPage(recNo);
          reply = "free";
        }
      } else if (command == "lock") {
        int recNo = 0;
        in >> recNo;
        std::vector<char> record(table.RecordSize());
        table.LockRecordForEdit(recNo, record.data());
        reply = "locked";
      } else if (command == "unlock") {
        int recNo = 0;
        in >> recNo;
        table.UnlockPage(recNo);
      } else if (command == "count") {
        reply = std::to_string(table.PageCount());
      } else {
        reply = "error unknown command";
      }
    } catch (const Exception& e) {
      reply = "error " + e.Message();
    }
    std::cout << reply << std::endl;
  }
  return 0;
}
