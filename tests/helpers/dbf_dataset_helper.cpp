// A second process for the table-dataset and memo tests. It obeys one
// command per input line and answers each with one line ("ok", a value, or
// "error <message>"):
//   open PATH shared|exclusive|readonly   open the table in a TDbf
//   close
//   goto N                 make physical record N current (SetRecordNumber)
//   edit | post | cancel | delete | refresh
//   set FIELD TEXT         set a field's text (TEXT may hold spaces)
//   get FIELD              the current record's text of a field
//   append FIELD=TEXT ...  AppendNew, set the fields, Post -> ok N (the
//                          new record's number)
//   appendmany N           N appends of blank records
//   appendnamed N P        N appends with NAME = P followed by the number
//   count                  RecordCount
//   last                   Last -> the current record's number
//   memo PATH              open a dBase IV memo file shared
//   memoappend N C         append N values of 600 bytes of the letter C
// End of input ends the program.

#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "recordset/fields.h"
#include "runtime/classes.h"
#include "runtime/exceptions.h"
#include "tdbf/dbf.h"
#include "tdbf/dbf_memo.h"

namespace {

std::string Rest(std::istringstream& in) {
  std::string rest;
  std::getline(in >> std::ws, rest);
  return rest;
}

std::string Run(TDbf& dbf, std::unique_ptr<TMemoFile>& memo, const std::string& command,
                std::istringstream& in) {
  if (command == "open") {
    std::string path, mode;
    in >> path >> mode;
    dbf.SetExclusive(mode == "exclusive");
    dbf.SetReadOnly(mode == "readonly");
    dbf.SetTableName(path);
    dbf.Open();
  } else if (command == "close") {
    dbf.Close();
  } else if (command == "goto") {
    int recNo = 0;
    in >> recNo;
    dbf.SetRecordNumber(recNo);
  } else if (command == "edit") {
    dbf.Edit();
  } else if (command == "post") {
    dbf.Post();
  } else if (command == "cancel") {
    dbf.Cancel();
  } else if (command == "delete") {
    dbf.Delete();
  } else if (command == "refresh") {
    dbf.Refresh();
  } else if (command == "set") {
    std::string field;
    in >> field;
    dbf.FieldNamed(field)->SetValueAsString(Rest(in));
  } else if (command == "get") {
    std::string field;
    in >> field;
    return dbf.FieldNamed(field)->ValueAsString();
  } else if (command == "append") {
    dbf.AppendNew();
    std::string assignment;
    while (in >> assignment) {
      const size_t eq = assignment.find('=');
      dbf.FieldNamed(assignment.substr(0, eq))->SetValueAsString(assignment.substr(eq + 1));
    }
    dbf.Post();
    return "ok " + std::to_string(dbf.RecordNumber());
  } else if (command == "appendmany") {
    int count = 0;
    in >> count;
    for (int i = 0; i < count; ++i) {
      dbf.AppendNew();
      dbf.Post();
    }
  } else if (command == "appendnamed") {
    int count = 0;
    std::string prefix;
    in >> count >> prefix;
    for (int i = 0; i < count; ++i) {
      dbf.AppendNew();
      dbf.FieldNamed("NAME")->SetValueAsString(prefix + std::to_string(i));
      dbf.Post();
    }
  } else if (command == "count") {
    return std::to_string(dbf.RecordCount());
  } else if (command == "last") {
    dbf.Last();
    return std::to_string(dbf.RecordNumber());
  } else if (command == "memo") {
    std::string path;
    in >> path;
    memo = NewMemoFile(path, tfDBase4);
    memo->SetMode(amSharedOpen);
    memo->Open();
  } else if (command == "memoappend") {
    int count = 0;
    char letter = 'x';
    in >> count >> letter;
    for (int i = 0; i < count; ++i) {
      TMemoryStream stream;
      const std::string value(600, letter);
      stream.WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
      int32_t blockNo = 0;
      memo->WriteMemo(blockNo, 0, stream);
    }
  } else {
    return "error unknown command " + command;
  }
  return "ok";
}

}  // namespace

int main() {
  TDbf dbf;
  std::unique_ptr<TMemoFile> memo;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::string reply;
    try {
      reply = Run(dbf, memo, command, in);
    } catch (const Exception& e) {
      reply = "error " + e.Message();
    }
    std::cout << reply << std::endl;
  }
  return 0;
}
