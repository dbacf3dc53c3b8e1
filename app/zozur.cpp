// The program: the browser window with nothing open, or with the table
// named by the one optional argument opened as if chosen in the dialog.

#include <QTimer>

#include "app/application.h"
#include "app/main.h"

int main(int argc, char** argv) {
  TApplication application(argc, argv);
  TfrMain frMain;
  frMain.show();
  if (argc > 1) {
    const std::string table = argv[1];
    // Opened once the loop runs, so a failure's message box stands over
    // the window.
    QTimer::singleShot(0, &frMain, [&frMain, table] { Guarded([&] { frMain.OpenTable(table); }); });
  }
  return application.exec();
}
