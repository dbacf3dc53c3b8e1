// What the window's filter handlers hand to the table: the filter text, the
// callback and the filtered flag, and the date callback's verdict on the
// current record.

#include "runtime/exceptions.h"
#include "tests/app/main_fixture.h"

namespace {

TEST(TfrMainFilterTextTest, CharacterValuesAreQuotedSoTheyStayValues) {
  EXPECT_EQ(CharacterFilterText("NAME", "abc"), "NAME='abc'");
  EXPECT_EQ(CharacterFilterText("NAME", " abc "), "NAME=' abc '");
  EXPECT_EQ(CharacterFilterText("NAME", ""), "NAME=''");
  EXPECT_EQ(CharacterFilterText("NAME", "O'Brien"), "NAME=\"O'Brien\"");
  EXPECT_EQ(CharacterFilterText("NAME", "say \"hi\""), "NAME='say \"hi\"'");
  try {
    CharacterFilterText("NAME", "x' .OR. \"y");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(),
              "The value x' .OR. \"y contains both ' and \" and cannot be used in a filter");
  }
}

TEST(TfrMainFilterTextTest, FloatValuesMustBeOneNumber) {
  EXPECT_EQ(FloatFilterText("PRICE", " \t12.5  "), "PRICE=12.5");
  EXPECT_EQ(FloatFilterText("PRICE", "12"), "PRICE=12");
  EXPECT_EQ(FloatFilterText("PRICE", "-.5"), "PRICE=-.5");
  EXPECT_EQ(FloatFilterText("PRICE", "1.5e3"), "PRICE=1.5e3");
  for (const char* bad : {"", "abc", "1 .OR. .T.", "12,5", "COST", "1)", "12.5 + 1"}) {
    try {
      FloatFilterText("PRICE", bad);
      ADD_FAILURE() << bad;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), Format("'%s' is not a valid floating point value", Trim(bad).c_str()));
    }
  }
}

TEST_F(TfrMainTest, FiltreleSetsTheFilterByTheChosenType) {
  Choose(dir_.File("people.dbf"));
  TDbf* table = window_.tbMain();

  ClickMark(0);
  Filter(" Jones ");
  EXPECT_EQ(table->Filter(), "NAME=' Jones '");
  EXPECT_FALSE(table->OnFilterRecord());
  EXPECT_TRUE(table->Filtered());

  ClickMark(1);
  Filter("  12.5 ");
  EXPECT_EQ(table->Filter(), "PRICE=12.5");
  EXPECT_TRUE(table->Filtered());

  ClickMark(2);
  Filter("1/15/1980");
  EXPECT_EQ(table->Filter(), "");
  EXPECT_TRUE(table->OnFilterRecord());
  EXPECT_TRUE(table->Filtered());

  // Back to a character field: the callback goes.
  ClickMark(0);
  Filter("Smythe");
  EXPECT_EQ(table->Filter(), "NAME='Smythe'");
  EXPECT_FALSE(table->OnFilterRecord());

  // A logical field through its own callback, a small integer as a number.
  QTest::mouseClick(window_.btClear(), Qt::LeftButton);
  EXPECT_EQ(window_.edMain()->text(), "");
  EXPECT_FALSE(table->Filtered());
  ClickMark(3);
  Filter("T");
  EXPECT_EQ(table->Filter(), "");
  EXPECT_TRUE(table->OnFilterRecord());
  EXPECT_EQ(window_.FilterDescription(), "ACTIVE=.T.");
  ClickMark(4);
  Filter("3");
  EXPECT_EQ(table->Filter(), "QTY=3");
  EXPECT_FALSE(table->OnFilterRecord());

  // Right after "Temizle" with an empty value.
  QTest::mouseClick(window_.btClear(), Qt::LeftButton);
  ClickMark(0);
  QTest::mouseClick(window_.btFilter(), Qt::LeftButton);
  EXPECT_EQ(table->Filter(), "NAME=''");
}

TEST_F(TfrMainTest, ARefusedValueLeavesTheFilterAndSwitchesItOff) {
  Choose(dir_.File("people.dbf"));
  TDbf* table = window_.tbMain();
  ClickMark(0);
  Filter("Jones");
  {
    TMessageBoxAnswer answer;
    Filter("a'b\"c");
    EXPECT_EQ(answer.Text(),
              "The value a'b\"c contains both ' and \" and cannot be used in a filter");
  }
  EXPECT_EQ(table->Filter(), "NAME='Jones'");
  EXPECT_FALSE(table->Filtered());

  ClickMark(1);
  {
    TMessageBoxAnswer answer;
    Filter("1 .OR. .T.");
    EXPECT_EQ(answer.Text(), "'1 .OR. .T.' is not a valid floating point value");
  }
  EXPECT_EQ(table->Filter(), "NAME='Jones'");
  EXPECT_FALSE(table->Filtered());
}

TEST_F(TfrMainTest, TheDateCallbackComparesTheTypedDay) {
  Choose(dir_.File("people.dbf"));
  ClickMark(2);
  TDbf* table = window_.tbMain();
  auto accepts = [&](const char* typed) {
    window_.edMain()->setText(QString::fromLatin1(typed));
    bool accept = false;
    window_.DataSetFilterRecord(*table, accept);
    return accept;
  };
  EXPECT_TRUE(accepts("1/15/1980"));  // Smith
  EXPECT_FALSE(accepts("2/20/1990"));
  table->Last();  // smith, no date: reads as 30 December 1899
  EXPECT_TRUE(accepts("12/30/1899"));
  EXPECT_FALSE(accepts("1/15/1980"));
  try {
    accepts("31/31/2000");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'31/31/2000' is not a valid date");
  }
}

}  // namespace
