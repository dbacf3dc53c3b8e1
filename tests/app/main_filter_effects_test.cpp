// The window's filter and search handlers driven through the real table:
// the records it shows after each click and keystroke.

#include "tests/app/main_fixture.h"

namespace {

TEST_F(TfrMainTest, FilterOnACharacterField) {
  Choose(dir_.File("people.dbf"));
  ClickMark(0);
  Filter("smith");
  EXPECT_EQ(window_.tbMain()->Filter(), "NAME='smith'");
  EXPECT_TRUE(window_.tbMain()->Filtered());
  EXPECT_EQ(Names(), (std::vector<std::string>{"Smith", "smith"}));
  Filter(" Jones ");
  EXPECT_EQ(window_.tbMain()->Filter(), "NAME=' Jones '");
  EXPECT_EQ(Names(), std::vector<std::string>{"Jones"});

  // An apostrophe in the value: quoted with double quotes instead.
  Filter("O'Brien");
  EXPECT_EQ(window_.tbMain()->Filter(), "NAME=\"O'Brien\"");
  EXPECT_EQ(Names(), std::vector<std::string>{"O'Brien"});
  {
    TMessageBoxAnswer answer;
    Filter("a'b\"c");
    EXPECT_EQ(answer.Text(),
              "The value a'b\"c contains both ' and \" and cannot be used in a filter");
  }
  EXPECT_FALSE(window_.tbMain()->Filtered());
  EXPECT_EQ(window_.tbMain()->Filter(), "NAME=\"O'Brien\"");
}

TEST_F(TfrMainTest, FilterOnAFloatField) {
  Choose(dir_.File("people.dbf"));
  ClickMark(1);
  Filter("  12.5 ");
  EXPECT_EQ(window_.tbMain()->Filter(), "PRICE=12.5");
  EXPECT_EQ(Names(), (std::vector<std::string>{"Smith", "Jones"}));
  {
    // A typed value cannot add to the expression.
    TMessageBoxAnswer answer;
    Filter("1 .OR. .T.");
    EXPECT_EQ(answer.Text(), "'1 .OR. .T.' is not a valid floating point value");
  }
  EXPECT_FALSE(window_.tbMain()->Filtered());
  EXPECT_EQ(window_.tbMain()->Filter(), "PRICE=12.5");
}

TEST_F(TfrMainTest, FilterOnADateFieldThroughTheCallback) {
  Choose(dir_.File("people.dbf"));
  ClickMark(0);
  Filter("Jones");
  ClickMark(2);
  Filter("1/15/1980");
  EXPECT_EQ(window_.tbMain()->Filter(), "");
  EXPECT_TRUE(window_.tbMain()->Filtered());
  EXPECT_EQ(Names(), (std::vector<std::string>{"Smith", "Jones"}));

  // Back to a character filter: no date test is left.
  ClickMark(0);
  ClickMark(0);
  Filter("Smythe");
  EXPECT_EQ(Names(), std::vector<std::string>{"Smythe"});

  // A value that is no date: the conversion error, and filtering off.
  ClickMark(2);
  {
    TMessageBoxAnswer answer;
    Filter("31/31/2000");
    EXPECT_EQ(answer.Text(), "'31/31/2000' is not a valid date");
  }
  EXPECT_FALSE(window_.tbMain()->Filtered());
}

TEST_F(TfrMainTest, OtherTypesSwitchTheLastFilterBackOn) {
  Choose(dir_.File("people.dbf"));
  ClickMark(0);
  Filter("Jones");
  QTest::mouseClick(window_.btClear(), Qt::LeftButton);
  EXPECT_EQ(window_.edMain()->text(), "");
  EXPECT_FALSE(window_.tbMain()->Filtered());
  EXPECT_EQ(window_.tbMain()->Filter(), "NAME='Jones'");
  EXPECT_EQ(Names().size(), 5u);

  ClickMark(3);  // logical
  EXPECT_EQ(SelectedFieldType(), ftBoolean);
  Filter("T");
  EXPECT_TRUE(window_.tbMain()->Filtered());
  EXPECT_EQ(window_.tbMain()->Filter(), "NAME='Jones'");
  EXPECT_EQ(Names(), std::vector<std::string>{"Jones"});

  // "Filtrele" right after "Temizle" with an empty value.
  QTest::mouseClick(window_.btClear(), Qt::LeftButton);
  ClickMark(0);
  QTest::mouseClick(window_.btFilter(), Qt::LeftButton);
  EXPECT_EQ(window_.tbMain()->Filter(), "NAME=''");
  EXPECT_TRUE(Names().empty());
}

TEST_F(TfrMainTest, SearchBoxMovesToTheFirstRecordStartingWithTheText) {
  Choose(dir_.File("people.dbf"));
  window_.tbMain()->Last();
  Search("Sx");  // no field chosen yet: nothing moves
  EXPECT_EQ(CurrentName(), "smith");

  ClickMark(0);
  Search("Smy");
  EXPECT_EQ(CurrentName(), "Smythe");
  Search("sm");  // case counts
  EXPECT_EQ(CurrentName(), "smith");
  // One more keystroke that no record starts with: nothing moves.
  QTest::keyClicks(window_.edSearch(), QString::fromLatin1("x"));
  EXPECT_EQ(window_.edSearch()->text(), QString::fromLatin1("smx"));
  EXPECT_EQ(CurrentName(), "smith");
  Search("Jo");
  EXPECT_EQ(CurrentName(), "Jones");
  window_.edSearch()->clear();
  EXPECT_EQ(CurrentName(), "Smith");

  ClickMark(1);
  Search("7.25");
  EXPECT_EQ(CurrentName(), "Smythe");
  {
    // Clearing the box first: an empty text is no number for a float field.
    TMessageBoxAnswer answer;
    Search("12.5");
    EXPECT_EQ(answer.Text(), "Could not convert variant of type (String) into type (Double)");
  }
  EXPECT_EQ(CurrentName(), "Smith");
  TMessageBoxAnswer answer;
  QTest::keyClicks(window_.edSearch(), QString::fromLatin1("x"));
  EXPECT_TRUE(answer.Shown());
  EXPECT_EQ(CurrentName(), "Smith");
}

}  // namespace
