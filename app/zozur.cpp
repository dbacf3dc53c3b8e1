// The program: the browser window with nothing open, or with the table
// named by the one optional argument opened as if chosen in the dialog.

#include <QTimer>

#include "app/application.h"
#include "app/main.h"
#include "platform/env.h"
#include "runtime/sysutils.h"

int main(int argc, char** argv) {
  TApplication application(argc, argv);
  // Dates and numbers are shown and read in the user's locale.
  FormatSettings() = UserFormatSettings();
  TfrMain frMain;
  frMain.show();
  if (argc > 1) {
    // A relative name is taken from the folder the program was started in,
    // as a user typing it expects (the table itself resolves relative names
    // against the program's folder).
    const std::string table =
        platform::ExpandPath(argv[1], platform::TEnv::Default()->CurrentFolder());
    // Opened once the loop runs, so a failure's message box stands over
    // the window.
    QTimer::singleShot(0, &frMain, [&frMain, table] { Guarded([&] { frMain.OpenTable(table); }); });
  }
  return application.exec();
}
