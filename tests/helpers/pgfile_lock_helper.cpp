// A second process for the paged-file tests. It opens the file named by its
// argument as a TPagedFile and obeys one command per input line, answering
// each with one line:
//   geometry H R       header size H, record size R           -> ok
//   open shared|exclusive|readonly                           -> ok | error <message>
//   close                                                    -> ok
//   lock N 0|1         lock page N without or with waiting    -> granted | refused
//   unlock N                                                 -> ok
//   write N TEXT       write page N: TEXT padded with blanks  -> ok
//   pages N            set the page count                     -> ok
//   count              the page count                         -> <number>
// End of input ends the program.

#include <iostream>
#include <sstream>
#include <string>

#include "runtime/exceptions.h"
#include "tdbf/file/dbf_pgfile.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: pgfile_lock_helper FILE\n";
    return 2;
  }
  TPagedFile file(argv[1]);
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::string reply = "ok";
    try {
      if (command == "geometry") {
        int headerSize = 0;
        int recordSize = 0;
        in >> headerSize >> recordSize;
        file.SetRecordSize(recordSize);
        file.SetHeaderSize(headerSize);
      } else if (command == "open") {
        std::string mode;
        in >> mode;
        file.SetMode(mode == "exclusive"  ? amExclusiveOpen
                     : mode == "readonly" ? amReadOnly
                                          : amSharedOpen);
        file.OpenFile();
        file.ReadHeader();
      } else if (command == "close") {
        file.CloseFile();
      } else if (command == "lock") {
        int page = 0;
        int wait = 0;
        in >> page >> wait;
        reply = file.LockPage(page, wait != 0) ? "granted" : "refused";
      } else if (command == "unlock") {
        int page = 0;
        in >> page;
        file.UnlockPage(page);
      } else if (command == "write") {
        int page = 0;
        std::string text;
        in >> page >> text;
        text.resize(static_cast<size_t>(file.RecordSize()), ' ');
        file.WritePage(page, text.data());
      } else if (command == "pages") {
        int count = 0;
        in >> count;
        file.SetPageCount(count);
      } else if (command == "count") {
        reply = std::to_string(file.PageCount());
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
