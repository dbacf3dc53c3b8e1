#pragma once
// The fixture of the window's tests: a window on screen, test tables in a
// temporary folder (people.dbf with character, float, date, logical and
// small-integer fields; abc.dbf with fields A, B, C; empty.dbf), the
// system locale fixed to en-US, and helpers that drive the real controls.

#include "app/main.h"

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QFileDialog>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <filesystem>

#include "app/animated_image.h"
#include "app/check_list_box.h"
#include "app/db_grid.h"
#include "app/db_navigator.h"
#include "app/filename_edit.h"
#include "app/status_bar.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/sysutils.h"
#include "tdbf/dataset/dbf.h"
#include "tests/app/dbf_writer.h"
#include "tests/app/qt_test_support.h"
#include "tests/support/temp_dir.h"

inline const std::vector<TDbfWriterField> kPeopleFields = {
    {"NAME", 'C', 10, 0},  {"PRICE", 'N', 8, 2}, {"BORN", 'D', 8, 0},
    {"ACTIVE", 'L', 1, 0}, {"QTY", 'N', 3, 0},
};

class TfrMainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetSystemLocale({1252, 437, 0x0409});
    FormatSettings() = FormatSettingsForLocale(0x0409);
    ResetSelectedField();

    TDbfWriter people(kPeopleFields);
    people.Add({"Smith", "12.50", "19800115", "T", "1"});
    people.Add({"Smythe", "7.25", "19900220", "F", "2"});
    people.Add({"Jones", "12.50", "19800115", "T", "3"});
    people.Add({"O'Brien", "3.00", "20000101", "F", "4"});
    people.Add({"smith", "1.00", "", "T", "5"});
    people.Write(dir_.File("people.dbf"));

    TDbfWriter abc({{"A", 'C', 5, 0}, {"B", 'C', 5, 0}, {"C", 'N', 10, 2}});
    abc.Add({"a1", "b1", "1.5"});
    abc.Write(dir_.File("abc.dbf"));

    TDbfWriter({{"NAME", 'C', 10, 0}}).Write(dir_.File("empty.dbf"));

    window_.show();
    window_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
  }
  void TearDown() override { platform::ResetSystemLocale(); }

  // Presses the browse button and confirms path, or cancels with "".
  void Choose(const std::string& path) {
    TModalAnswer answer(
        [&](QWidget* dialog) {
          if (path.empty())
            dialog->close();
          else
            EXPECT_TRUE(ChooseFile(dialog, path));
        },
        [](QWidget* dialog) { return qobject_cast<QFileDialog*>(dialog) != nullptr; });
    QTest::mouseClick(window_.flName()->Button(), Qt::LeftButton);
    EXPECT_EQ(answer.Count(), 1);
    Reactivate();
  }
  // The offscreen platform does not give the activation back by itself
  // when a dialog closes.
  void Reactivate() {
    window_.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&window_));
  }
  void ClickMark(int index) {
    TCheckListBox* box = window_.lbMain();
    QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, box->CheckRect(index).center());
  }
  void ClickText(int index) {
    TCheckListBox* box = window_.lbMain();
    const QRect r = box->visualItemRect(box->item(index));
    QTest::mouseClick(box->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 60, r.center().y()));
  }
  void Filter(const char* value) {
    window_.edMain()->setText(QString::fromLatin1(value));
    QTest::mouseClick(window_.btFilter(), Qt::LeftButton);
  }
  // Types text into the emptied search box and waits for the search that
  // follows the pause in typing.
  void Search(const char* text) {
    window_.edSearch()->clear();
    QTest::keyClicks(window_.edSearch(), QString::fromLatin1(text));
    WaitForSearch();
  }
  void WaitForSearch() { QTRY_VERIFY_WITH_TIMEOUT(!window_.SearchPending(), 10000); }
  // Keys to whichever control has the focus, one at a time, as a user
  // types them (the grid's cell editor takes the focus at the first).
  void Type(const char* text) {
    for (const char* c = text; *c; ++c) QTest::keyClick(QApplication::focusWidget(), *c);
  }
  void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(QApplication::focusWidget(), key, modifiers);
  }
  // Copies a table of the corpus (tests/data/real) into the folder, with
  // its memo file, and opens it as the user would.
  void OpenReal(const std::string& table) {
    const std::filesystem::path source = TestDataPath("real/" + table);
    for (const auto& entry : std::filesystem::directory_iterator(source.parent_path()))
      if (entry.path().stem() == source.stem())
        std::filesystem::copy_file(entry.path(), dir_.File(entry.path().filename().string()),
                                   std::filesystem::copy_options::overwrite_existing);
    window_.OpenTable(dir_.File(source.filename().string()));
  }
  // memo.dbf: NAME C(10) and NOTE M, two records, made by the engine.
  std::string MemoTable() {
    const std::string path = dir_.File("memo.dbf");
    if (platform::TEnv::Default()->FileExists(path)) return path;
    TDbf dbf;
    dbf.SetTableName(path);
    dbf.SetTableLevel(3);
    dbf.SetOpenMode(omAutoCreate);
    dbf.FieldDefs().Add("NAME", ftString, 10);
    dbf.FieldDefs().Add("NOTE", ftMemo, 0);
    dbf.Open();
    for (const char* name : {"first", "second"}) {
      dbf.AppendNew();
      dbf.FieldNamed("NAME")->SetValueAsString(name);
      dbf.FieldNamed("NOTE")->SetValueAsString(std::string("memo of ") + name + "\r\nline two");
      dbf.Post();
    }
    dbf.Close();
    return path;
  }
  // A field's value in record recNo as stored in the file, read by a
  // table of its own.
  std::string Stored(const std::string& path, int recNo, const char* field) {
    TDbf dbf;
    dbf.SetTableName(path);
    dbf.SetReadOnly(true);
    dbf.Open();
    dbf.SetRecordNumber(recNo);
    return TrimRight(dbf.FieldNamed(field)->ValueAsString());
  }
  // The NAME values the record set shows, first to last.
  std::vector<std::string> Names() {
    TDbf* table = window_.tbMain();
    std::vector<std::string> names;
    table->First();
    while (!table->AtEnd()) {
      names.push_back(TrimRight(table->FieldNamed("NAME")->ValueAsString()));
      table->Next();
    }
    table->First();
    return names;
  }
  std::string CurrentName() {
    return TrimRight(window_.tbMain()->FieldNamed("NAME")->ValueAsString());
  }
  std::string ListItems() { return window_.lbMain()->Items().DelimitedText(','); }
  std::string NavigatorEnabled() {
    std::string result;
    for (int i = 0; i < kNavigateBtnCount; ++i)
      result += window_.nvMain()->Button(static_cast<TNavigateBtn>(i))->isEnabled() ? '1' : '0';
    return result;
  }

  TTempDir dir_;
  TfrMain window_;
};
