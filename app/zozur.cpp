// The program: the browser window with nothing open, or with the table
// named by the one optional argument opened as if chosen in the dialog.

#include <QTimer>
#include <filesystem>

#include "app/application.h"
#include "app/main.h"

int main(int argc, char** argv) {
  TApplication application(argc, argv);
  TfrMain frMain;
  frMain.show();
  if (argc > 1) {
    // A relative name is taken from the folder the program was started in,
    // as a user typing it expects (the table itself resolves relative names
    // against the program's folder).
    std::error_code ec;
    std::filesystem::path path = std::filesystem::absolute(argv[1], ec);
    const std::string table = ec ? std::string(argv[1]) : path.lexically_normal().string();
    // Opened once the loop runs, so a failure's message box stands over
    // the window.
    QTimer::singleShot(0, &frMain, [&frMain, table] { Guarded([&] { frMain.OpenTable(table); }); });
  }
  return application.exec();
}
