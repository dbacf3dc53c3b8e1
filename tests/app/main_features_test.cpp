// What the window adds around its controls, driven through the real
// window: the status bar and title, the menu bar's commands and shortcuts,
// and tables dropped onto the window.

#include <QClipboard>
#include <QInputDialog>
#include <QMimeData>
#include <QUrl>
#include <filesystem>

#include "app/codepage_box.h"
#include "app/expression_filter.h"
#include "app/find_dialog.h"
#include "tests/app/main_fixture.h"
#include "tests/support/shell.h"

namespace {

TEST(TStatusBarTextTest, NumbersAreGroupedByThousands) {
  EXPECT_EQ(GroupedNumber(0), "0");
  EXPECT_EQ(GroupedNumber(999), "999");
  EXPECT_EQ(GroupedNumber(1204), "1,204");
  EXPECT_EQ(GroupedNumber(1000000), "1,000,000");
  EXPECT_EQ(GroupedNumber(-12345), "-12,345");
}

TEST_F(TfrMainTest, TheStatusBarAndTitleFollowTheTable) {
  TStatusBar* bar = window_.sbMain();
  EXPECT_EQ(window_.windowTitle(), "zozur");
  EXPECT_EQ(bar->Position()->text(), "");
  Choose(dir_.File("people.dbf"));
  EXPECT_EQ(window_.windowTitle(), "people.dbf - zozur");
  EXPECT_EQ(bar->Position()->text(), "1 of 5");
  // Version 3 with a language driver reads as dBase IV.
  EXPECT_EQ(bar->Kind()->text(), "dBase IV (0x03)");
  EXPECT_EQ(bar->CodePage()->text(), "cp1252");
  EXPECT_EQ(bar->Order()->text(), "record order");
  EXPECT_EQ(bar->ReadOnlyState()->text(), "");
  EXPECT_EQ(bar->FilterState()->text(), "");
  QTest::keyClick(window_.grMain(), Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(bar->Position()->text(), "5 of 5");

  ClickMark(0);
  Filter("Jones");
  EXPECT_EQ(bar->FilterState()->text(), "filtered: NAME='Jones'");
  EXPECT_EQ(bar->Position()->text(), "3 of 5");
  QTest::mouseClick(window_.btClear(), Qt::LeftButton);
  EXPECT_EQ(bar->FilterState()->text(), "");

  window_.tbMain()->SetReadOnly(true);
  Choose(dir_.File("abc.dbf"));
  EXPECT_EQ(window_.windowTitle(), "abc.dbf - zozur");
  EXPECT_EQ(bar->ReadOnlyState()->text(), "read-only: opened read-only");
  window_.CloseTable();
  EXPECT_EQ(window_.windowTitle(), "zozur");
  EXPECT_EQ(bar->Kind()->text(), "");
  EXPECT_EQ(window_.flName()->Text(), "");
}

// Real tables from other programs: the kind and version byte, the code
// page and where it came from, why a table is read-only, and the notices
// of the open.
TEST_F(TfrMainTest, TheStatusBarTellsWhatTheEngineFound) {
  TStatusBar* bar = window_.sbMain();
  OpenReal("infused-dbf/dbase_f5.dbf");
  EXPECT_EQ(bar->Kind()->text(), "FoxPro (0xF5)");
  EXPECT_EQ(bar->ReadOnlyState()->text(), "");
  EXPECT_EQ(bar->Notice()->text(), "");
  OpenReal("javadbf/fixtures/dbase_7.dbf");
  EXPECT_EQ(bar->Kind()->text(), "dBase VII (0x8C)");

  OpenReal("infused-dbf/dbase_83_missing_memo.dbf");
  EXPECT_EQ(bar->Kind()->text(), "dBase III (0x83)");
  EXPECT_EQ(bar->ReadOnlyState()->toolTip().toStdString(),
            "read-only: memo file not found: \"" + dir_.File("dbase_83_missing_memo.dbt") + "\"");
  EXPECT_EQ(bar->Notice()->toolTip().toStdString(), window_.tbMain()->OpenWarnings().at(0));
  EXPECT_NE(bar->Notice()->toolTip().indexOf("the table is open read-only"), -1);
  OpenReal("pyshp/corrupt_too_long.dbf");
  EXPECT_EQ(bar->ReadOnlyState()->text(), "");
  ASSERT_EQ(window_.tbMain()->OpenWarnings().size(), 1u);
  EXPECT_EQ(bar->Notice()->toolTip().toStdString(), window_.tbMain()->OpenWarnings()[0]);

  // The language driver decides, then a .cpg file beside the table, then
  // the user's choice in the code-page box.
  OpenReal("dbase-rs/cp936.dbf");
  EXPECT_EQ(bar->CodePage()->text(), "cp936");
  EXPECT_EQ(bar->CodePage()->toolTip(), "Code page from the table's language driver");
  WriteWholeFile(dir_.File("people.cpg"), "UTF-8\n");
  window_.OpenTable(dir_.File("people.dbf"));
  EXPECT_EQ(bar->CodePage()->text(), "UTF-8");
  EXPECT_EQ(bar->CodePage()->toolTip(), "Code page from the .cpg file");
  window_.cbCodePage()->Choose(866);
  EXPECT_EQ(bar->CodePage()->text(), "cp866");
  EXPECT_EQ(bar->CodePage()->toolTip(), "Code page from the user's choice");
  // View > Code page offers the same choice, the one in force checked.
  QMenu* view = window_.mnMain()->actions().at(2)->menu();
  emit view->aboutToShow();
  QMenu* codePages = window_.findChild<QMenu*>(QStringLiteral("mnCodePage"));
  ASSERT_NE(codePages, nullptr);
  const QList<QAction*> pages = codePages->actions();
  ASSERT_GT(pages.size(), 1);
  EXPECT_EQ(pages[0]->text(), "Table's own");
  auto checked =
      std::find_if(pages.begin(), pages.end(), [](QAction* a) { return a->isChecked(); });
  ASSERT_NE(checked, pages.end());
  EXPECT_EQ((*checked)->text(), "866 DOS Cyrillic");
  pages[0]->trigger();
  EXPECT_EQ(bar->CodePage()->text(), "UTF-8");
}

TEST_F(TfrMainTest, MenuCommandsAndTheirShortcuts) {
  EXPECT_EQ(window_.mnMain()->actions().size(), 4);
  Choose(dir_.File("abc.dbf"));
  Choose(dir_.File("people.dbf"));
  EXPECT_EQ(window_.RecentTables(),
            (std::vector<std::string>{dir_.File("people.dbf"), dir_.File("abc.dbf")}));
  // File > Recent tables opens the one chosen.
  auto* recent = window_.findChild<QMenu*>(QStringLiteral("mnRecent"));
  ASSERT_NE(recent, nullptr);
  emit recent->aboutToShow();
  ASSERT_EQ(recent->actions().size(), 2);
  recent->actions().at(1)->trigger();
  EXPECT_EQ(ListItems(), "A,B,C");
  emit recent->aboutToShow();
  recent->actions().at(1)->trigger();
  EXPECT_EQ(ListItems(), "NAME,PRICE,BORN,ACTIVE,QTY");
  window_.grMain()->setFocus();

  // Ctrl+G asks for the record number.
  {
    TModalAnswer answer([](QWidget* dialog) {
      auto* input = qobject_cast<QInputDialog*>(dialog);
      ASSERT_NE(input, nullptr);
      input->setIntValue(4);
      input->accept();
    });
    QTest::keyClick(window_.grMain(), Qt::Key_G, Qt::ControlModifier);
    EXPECT_EQ(answer.Count(), 1);
  }
  Reactivate();
  EXPECT_EQ(CurrentName(), "O'Brien");
  window_.grMain()->setFocus();
  QTest::keyClick(window_.grMain(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), "O'Brien");

  // Ctrl+F opens the find dialog.
  QTest::keyClick(window_.grMain(), Qt::Key_F, Qt::ControlModifier);
  ASSERT_NE(window_.dlgFind(), nullptr);
  EXPECT_TRUE(window_.dlgFind()->isVisible());
  window_.dlgFind()->hide();
  window_.activateWindow();
  QTRY_VERIFY(QApplication::activeWindow() == &window_);

  // Ctrl+Shift+E asks where to export; Ctrl+E stays the expression filter's.
  {
    TModalAnswer answer([](QWidget* dialog) { dialog->close(); },
                        [](QWidget* dialog) { return qobject_cast<QFileDialog*>(dialog); });
    QTest::keyClick(window_.grMain(), Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(answer.Count(), 1);
  }
  Reactivate();
  EXPECT_FALSE(window_.frExpression()->isVisible());
  QTest::keyClick(window_.grMain(), Qt::Key_E, Qt::ControlModifier);
  EXPECT_TRUE(window_.frExpression()->isVisible());
  window_.frExpression()->hide();

  // Show deleted records: a deleted record comes and goes with the switch.
  window_.tbMain()->SetRecordNumber(2);
  window_.tbMain()->Delete();
  EXPECT_EQ(Names().size(), 4u);
  auto* showDeleted = window_.findChild<QAction*>(QStringLiteral("acShowDeleted"));
  ASSERT_NE(showDeleted, nullptr);
  showDeleted->trigger();
  EXPECT_EQ(Names().size(), 5u);
  // The deleted record shows struck through; Ctrl+R recalls it, on disk.
  EXPECT_FALSE(window_.grMain()->RowMarked(0));
  EXPECT_TRUE(window_.grMain()->RowMarked(1));
  window_.tbMain()->SetRecordNumber(2);
  QTest::keyClick(window_.grMain(), Qt::Key_R, Qt::ControlModifier);
  EXPECT_FALSE(window_.grMain()->RowMarked(1));
  EXPECT_EQ(ReadWholeFile(dir_.File("people.dbf"))[193 + 31], ' ');
  window_.tbMain()->SetRecordNumber(3);
  window_.tbMain()->Delete();
  showDeleted->trigger();
  EXPECT_EQ(Names().size(), 4u);
  // A record that is not deleted stays as it is.
  window_.tbMain()->First();
  QTest::keyClick(window_.grMain(), Qt::Key_R, Qt::ControlModifier);
  EXPECT_EQ(Names().size(), 4u);
  EXPECT_EQ(ReadWholeFile(dir_.File("people.dbf"))[193], ' ');

  // Ctrl+W closes the table; Ctrl+Q the window.
  QTest::keyClick(window_.grMain(), Qt::Key_W, Qt::ControlModifier);
  EXPECT_FALSE(window_.tbMain()->Active());
  QTest::keyClick(&window_, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_FALSE(window_.isVisible());
}

TEST_F(TfrMainTest, ExportWritesTheRecordsInView) {
  Choose(dir_.File("people.dbf"));
  ClickMark(1);
  Filter("12.5");
  window_.tbMain()->Last();
  const std::string csv = dir_.File("out.csv");
  window_.ExportTo(csv);
  // The user stays on the record they were on.
  EXPECT_EQ(CurrentName(), "Jones");
  EXPECT_EQ(ShellOutput("python3 -c \"import csv,sys; [print('|'.join(r)) for r in "
                        "csv.reader(open(sys.argv[1], newline='', encoding='utf-8'))]\" '" +
                        csv + "'"),
            "NAME|PRICE|BORN|ACTIVE|QTY\nSmith|12.5|1980-01-15|true|1\n"
            "Jones|12.5|1980-01-15|true|3\n");

  QTest::mouseClick(window_.btClear(), Qt::LeftButton);
  const std::string db = dir_.File("out.db");
  window_.ExportTo(db);
  EXPECT_EQ(ShellOutput("sqlite3 '" + db + "' \"SELECT NAME, typeof(PRICE), BORN FROM records\""),
            "Smith|real|1980-01-15\nSmythe|real|1990-02-20\nJones|real|1980-01-15\n"
            "O'Brien|real|2000-01-01\nsmith|real|\n");
  window_.ExportTo(dir_.File("out.jsonl"));
  EXPECT_EQ(ReadWholeFile(dir_.File("out.jsonl")).substr(0, 80),
            std::string("{\"NAME\": \"Smith\", \"PRICE\": 12.5, \"BORN\": \"1980-01-15\", "
                        "\"ACTIVE\": true, \"QTY\": 1}\n")
                .substr(0, 80));
}

TEST_F(TfrMainTest, ADroppedTableOpens) {
  auto drop = [&](const std::string& path) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    const QPoint at(300, 300);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window_, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent dropped(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window_, &dropped);
    return true;
  };
  WriteWholeFile(dir_.File("notes.txt"), "text");
  EXPECT_FALSE(drop(dir_.File("notes.txt")));
  EXPECT_FALSE(window_.tbMain()->Active());
  EXPECT_TRUE(drop(dir_.File("abc.dbf")));
  EXPECT_TRUE(window_.tbMain()->Active());
  EXPECT_EQ(ListItems(), "A,B,C");
  EXPECT_EQ(window_.flName()->FileName(), dir_.File("abc.dbf"));
}

// Table > Pack on a dBase III table of another program with its memo file:
// asks first with the count (Cancel changes nothing), removes the deleted
// records from the files, keeps the memo values, and says how many went.
// Regenerate indexes on a table without one says so; on a table open
// read-only both are refused.
TEST_F(TfrMainTest, PackRemovesTheDeletedRecordsAfterAsking) {
  OpenReal("dans-dbf/dbase3plus/cars_del/cars.dbf");
  ASSERT_TRUE(window_.tbMain()->Active());
  window_.tbMain()->First();
  window_.tbMain()->Next();
  EXPECT_EQ(CurrentName(), "JETTA");
  window_.tbMain()->Delete();
  const std::string table = dir_.File("cars.dbf");
  const std::string before = ReadWholeFile(table);
  auto* pack = window_.findChild<QAction*>(QStringLiteral("acPack"));
  auto* regenerate = window_.findChild<QAction*>(QStringLiteral("acRegenerate"));
  ASSERT_NE(pack, nullptr);
  ASSERT_NE(regenerate, nullptr);
  {
    TMessageBoxAnswer answer(QMessageBox::Cancel);
    pack->trigger();
    EXPECT_EQ(answer.Text(), "Remove 2 deleted records permanently? This cannot be undone.");
  }
  Reactivate();
  EXPECT_EQ(ReadWholeFile(table), before);
  {
    TMessageBoxAnswer answer(QMessageBox::Ok);
    pack->trigger();
    EXPECT_TRUE(answer.Shown());
  }
  Reactivate();
  EXPECT_EQ(window_.sbMain()->currentMessage(), "2 deleted records removed");
  EXPECT_EQ(Names(), (std::vector<std::string>{"PASSAT", ""}));
  EXPECT_EQ(window_.tbMain()->RecordCount(), 2);
  EXPECT_EQ(GetLE32(ReadWholeFile(table).data() + 4), 2u);
  EXPECT_EQ(Stored(table, 1, "DESCR").substr(0, 42), "THIS IS A DESCRIPTION OF PASSAT, YEAR MODE");
  EXPECT_EQ(ListItems(), "NAME,YEAR,SEDAN,PROD_DATE,CC,DESCR");
  {
    TMessageBoxAnswer answer;
    pack->trigger();
    EXPECT_EQ(answer.Text(), "The table has no deleted records.");
  }
  Reactivate();
  {
    TMessageBoxAnswer answer;
    regenerate->trigger();
    EXPECT_EQ(answer.Text(), "The table has no open index.");
  }
  Reactivate();

  window_.tbMain()->Close();
  window_.tbMain()->SetReadOnly(true);
  window_.tbMain()->Open();
  {
    TMessageBoxAnswer answer;
    pack->trigger();
    EXPECT_EQ(answer.Text(), "The table is open read-only, so it cannot be packed.");
  }
  Reactivate();
}

}  // namespace
