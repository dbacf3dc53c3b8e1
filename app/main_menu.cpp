#include "app/main_menu.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>

#include "app/application.h"
#include "app/codepage_box.h"
#include "app/main.h"
#include "app/qt_text.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/file/dbf_dbffile.h"

namespace {

QAction* AddCommand(QMenu* menu, const QString& text, const QKeySequence& keys, const char* name,
                    std::function<void()> command) {
  QAction* action = menu->addAction(text);
  action->setObjectName(QString::fromLatin1(name));
  action->setShortcut(keys);
  // The shortcut works wherever the focus is in the window.
  action->setShortcutContext(Qt::WindowShortcut);
  QObject::connect(action, &QAction::triggered, menu,
                   [command = std::move(command)] { Guarded(command); });
  return action;
}

// The recent tables, refilled each time the menu opens.
void FillRecent(QMenu* menu, TfrMain& window) {
  menu->clear();
  for (const std::string& name : window.RecentTables()) {
    const QString path = QFile::decodeName(QByteArray::fromStdString(name));
    QAction* action = menu->addAction(QFileInfo(path).fileName() + QStringLiteral("  (") +
                                      QFileInfo(path).absolutePath() + QLatin1Char(')'));
    QObject::connect(action, &QAction::triggered, menu,
                     [&window, name] { Guarded([&] { window.OpenTable(name); }); });
  }
  if (menu->isEmpty()) menu->addAction(QStringLiteral("(none)"))->setEnabled(false);
}

// The code pages of the window's code-page box, the one in force checked;
// choosing one reopens the table in it. The order shows what orders the
// records.
void FillTableFacts(QMenu* codePage, QMenu* order, TfrMain& window) {
  codePage->clear();
  order->clear();
  TDbf* table = window.tbMain();
  if (!table->Active() || !table->DbfFile()) {
    codePage->addAction(QStringLiteral("(no table open)"))->setEnabled(false);
    order->addAction(QStringLiteral("(no table open)"))->setEnabled(false);
    return;
  }
  TCodePageBox* box = window.cbCodePage();
  for (int i = 0; i < box->count(); ++i) {
    QAction* page = codePage->addAction(box->itemText(i));
    page->setCheckable(true);
    page->setChecked(i == box->currentIndex());
    const int chosen = box->itemData(i).toInt();
    QObject::connect(page, &QAction::triggered, codePage,
                     [box, chosen] { Guarded([&] { box->Choose(chosen); }); });
  }
  QAction* records = order->addAction(QStringLiteral("Record order"));
  records->setCheckable(true);
  records->setChecked(table->IndexName().empty());
  records->setEnabled(false);
}

}  // namespace

QMenuBar* CreateMainMenu(TfrMain& window) {
  auto* bar = new QMenuBar(&window);
  bar->setObjectName(QStringLiteral("mnMain"));
  // The bar stays in the window on every desktop, where its size is known.
  bar->setNativeMenuBar(false);

  QMenu* file = bar->addMenu(QStringLiteral("&File"));
  AddCommand(file, QStringLiteral("&Open..."), QKeySequence::Open, "acOpen",
             [&window] { window.OpenWithDialog(); });
  QMenu* recent = file->addMenu(QStringLiteral("&Recent tables"));
  recent->setObjectName(QStringLiteral("mnRecent"));
  QObject::connect(recent, &QMenu::aboutToShow, recent,
                   [recent, &window] { FillRecent(recent, window); });
  AddCommand(file, QStringLiteral("&Export..."), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E),
             "acExport", [&window] { window.ExportWithDialog(); });
  AddCommand(file, QStringLiteral("&Close"), QKeySequence(Qt::CTRL | Qt::Key_W), "acClose",
             [&window] { window.CloseTable(); });
  file->addSeparator();
  AddCommand(file, QStringLiteral("&Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q), "acQuit",
             [&window] { window.close(); });

  QMenu* edit = bar->addMenu(QStringLiteral("&Edit"));
  AddCommand(edit, QStringLiteral("&Find..."), QKeySequence::Find, "acFind",
             [&window] { window.OpenFind(); });
  AddCommand(edit, QStringLiteral("Find &next"), QKeySequence(Qt::Key_F3), "acFindNext",
             [&window] { window.FindAgain(true); });
  AddCommand(edit, QStringLiteral("Find pre&vious"), QKeySequence(Qt::SHIFT | Qt::Key_F3),
             "acFindPrevious", [&window] { window.FindAgain(false); });
  AddCommand(edit, QStringLiteral("&Go to record..."), QKeySequence(Qt::CTRL | Qt::Key_G), "acGoTo",
             [&window] { window.GoToRecord(); });
  AddCommand(edit, QStringLiteral("&Copy cells"), QKeySequence::Copy, "acCopy",
             [&window] { window.CopyCell(); });

  QMenu* view = bar->addMenu(QStringLiteral("&View"));
  AddCommand(view, QStringLiteral("&Structure..."), QKeySequence(Qt::CTRL | Qt::Key_I),
             "acStructure", [&window] { window.ShowStructure(); });
  QAction* deleted = view->addAction(QStringLiteral("Show &deleted records"));
  deleted->setObjectName(QStringLiteral("acShowDeleted"));
  deleted->setCheckable(true);
  QObject::connect(deleted, &QAction::toggled, view, [&window, deleted](bool on) {
    if (!Guarded([&] { window.SetShowDeleted(on); })) {
      const QSignalBlocker blocker(deleted);
      deleted->setChecked(!on);
    }
  });
  QMenu* codePage = view->addMenu(QStringLiteral("Code &page"));
  codePage->setObjectName(QStringLiteral("mnCodePage"));
  QMenu* order = view->addMenu(QStringLiteral("&Order"));
  order->setObjectName(QStringLiteral("mnOrder"));
  QObject::connect(view, &QMenu::aboutToShow, view,
                   [codePage, order, &window] { FillTableFacts(codePage, order, window); });

  QMenu* table = bar->addMenu(QStringLiteral("&Table"));
  AddCommand(table, QStringLiteral("&Recall record"), QKeySequence(Qt::CTRL | Qt::Key_R),
             "acRecall", [&window] { window.RecallRecord(); });
  table->addSeparator();
  AddCommand(table, QStringLiteral("&Pack..."), QKeySequence(), "acPack",
             [&window] { window.PackTable(); });
  AddCommand(table, QStringLiteral("Re&generate indexes"), QKeySequence(), "acRegenerate",
             [&window] { window.RegenerateIndexes(); });
  return bar;
}
