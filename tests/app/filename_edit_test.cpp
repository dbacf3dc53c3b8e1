#include "app/filename_edit.h"

#include <gtest/gtest.h>
#include <QFileDialog>
#include <QLineEdit>

#include "tests/app/qt_test_support.h"
#include "tests/support/temp_dir.h"

namespace {

class TFilenameEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteWholeFile(dir_.File("people.dbf"), "x");
    edit_.SetText("Dbf Dosya");
    edit_.SetFilter("All files (*.dbf)|*.dbf");
    edit_.SetInitialDir(QString::fromStdString(dir_.Path()));
    edit_.SetOnAfterDialog([this](TFilenameEdit&, std::string& name, bool& action) {
      ++calls_;
      name_ = name;
      action_ = action;
      if (veto_) action = false;
    });
  }

  TTempDir dir_;
  TFilenameEdit edit_;
  int calls_ = 0;
  std::string name_;
  bool action_ = false;
  bool veto_ = false;
};

TEST_F(TFilenameEditTest, DialogFilterBecomesQtNameFilters) {
  EXPECT_EQ(TFilenameEdit::DialogNameFilters("All files (*.dbf)|*.dbf"),
            QStringList{"All files (*.dbf)"});
  EXPECT_EQ(TFilenameEdit::DialogNameFilters("Tables|*.dbf;*.DBF|Everything (*.*)|*"),
            (QStringList{"Tables (*.dbf *.DBF)", "Everything (*.*) (*)"}));
  EXPECT_TRUE(TFilenameEdit::DialogNameFilters("").isEmpty());
}

TEST_F(TFilenameEditTest, CancelledDialogReportsNoActionAndKeepsTheText) {
  TModalAnswer answer([](QWidget* dialog) { static_cast<QDialog*>(dialog)->reject(); });
  edit_.ButtonClick();
  EXPECT_EQ(answer.Count(), 1);
  EXPECT_EQ(calls_, 1);
  EXPECT_FALSE(action_);
  EXPECT_EQ(edit_.Text(), "Dbf Dosya");
}

TEST_F(TFilenameEditTest, ChosenFileArrivesAsFullPathAndBecomesTheText) {
  QStringList filters;
  edit_.SetOnDialogShow([&](QFileDialog* dialog) { filters = dialog->nameFilters(); });
  TModalAnswer answer(
      [&](QWidget* dialog) { EXPECT_TRUE(ChooseFile(dialog, dir_.File("people.dbf"))); });
  edit_.ButtonClick();
  EXPECT_EQ(filters, QStringList{"All files (*.dbf)"});
  EXPECT_TRUE(action_);
  EXPECT_EQ(name_, dir_.File("people.dbf"));
  EXPECT_EQ(edit_.FileName(), dir_.File("people.dbf"));
}

TEST_F(TFilenameEditTest, HandlerMayRefuseTheChoice) {
  veto_ = true;
  TModalAnswer answer([&](QWidget* dialog) { ChooseFile(dialog, dir_.File("people.dbf")); });
  edit_.ButtonClick();
  EXPECT_TRUE(action_);
  EXPECT_EQ(edit_.Text(), "Dbf Dosya");
}

}  // namespace
