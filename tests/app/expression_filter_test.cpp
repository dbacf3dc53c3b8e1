// The expression filter box driven through the window and the real table:
// typed expressions filter, refused ones show their message in place and
// leave the filter in force as it was.

#include "app/expression_filter.h"

#include <QAction>
#include <QLabel>

#include "tests/app/main_fixture.h"

namespace {

TEST_F(TfrMainTest, ExpressionBoxTakesTheWholeLanguage) {
  Choose(dir_.File("people.dbf"));
  TExpressionFilter* box = window_.frExpression();
  ASSERT_NE(box, nullptr);
  // The button at the end of the value box opens it.
  auto* open = window_.edMain()->findChild<QAction*>(QStringLiteral("acExpression"));
  ASSERT_NE(open, nullptr);
  open->trigger();
  EXPECT_TRUE(box->isVisible());
  EXPECT_EQ(box->edExpression()->text(), QString());

  auto type = [&](const char* text) {
    box->edExpression()->setText(QString::fromLatin1(text));
    QTest::keyClick(box->edExpression(), Qt::Key_Return);
  };
  type("ACTIVE .AND. PRICE > 10 .OR. BORN < CTOD('01/01/1985') .AND. NAME <> 'Jones'");
  EXPECT_EQ(box->lbMessage()->text(), QString());
  EXPECT_TRUE(window_.tbMain()->Filtered());
  // smith's empty birth date is before 1985.
  EXPECT_EQ(Names(), (std::vector<std::string>{"Smith", "Jones", "smith"}));
  type("'mi' $ LOWER(NAME) AND !EMPTY(BORN)");
  EXPECT_EQ(Names(), std::vector<std::string>{"Smith"});
  EXPECT_EQ(window_.FilterDescription(), "'mi' $ LOWER(NAME) AND !EMPTY(BORN)");

  // A refused expression: its message in place, the caret at the fault,
  // the filter in force unchanged.
  const struct {
    const char* text;
    const char* message;
    int caret;
  } refused[] = {
      {"NAEM = 'x'", "Unknown field 'NAEM'", 0},
      {"NAME > 5", "Cannot compare Character with Numeric in NAME > 5", 5},
      {"NAME = \"Alice", "Unterminated text starting at position 8", 7},
      {"QTY + 1", "Filter must be a logical expression: QTY + 1 is Numeric", -1},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.text);
    type(r.text);
    EXPECT_EQ(box->lbMessage()->text().toStdString(), r.message);
    if (r.caret >= 0) {
      EXPECT_EQ(box->edExpression()->cursorPosition(), r.caret);
    }
    EXPECT_EQ(window_.tbMain()->Filter(), "'mi' $ LOWER(NAME) AND !EMPTY(BORN)");
    EXPECT_EQ(Names(), std::vector<std::string>{"Smith"});
  }
  // Typing again clears the message; "Temizle" switches filtering off.
  QTest::keyClick(box->edExpression(), Qt::Key_Space);
  EXPECT_EQ(box->lbMessage()->text(), QString());
  QTest::mouseClick(box->btClear(), Qt::LeftButton);
  EXPECT_FALSE(window_.tbMain()->Filtered());
  EXPECT_EQ(window_.FilterDescription(), "");
  EXPECT_EQ(Names().size(), 5u);

  // After the value box's filter the box opens with its text, and applying
  // an expression replaces the date callback.
  ClickMark(2);
  Filter("1/15/1980");
  open->trigger();
  EXPECT_EQ(box->edExpression()->text(), QString());
  type("QTY >= 3");
  EXPECT_FALSE(window_.tbMain()->OnFilterRecord());
  EXPECT_EQ(Names(), (std::vector<std::string>{"Jones", "O'Brien", "smith"}));
  box->close();
}

}  // namespace
