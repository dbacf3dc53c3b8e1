#include "tdbf/dbf_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "expr_test_parser.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"

namespace {

// ---- Built-in words --------------------------------------------------------------

class TBuiltInWordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parser_.AddStringVariable("NAME", &name_, -1);
    parser_.AddFloatVariable("AMOUNT", &amount_);
    parser_.AddIntegerVariable("QTY", &qty_);
    parser_.AddLargeIntVariable("BIG", &big_);
    parser_.AddDateTimeVariable("DUE", &due_);
  }

  bool Holds(const std::string& text) {
    parser_.CompileText(text);
    EXPECT_EQ(parser_.ResultType(), rtBoolean) << text;
    parser_.Evaluate();
    return parser_.Boolean();
  }
  bool NameHolds(const char* name, const std::string& text) {
    name_ = const_cast<char*>(name);
    return Holds(text);
  }
  std::string Text(const std::string& text) {
    parser_.CompileText(text);
    EXPECT_EQ(parser_.ResultType(), rtString) << text;
    parser_.Evaluate();
    return parser_.Text();
  }

  TTestParser parser_;
  char* name_ = nullptr;
  double amount_ = 0;
  int32_t qty_ = 0;
  int64_t big_ = 0;
  double due_ = 0;
};

TEST_F(TBuiltInWordsTest, RegistrationOrderDecidesOverloadOrder) {
  TExpressList& words = parser_.Words();
  int index;
  ASSERT_TRUE(words.Search("+", index));
  std::string signatures;
  for (; index < words.Count() && words[index]->Name() == "+"; ++index)
    signatures += std::string(words[index]->Signature()) + " ";
  EXPECT_EQ(signatures, "LI LL LF IL FL II IF FI FF SS ");
  ASSERT_TRUE(words.Search("<=", index));
  signatures.clear();
  for (; index < words.Count() && words[index]->Name() == "<="; ++index)
    signatures += std::string(words[index]->Signature()) + " ";
  EXPECT_EQ(signatures, "IL FL LI LF LL IF II FI FF SS ");
  ASSERT_TRUE(words.Search("str", index));
  EXPECT_EQ(words[index]->Signature(), "III");
  EXPECT_EQ(words[index + 1]->Signature(), "FII");
  for (const char* name : {"and", "Or", "NOT", "dtos", "substr", "upper", "lowercase"})
    EXPECT_TRUE(words.Search(name, index)) << name;
  for (const char* name : {"-", "*", "/", "<>", "#", "iif", "val"})
    EXPECT_FALSE(words.Search(name, index)) << name;
}

TEST_F(TBuiltInWordsTest, TextComparisonTrimsAndFoldsAsciiCase) {
  for (const char* name : {"abc", "abc   ", "ABC", "Abc", "  abc", "\tabc\r\n"})
    EXPECT_TRUE(NameHolds(name, "NAME = 'abc'")) << name;
  EXPECT_FALSE(NameHolds("abcd", "NAME = 'abc'"));
  EXPECT_FALSE(NameHolds("ab", "NAME = 'abc'"));
  EXPECT_TRUE(NameHolds("    ", "NAME = ''"));
  EXPECT_TRUE(NameHolds("", "NAME = '   '"));
  EXPECT_TRUE(Holds("'ABC' < 'abd'"));
  EXPECT_TRUE(Holds("'ab' < 'abc'"));
  EXPECT_TRUE(Holds("'abc' > 'AB'"));
  EXPECT_TRUE(Holds("'abc' >= 'ABC '"));
  EXPECT_TRUE(Holds("'abc' <= ' ABC'"));
  EXPECT_FALSE(Holds("'abc' < 'ABC'"));
  // Bytes above 127 are neither folded nor signed.
  EXPECT_FALSE(NameHolds("\xE9", "NAME = '\xC9'"));
  EXPECT_TRUE(NameHolds("\xE9", "NAME > 'z'"));
  EXPECT_TRUE(
      NameHolds("Stra\xDF"
                "e",
                "NAME = 'STRA\xDF"
                "E'"));
}

TEST_F(TBuiltInWordsTest, NumericComparisonsAcrossTypes) {
  amount_ = 5.0;
  EXPECT_TRUE(Holds("AMOUNT = 5"));
  EXPECT_TRUE(Holds("5 = AMOUNT"));
  EXPECT_TRUE(Holds("AMOUNT >= 5.0"));
  EXPECT_FALSE(Holds("AMOUNT > 5"));
  amount_ = 4.75;
  EXPECT_TRUE(Holds("AMOUNT < 5"));
  EXPECT_TRUE(Holds("AMOUNT <= 4.75"));
  qty_ = -12;
  EXPECT_TRUE(Holds("QTY < 5"));
  EXPECT_TRUE(Holds("QTY + 12 = 0"));
  big_ = int64_t{1} << 40;
  EXPECT_TRUE(Holds("BIG > QTY"));
  EXPECT_TRUE(Holds("QTY < BIG"));
  EXPECT_TRUE(Holds("BIG = BIG"));
  // 2^53 + 1 has no double: the comparison still sees the difference.
  big_ = (int64_t{1} << 53) + 1;
  amount_ = 9007199254740992.0;
  EXPECT_FALSE(Holds("BIG = AMOUNT"));
  EXPECT_TRUE(Holds("BIG > AMOUNT"));
  EXPECT_TRUE(Holds("AMOUNT < BIG"));

  for (const char* text : {"AMOUNT = '5'", "NAME = 5", "DUE = DUE", "NAME < QTY"}) {
    SCOPED_TRACE(text);
    try {
      parser_.CompileText(text);
      ADD_FAILURE();
    } catch (const EParserException& e) {
      EXPECT_EQ(e.Message(), "Argument type mismatch");
    }
  }
}

TEST_F(TBuiltInWordsTest, AdditionWrapsIntegersAndRoundsFloatsOnce) {
  parser_.CompileText("2147483647 + 1");
  EXPECT_EQ(parser_.ResultType(), rtInteger);
  parser_.Evaluate();
  EXPECT_EQ(parser_.Integer(), std::numeric_limits<int32_t>::min());

  big_ = std::numeric_limits<int64_t>::max();
  parser_.CompileText("BIG + 1");
  EXPECT_EQ(parser_.ResultType(), rtLargeInt);
  parser_.Evaluate();
  EXPECT_EQ(parser_.LargeInt(), std::numeric_limits<int64_t>::min());
  parser_.CompileText("QTY + BIG");
  qty_ = -1;
  parser_.Evaluate();
  EXPECT_EQ(parser_.LargeInt(), std::numeric_limits<int64_t>::max() - 1);

  big_ = (int64_t{1} << 53) + 1;
  amount_ = 2.0;
  parser_.CompileText("BIG + AMOUNT");
  EXPECT_EQ(parser_.ResultType(), rtFloat);
  parser_.Evaluate();
  EXPECT_EQ(parser_.Float(), 9007199254740996.0);
  parser_.CompileText("AMOUNT + QTY");
  qty_ = 3;
  parser_.Evaluate();
  EXPECT_EQ(parser_.Float(), 5.0);
}

TEST_F(TBuiltInWordsTest, LogicalOperatorsAndBindingLevels) {
  name_ = const_cast<char*>("x");
  qty_ = 1;
  EXPECT_FALSE(Holds("NOT NAME = 'x'"));
  EXPECT_TRUE(Holds("NAME = 'x' AND QTY = 1"));
  EXPECT_TRUE(Holds("NAME = 'y' OR QTY = 1"));
  EXPECT_FALSE(Holds("NAME = 'y' OR QTY = 1 AND QTY = 2"));
  EXPECT_TRUE(Holds("'a' + NAME = 'ax'"));
  EXPECT_TRUE(Holds("NOT (NAME = 'y')"));
  try {
    parser_.CompileText("NAME <> 'x'");
    ADD_FAILURE();
  } catch (const EParserException& e) {
    EXPECT_EQ(e.Message(), "Unknown variable '<>' found.");
  }
}

TEST_F(TBuiltInWordsTest, StrOfFloats) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"STR(3.14159, 10, 2)", "      3.14"},
      {"STR(3.14159)", "3"},
      {"STR(3.14159, 4)", "   3"},
      {"STR(2.5)", "3"},
      {"STR(0.125, 6, 2)", "  0.13"},
      {"STR(9.996, 5, 2)", "10.00"},
      {"STR(1234.5, 3)", "123"},
      {"STR(0.5, 1, 0)", "1"},
      {"STR(0.0, 4, 1)", " 0.0"},
      {"STR(123456789.123456789, 25, 10)", "     123456789.1234567910"},
      {"STR(100000000000000000000.0)", "100000000000000000"},
      {"STR(3.5, 0)", ""},
      {"STR(3.5, 10, 19)", ""},
      {"STR(3.5, 10, 0)", "         4"},
  };
  for (const Case& c : cases) EXPECT_EQ(Text(c.text), c.expected) << c.text;
  amount_ = -42.5;
  EXPECT_EQ(Text("STR(AMOUNT, 8, 1)"), "   -42.5");
  EXPECT_EQ(Text("STR(AMOUNT)"), "-43");
  amount_ = -0.001;
  EXPECT_EQ(Text("STR(AMOUNT, 3)"), "  0");
  amount_ = std::numeric_limits<double>::infinity();
  EXPECT_EQ(Text("STR(AMOUNT, 5)"), "  INF");
  amount_ = -std::numeric_limits<double>::max();
  EXPECT_EQ(Text("STR(AMOUNT, 30, 18)").size(), 30u);
  // The decimal point is "." whatever the locale says.
  TFormatSettings saved = FormatSettings();
  FormatSettings().DecimalSeparator = ',';
  amount_ = 1.25;
  EXPECT_EQ(Text("STR(AMOUNT, 5, 2)"), " 1.25");
  FormatSettings() = saved;
}

TEST_F(TBuiltInWordsTest, StrOfIntegers) {
  struct Case {
    const char* text;
    std::string expected;
  } cases[] = {
      {"STR(42, 5)", "00042"},    {"STR(12345, 3)", "345"},
      {"STR(7, 3, 2)", "007.00"}, {"STR(42)", "42"},
      {"STR(0, 1)", "0"},         {"STR(7, 3, 0)", "007."},
      {"STR(42, 0)", ""},         {"STR(42, 300)", ""},
      {"STR(42, 3, 300)", ""},    {"STR(42, 2, 200)", "42." + std::string(200, '0')},
  };
  for (const Case& c : cases) EXPECT_EQ(Text(c.text), c.expected) << c.text;
  qty_ = -42;
  EXPECT_EQ(Text("STR(QTY, 5)"), "-0042");
  EXPECT_EQ(Text("STR(QTY)"), "-42");
  EXPECT_EQ(Text("STR(QTY, 2)"), "-2");
  EXPECT_EQ(Text("STR(QTY, 1)"), "-");
  qty_ = std::numeric_limits<int32_t>::min();
  EXPECT_EQ(Text("STR(QTY)"), "-2147483648");
  EXPECT_EQ(Text("STR(QTY, 12)"), "-02147483648");
}

TEST_F(TBuiltInWordsTest, DtosSubstrAndCase) {
  due_ = EncodeDate(2024, 1, 31) + 0.75;
  EXPECT_EQ(Text("DTOS(DUE)"), "20240131");
  due_ = 0;
  EXPECT_EQ(Text("DTOS(DUE)"), "18991230");
  due_ = -1.5;
  EXPECT_EQ(Text("DTOS(DUE)"), "18991229");
  due_ = EncodeDate(1, 1, 1);
  EXPECT_EQ(Text("DTOS(DUE)"), "00010101");
  for (double bad : {-700000.0, 3e6, std::nan("")}) {
    due_ = bad;
    EXPECT_EQ(Text("DTOS(DUE)"), "        ");
  }

  name_ = const_cast<char*>("ABCDE");
  EXPECT_EQ(Text("SUBSTR(NAME, 2, 3)"), "BCD");
  EXPECT_EQ(Text("SUBSTR(NAME, 3, 3)"), "CDE");
  EXPECT_EQ(Text("SUBSTR(NAME, 4, 3)"), "");
  EXPECT_EQ(Text("SUBSTR(NAME, 1, 0)"), "");
  EXPECT_EQ(Text("SUBSTR(NAME, 0, 2)"), "");
  qty_ = -1;
  EXPECT_EQ(Text("SUBSTR(NAME, 2, QTY)"), "");
  EXPECT_EQ(Text("SUBSTR(NAME, QTY, 2)"), "");
  EXPECT_EQ(Text("SUBSTR(NAME, 2147483647, 2147483647)"), "");
  EXPECT_EQ(Text("'<' + SUBSTR(NAME, 9, 1) + '>'"), "<>");

  name_ = const_cast<char*>(
      "Stra\xDF"
      "e \xE9t\xC9");
  EXPECT_EQ(Text("UPPER(NAME)"),
            "STRA\xDF"
            "E \xE9T\xC9");
  EXPECT_EQ(Text("UPPERCASE(NAME)"),
            "STRA\xDF"
            "E \xE9T\xC9");
  EXPECT_EQ(Text("LOWER(NAME)"),
            "stra\xDF"
            "e \xE9t\xC9");
  EXPECT_EQ(Text("lowercase(NAME)"),
            "stra\xDF"
            "e \xE9t\xC9");
  // Only the appended part is folded.
  EXPECT_EQ(Text("NAME + LOWER('XY')"),
            "Stra\xDF"
            "e \xE9t\xC9xy");
}

TEST_F(TBuiltInWordsTest, StrOverloadsFollowTheArgumentType) {
  EXPECT_EQ(Text("STR(42, 5)"), "00042");
  EXPECT_EQ(Text("STR(42.0, 5)"), "   42");
  amount_ = 3;
  EXPECT_EQ(Text("STR(AMOUNT, 5, 1)"), "  3.0");
  name_ = const_cast<char*>(
      "Stra\xDF"
      "e");
  EXPECT_EQ(Text("UPPER(STR(QTY, 3) + NAME)"),
            "000STRA\xDF"
            "E");
}

TEST_F(TBuiltInWordsTest, LongResultsGrowTheirBuffersOnce) {
  std::string longName(200, 'a');
  name_ = longName.data();
  EXPECT_EQ(Text("UPPER(NAME + NAME) + LOWER(NAME)"),
            std::string(400, 'A') + std::string(200, 'a'));
  const char* buffer = parser_.ResultBuffer();
  for (int n = 0; n < 5; ++n) parser_.Evaluate();
  EXPECT_EQ(parser_.ResultBuffer(), buffer);
  EXPECT_EQ(std::string(parser_.Text()), std::string(400, 'A') + std::string(200, 'a'));
}

}  // namespace
