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

TEST_F(TfrMainTest, LogicalAndUnfilterableFields) {
  Choose(dir_.File("people.dbf"));
  ClickMark(3);  // logical
  EXPECT_EQ(SelectedFieldType(), ftBoolean);
  Filter(" yes ");
  EXPECT_TRUE(window_.tbMain()->Filtered());
  EXPECT_EQ(Names(), (std::vector<std::string>{"Smith", "Jones", "smith"}));
  Filter("f");
  EXPECT_EQ(Names(), (std::vector<std::string>{"Smythe", "O'Brien"}));
  for (const char* word : {"T", "y", "TRUE", "Yes"}) {
    Filter(word);
    EXPECT_EQ(Names().size(), 3u) << word;
  }
  for (const char* word : {"N", "false", "NO"}) {
    Filter(word);
    EXPECT_EQ(Names().size(), 2u) << word;
  }
  {
    TMessageBoxAnswer answer;
    Filter("maybe");
    EXPECT_EQ(answer.Text(), "'maybe' is not a logical value (T, F, Y, N, true, false, yes or no)");
  }
  EXPECT_FALSE(window_.tbMain()->Filtered());
  EXPECT_EQ(Names().size(), 5u);

  // After a date filter a logical one no longer reads the date callback.
  ClickMark(2);
  Filter("1/15/1980");
  EXPECT_EQ(Names(), (std::vector<std::string>{"Smith", "Jones"}));
  ClickMark(3);
  Filter("F");
  EXPECT_EQ(Names(), (std::vector<std::string>{"Smythe", "O'Brien"}));

  // A memo field cannot be compared with a typed value.
  Choose(MemoTable());
  ClickMark(1);
  TMessageBoxAnswer answer;
  Filter("x");
  EXPECT_EQ(answer.Text(), "Field 'NOTE' holds memo or binary data and cannot be filtered");
  EXPECT_FALSE(window_.tbMain()->Filtered());
  EXPECT_EQ(Names().size(), 2u);
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
  // One more keystroke that no record starts with: nothing moves, and the
  // box and the status bar say so.
  QTest::keyClicks(window_.edSearch(), QString::fromLatin1("x"));
  WaitForSearch();
  EXPECT_EQ(window_.edSearch()->text(), QString::fromLatin1("smx"));
  EXPECT_EQ(CurrentName(), "smith");
  EXPECT_NE(window_.edSearch()->palette().color(QPalette::Base),
            window_.lbMain()->palette().color(QPalette::Base));
  EXPECT_EQ(window_.sbMain()->currentMessage(), "not found");
  Search("Jo");
  EXPECT_EQ(CurrentName(), "Jones");
  EXPECT_EQ(window_.sbMain()->currentMessage(), "");
  EXPECT_EQ(window_.edSearch()->palette().color(QPalette::Base),
            window_.lbMain()->palette().color(QPalette::Base));
  // Emptying the box stays on the record.
  window_.edSearch()->clear();
  EXPECT_FALSE(window_.SearchPending());
  EXPECT_EQ(CurrentName(), "Jones");

  ClickMark(1);
  Search("7.25");
  EXPECT_EQ(CurrentName(), "Smythe");
  TMessageBoxAnswer answer;
  QTest::keyClicks(window_.edSearch(), QString::fromLatin1("x"));
  WaitForSearch();
  // A text that is no number fails the search; the record stays.
  EXPECT_EQ(answer.Text(), "Could not convert variant of type (String) into type (Double)");
  EXPECT_EQ(CurrentName(), "Smythe");
}

}  // namespace
