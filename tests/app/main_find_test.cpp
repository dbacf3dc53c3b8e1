// Edit > Find through the real window: the dialog's choices (one field or
// all, contains or begins with, letter case), Find next and previous, F3,
// the "Not found" notice, and a search through a million records.

#include <QCheckBox>
#include <QComboBox>
#include <QRadioButton>

#include "app/find_dialog.h"
#include "tests/app/main_fixture.h"

namespace {

class TFindTest : public TfrMainTest {
 protected:
  TFindDialog* OpenFind() {
    QTest::keyClick(window_.grMain(), Qt::Key_F, Qt::ControlModifier);
    TFindDialog* dialog = window_.dlgFind();
    EXPECT_NE(dialog, nullptr);
    return dialog;
  }
  // Sets the dialog's boxes and presses Find next or Find previous; the
  // record number the table is on afterwards.
  int Find(TFindDialog* dialog, const char* text, bool forward = true, const char* field = "",
           bool beginsWith = false, bool matchCase = false) {
    dialog->edText()->setText(QString::fromUtf8(text));
    const int index = *field ? dialog->cbField()->findText(QString::fromLatin1(field)) : 0;
    EXPECT_GE(index, 0) << field;
    dialog->cbField()->setCurrentIndex(index);
    (beginsWith ? dialog->rbBeginsWith() : dialog->rbContains())->setChecked(true);
    dialog->chMatchCase()->setChecked(matchCase);
    QTest::mouseClick(forward ? dialog->btNext() : dialog->btPrevious(), Qt::LeftButton);
    return window_.tbMain()->RecordNumber();
  }
  std::string Notice(TFindDialog* dialog) { return dialog->lbNotice()->text().toStdString(); }
};

TEST_F(TFindTest, FindsForwardAndBackInTheFieldsChosen) {
  Choose(dir_.File("people.dbf"));
  window_.grMain()->setFocus();
  TFindDialog* dialog = OpenFind();
  ASSERT_TRUE(dialog->isVisible());
  QTRY_VERIFY(QApplication::focusWidget() == dialog->edText());
  // Logical fields show no text to find in.
  QStringList fields;
  for (int i = 0; i < dialog->cbField()->count(); ++i) fields << dialog->cbField()->itemText(i);
  EXPECT_EQ(fields.join(','), "All fields,NAME,PRICE,BORN,QTY");

  // Records: Smith, Smythe, Jones, O'Brien, smith; the search starts after
  // the current record.
  EXPECT_EQ(Find(dialog, "MIT"), 5);
  EXPECT_EQ(Notice(dialog), "");
  EXPECT_EQ(Find(dialog, "MIT"), 5);
  EXPECT_EQ(Notice(dialog), "Not found");
  EXPECT_EQ(window_.sbMain()->currentMessage(), "Not found");
  EXPECT_EQ(Find(dialog, "MIT", false), 1);
  EXPECT_EQ(window_.sbMain()->currentMessage(), "");
  EXPECT_EQ(Find(dialog, "mit", true, "NAME", false, true), 5);
  EXPECT_EQ(Find(dialog, "Sm", false, "NAME", true, true), 2);
  EXPECT_EQ(Find(dialog, "Sm", false, "NAME", true, true), 1);
  EXPECT_EQ(Find(dialog, "th", true, "NAME", true), 1);
  EXPECT_EQ(Notice(dialog), "Not found");
  // Apostrophes and double quotes are text, not expression syntax.
  EXPECT_EQ(Find(dialog, "O'B"), 4);
  EXPECT_EQ(Find(dialog, "'\"]", false), 4);
  EXPECT_EQ(Notice(dialog), "Not found");

  // Numbers by the digits the table holds, dates as the user writes them.
  window_.tbMain()->First();
  EXPECT_EQ(Find(dialog, "12.5", true, "PRICE"), 3);
  EXPECT_EQ(Find(dialog, "7.2", true, "", true), 3);
  EXPECT_EQ(Notice(dialog), "Not found");
  EXPECT_EQ(Find(dialog, "7.2", false, "", true), 2);
  EXPECT_EQ(Find(dialog, "2000"), 4);
  EXPECT_EQ(Find(dialog, "1/15/1980", false, "BORN"), 3);
  EXPECT_EQ(Find(dialog, "4", true, "QTY"), 4);

  // F3 and Shift+F3 repeat the last search from the window.
  EXPECT_EQ(Find(dialog, "smith", false), 1);
  dialog->hide();
  window_.activateWindow();
  QTRY_VERIFY(QApplication::activeWindow() == &window_);
  window_.grMain()->setFocus();
  QTest::keyClick(window_.grMain(), Qt::Key_F3);
  EXPECT_EQ(window_.tbMain()->RecordNumber(), 5);
  QTest::keyClick(window_.grMain(), Qt::Key_F3, Qt::ShiftModifier);
  EXPECT_EQ(window_.tbMain()->RecordNumber(), 1);
  EXPECT_FALSE(dialog->isVisible());
}

TEST_F(TFindTest, FindsOnlyWhatTheWindowShows) {
  Choose(dir_.File("people.dbf"));
  TDbf* table = window_.tbMain();
  table->SetRecordNumber(5);
  table->Delete();
  ClickMark(1);
  Filter("12.5");  // Smith and Jones
  window_.grMain()->setFocus();
  TFindDialog* dialog = OpenFind();
  table->First();
  EXPECT_EQ(Find(dialog, "o"), 3);
  EXPECT_EQ(Find(dialog, "o"), 3);  // O'Brien is filtered out
  EXPECT_EQ(Notice(dialog), "Not found");
  EXPECT_EQ(Find(dialog, "smith", false), 1);
  EXPECT_EQ(Find(dialog, "smith"), 1);  // the deleted record stays hidden
  EXPECT_EQ(Notice(dialog), "Not found");

  // A record being edited is posted before the search moves on, and the
  // search sees its new value.
  table->Edit();
  table->FieldNamed("NAME")->SetValueAsString("Smithers");
  EXPECT_EQ(Find(dialog, "Jones"), 3);
  EXPECT_EQ(Stored(dir_.File("people.dbf"), 1, "NAME"), "Smithers");
  EXPECT_EQ(Find(dialog, "ers", false), 1);

  // Another table offers its own fields.
  Choose(dir_.File("abc.dbf"));
  EXPECT_EQ(dialog->cbField()->itemText(1), "A");
}

// A blank number or date shows nothing, so it holds no "0" or "/"; a text
// the table's code page cannot hold is simply in no record.
TEST_F(TFindTest, BlankFieldsAndTextOutsideTheCodePageAreNotFound) {
  TDbfWriter table({{"NAME", 'C', 10, 0}, {"QTY", 'N', 5, 0}, {"DUE", 'D', 8, 0}});
  table.Add({"blank", "", ""});
  table.Add({"zero", "0", "20240102"});
  table.Add({"ten", "10", ""});
  table.Write(dir_.File("blanks.dbf"));
  Choose(dir_.File("blanks.dbf"));
  TFindDialog* dialog = OpenFind();
  window_.tbMain()->First();
  EXPECT_EQ(Find(dialog, "0"), 2);
  EXPECT_EQ(Find(dialog, "0"), 3);
  EXPECT_EQ(Find(dialog, "0"), 3);
  EXPECT_EQ(Notice(dialog), "Not found");
  EXPECT_EQ(Find(dialog, "0", false, "QTY", true), 2);
  EXPECT_EQ(Find(dialog, "/", false), 2);
  EXPECT_EQ(Find(dialog, "/", false), 2);
  EXPECT_EQ(Notice(dialog), "Not found");
  EXPECT_EQ(Find(dialog, "\xd0\x96"), 2);  // a Cyrillic letter, not in code page 1252
  EXPECT_EQ(Notice(dialog), "Not found");
  EXPECT_EQ(window_.sbMain()->currentMessage(), "Not found");
}

// A million records: the one record that holds the text is found, first
// from the start and then back from the end, through one pass each.
TEST_F(TFindTest, FindsTheOneRecordOfAMillion) {
  TDbfWriter({{"NAME", 'C', 10, 0}}).WriteNumbered(dir_.File("million.dbf"), 1000000);
  window_.OpenTable(dir_.File("million.dbf"));
  window_.grMain()->setFocus();
  TFindDialog* dialog = OpenFind();
  EXPECT_EQ(Find(dialog, "r999999", true, "NAME", true), 999999);
  EXPECT_EQ(window_.sbMain()->Position()->text(), "999,999 of 1,000,000");
  window_.tbMain()->Last();
  EXPECT_EQ(Find(dialog, "R12345", false, "", true, true), 123459);
  EXPECT_EQ(Find(dialog, "R12345", false, "", true, true), 123458);
}

}  // namespace
