#include "tdbf/expr/dbf_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "expr_test_parser.h"
#include "platform/env.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/file/dbf_fields.h"
#include "tests/support/jsonl.h"
#include "tests/support/temp_dir.h"

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
  auto overloads = [&](const char* name) {
    std::string signatures;
    int index = 0;
    parser_.Words().Search(name, index);
    for (; index < parser_.Words().Count() && parser_.Words()[index]->Name() == name; ++index)
      signatures += std::string(parser_.Words()[index]->Signature()) + " ";
    return signatures;
  };
  EXPECT_EQ(overloads("+"), "FD ID DF DI LI LL LF IL FL II IF FI FF SS ");
  EXPECT_EQ(overloads("<="), "DD IL FL LI LF LL IF II FI FF SS ");
  EXPECT_EQ(overloads("<>"), "BB DD IL FL LI LF LL IF II FI FF SS ");
  EXPECT_EQ(overloads("str"), "III FII ");
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
  EXPECT_FALSE(NameHolds("\351", "NAME = '\311'"));
  EXPECT_TRUE(NameHolds("\351", "NAME > 'z'"));
  EXPECT_TRUE(NameHolds("Stra\337e", "NAME = 'STRA\337E'"));
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
  big_ = int64_t{1} << 40;
  EXPECT_TRUE(Holds("QTY < BIG AND BIG > QTY"));
  // 2^53 + 1 has no double: the comparison still sees the difference.
  big_ = (int64_t{1} << 53) + 1;
  amount_ = 9007199254740992.0;
  EXPECT_FALSE(Holds("BIG = AMOUNT"));
  EXPECT_TRUE(Holds("BIG > AMOUNT"));
  EXPECT_TRUE(Holds("AMOUNT < BIG"));

  struct Mismatch {
    const char* text;
    const char* message;
    int position;
  } mismatches[] = {
      {"AMOUNT = '5'", "Cannot compare Numeric with Character in AMOUNT = '5'", 8},
      {"NAME < QTY", "Cannot compare Character with Numeric in NAME < QTY", 6},
      {"QTY > 1 AND  DUE # 'x'", "Cannot compare Date with Character in DUE # 'x'", 18},
      {"DUE + DUE > 1", "Cannot apply + to Date and Date in DUE + DUE", 5},
      {"-NAME = 'x'", "Cannot apply - to Character in -NAME", 1},
  };
  for (const Mismatch& m : mismatches) {
    SCOPED_TRACE(m.text);
    try {
      parser_.CompileText(m.text);
      ADD_FAILURE();
    } catch (const EParserException& e) {
      EXPECT_EQ(e.Message(), m.message);
      EXPECT_EQ(e.Position(), m.position);
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
  // The argument type picks the overload.
  EXPECT_EQ(Text("STR(42.0, 5)"), "   42");
  amount_ = 3;
  EXPECT_EQ(Text("STR(AMOUNT, 5, 1)"), "  3.0");
}

TEST_F(TBuiltInWordsTest, DtosSubstrAndCase) {
  due_ = EncodeDate(2024, 1, 31) + 0.75;
  EXPECT_EQ(Text("DTOS(DUE)"), "20240131");
  due_ = 0;
  EXPECT_EQ(Text("DTOS(DUE)"), "18991230");
  due_ = -1.5;
  EXPECT_EQ(Text("DTOS(DUE)"), "18991229");
  for (double bad : {-700000.0, 3e6, std::nan("")}) {
    due_ = bad;
    EXPECT_EQ(Text("DTOS(DUE)"), "        ");
  }

  name_ = const_cast<char*>("ABCDE");
  EXPECT_EQ(Text("SUBSTR(NAME, 2, 3)"), "BCD");
  EXPECT_EQ(Text("SUBSTR(NAME, 3, 3)"), "CDE");
  EXPECT_EQ(Text("SUBSTR(NAME, 4, 3)"), "");
  EXPECT_EQ(Text("SUBSTR(NAME, 0, 2)"), "");
  qty_ = -1;
  EXPECT_EQ(Text("SUBSTR(NAME, 2, QTY)"), "");
  EXPECT_EQ(Text("SUBSTR(NAME, QTY, 2)"), "");
  EXPECT_EQ(Text("SUBSTR(NAME, 2147483647, 2147483647)"), "");
  EXPECT_EQ(Text("'<' + SUBSTR(NAME, 9, 1) + '>'"), "<>");

  name_ = const_cast<char*>("Stra\337e \351t\311");
  EXPECT_EQ(Text("UPPER(NAME)"), "STRA\337E \351T\311");
  EXPECT_EQ(Text("UPPERCASE(NAME)"), "STRA\337E \351T\311");
  EXPECT_EQ(Text("LOWER(NAME)"), "stra\337e \351t\311");
  EXPECT_EQ(Text("lowercase(NAME)"), "stra\337e \351t\311");
  // Only the appended part is folded.
  EXPECT_EQ(Text("NAME + LOWER('XY')"), "Stra\337e \351t\311xy");
}

// ---- Table binding --------------------------------------------------------------

struct TFieldLayout {
  const char* name;
  char letter;
  int size;
  int decimals;
};

class TDbfParserTest : public ::testing::Test {
 protected:
  // A new table in memory with these fields and one blank record image.
  void Make(std::initializer_list<TFieldLayout> fields, bool useFloatFields = true) {
    parser_.reset();
    file_ = std::make_unique<TDbfFile>("expr.dbf");
    file_->SetMode(amMemory);
    file_->SetTableFormat(tfDBase4);
    file_->Open();
    TDbfFieldDefs defs;
    defs.SetUseFloatFields(useFloatFields);
    file_->SetUseFloatFields(useFloatFields);
    for (const TFieldLayout& layout : fields) {
      TDbfFieldDef& def = defs.Add();
      def.SetFieldName(layout.name);
      def.SetSize(layout.size);
      def.SetPrecision(layout.decimals);
      def.SetNativeFieldType(layout.letter);
    }
    file_->CreateStructure(defs, 512);
    record_.assign(static_cast<size_t>(file_->RecordSize()), ' ');
    file_->BlankRecord(record_.data());
    parser_ = std::make_unique<TDbfParser>(file_.get());
  }
  TDbfFieldDef& Def(const char* name) {
    TDbfFieldDef* def = file_->FindFieldDef(name);
    EXPECT_NE(def, nullptr) << name;
    return *def;
  }
  // Stores the field's bytes as given, padded with blanks.
  void SetBytes(const char* name, const std::string& bytes) {
    TDbfFieldDef& def = Def(name);
    std::string field = bytes;
    field.resize(static_cast<size_t>(def.Size()), ' ');
    record_.replace(static_cast<size_t>(def.Offset()), field.size(), field);
  }
  template <class T>
  void Set(const char* name, TFieldType type, T value) {
    file_->WriteFieldValue(Def(name), type, record_.data(), &value);
  }
  bool Accepts(const std::string& text) {
    parser_->ParseText(text);
    EXPECT_EQ(parser_->ResultType(), rtBoolean) << text;
    return parser_->EvaluateRecord(record_.data())[0] != 0;
  }
  std::string Text(const std::string& text) {
    parser_->ParseText(text);
    EXPECT_EQ(parser_->ResultType(), rtString) << text;
    return parser_->EvaluateRecord(record_.data());
  }
  template <class E>
  void ExpectError(const std::string& text, const std::string& message) {
    SCOPED_TRACE(text);
    parser_->ClearChain();
    const int words = parser_->Words().Count();
    try {
      parser_->ParseText(text);
      ADD_FAILURE() << "parsed";
    } catch (const E& e) {
      EXPECT_EQ(e.Message(), message);
    }
    // Nothing of the failed text stays behind.
    EXPECT_EQ(parser_->CurrentExpression(), "");
    EXPECT_EQ(parser_->FieldVarCount(), 0);
    EXPECT_EQ(parser_->FirstNode(), nullptr);
    EXPECT_EQ(parser_->Words().Count(), words);
  }

  std::unique_ptr<TDbfFile> file_;
  std::unique_ptr<TDbfParser> parser_;
  std::string record_;
};

TEST_F(TDbfParserTest, TextFilterBindsTheFieldAtItsWidth) {
  Make({{"NAME", 'C', 10, 0}, {"CITY", 'C', 8, 0}});
  SetBytes("NAME", "ABC");
  EXPECT_TRUE(Accepts("NAME='abc'"));
  EXPECT_TRUE(parser_->IsComputed());
  EXPECT_EQ(parser_->ResultLength(), 1);
  EXPECT_EQ(parser_->CurrentExpression(), "NAME='abc'");
  ASSERT_EQ(parser_->FieldVarCount(), 1);
  EXPECT_EQ(parser_->FieldVars(0)->VarResultType(), rtString);
  int index;
  ASSERT_TRUE(parser_->Words().Search("name", index));
  EXPECT_EQ(parser_->Words()[index]->FixedLength(), 10);
  SetBytes("NAME", "abcd");
  EXPECT_FALSE(parser_->EvaluateRecord(record_.data())[0]);
  // A field named three times, in any case, is bound once.
  EXPECT_TRUE(Accepts("name = 'x' OR NAME = 'abcd' OR Name = 'y'"));
  EXPECT_EQ(parser_->FieldVarCount(), 1);
  // Clearing removes the field's word again.
  parser_->ClearChain();
  EXPECT_FALSE(parser_->Words().Search("name", index));
  EXPECT_EQ(parser_->ResultType(), rtUnknown);
}

TEST_F(TDbfParserTest, NumberFiltersCompareWithTheFieldsOwnType) {
  Make({{"AMOUNT", 'N', 10, 2}, {"QTY", 'N', 9, 0}, {"SMALL", 'N', 4, 0}}, false);
  Set("AMOUNT", ftFloat, 12.5);
  Set("QTY", ftInteger, int32_t{12});
  Set("SMALL", ftSmallint, int16_t{-12});
  EXPECT_TRUE(Accepts("AMOUNT=12.5"));
  EXPECT_EQ(parser_->LastNode()->Word->Signature(), "FF");
  EXPECT_TRUE(Accepts("QTY=12"));
  EXPECT_EQ(parser_->LastNode()->Word->Signature(), "II");
  EXPECT_TRUE(Accepts("SMALL < 5"));
  EXPECT_TRUE(Accepts("SMALL + 12 = 0"));
  EXPECT_TRUE(Accepts("AMOUNT > QTY"));
  // Empty numeric fields read as 0.
  SetBytes("AMOUNT", "");
  SetBytes("QTY", "");
  EXPECT_TRUE(Accepts("AMOUNT = 0 AND QTY = 0"));
  ExpectError<EParserException>("AMOUNT=12,5", "Operand/function missing");
  ExpectError<EParserException>("AMOUNT = '5'",
                                "Cannot compare Numeric with Character in AMOUNT = '5'");
  // An index key naming a field the table lacks keeps the index's message.
  ExpectError<EDbfError>("PRICE > 1", "Index based on unknown field \"PRICE\".");
}

// A field compared with a constant is read straight from the record by one
// node; on every stored value it decides as the same comparison with the
// operands swapped, which goes through the general nodes.
TEST_F(TDbfParserTest, FieldAgainstConstantReadsTheRecordAsTheGeneralPathDoes) {
  using namespace std::string_literals;
  Make({{"NAME", 'C', 6, 0}, {"AMOUNT", 'N', 10, 2}, {"QTY", 'N', 9, 0}, {"SMALL", 'N', 4, 0}},
       false);
  const std::vector<std::string> names = {"",
                                          "abc",
                                          "ABC",
                                          "  abc",
                                          "abcd",
                                          "ab",
                                          "\xC4"
                                          "bc",
                                          "a\0bc"s,
                                          "zz",
                                          "abc\0zz"s};
  const std::vector<std::string> numbers = {"",      "12.5",  "  -12.50", "12",    "-0.00", "1e1",
                                            "12.",   ".5",    "*****",    "1 2",   "- 5",   "9.99",
                                            "12\0"s, "99999", "-1",       "12.49", "+12"};
  const std::vector<std::pair<const char*, const char*>> ops = {
      {"=", "="}, {"<>", "#"}, {"!=", "<>"}, {"<", ">"}, {">", "<"}, {"<=", ">="}, {">=", "<="}};
  auto same = [&](const std::string& field, const std::string& constant) {
    for (const auto& [op, mirrored] : ops) {
      const std::string fused = field + " " + op + " " + constant;
      const bool result = Accepts(fused);
      EXPECT_EQ(parser_->FirstNode()->Next, nullptr) << fused << ": one node";
      EXPECT_EQ(result, Accepts(constant + " " + mirrored + " " + field)) << fused;
    }
  };
  for (const std::string& name : names) {
    SetBytes("NAME", name);
    for (const char* constant : {"'abc'", "''", "'ABC  '", "'ab'",
                                 "'\xE4"
                                 "BC'",
                                 "'b'"})
      same("NAME", constant);
  }
  for (const std::string& number : numbers) {
    SCOPED_TRACE(number);
    SetBytes("AMOUNT", number);
    SetBytes("QTY", number);
    SetBytes("SMALL", number.size() <= 4 ? number : "");
    for (const char* field : {"AMOUNT", "QTY", "SMALL"})
      for (const char* constant : {"12", "12.5", "-12.5", "0", "-1", "99999", "12.49"})
        same(field, constant);
  }
  // A field also read by other nodes is still loaded for them.
  SetBytes("NAME", "abc");
  SetBytes("AMOUNT", "7.25");
  EXPECT_TRUE(Accepts("NAME = 'ABC' AND UPPER(NAME) = 'ABC' AND AMOUNT > 7 AND AMOUNT * 4 = 29"));
  SetBytes("NAME", "abd");
  EXPECT_FALSE(Accepts("NAME = 'ABC' OR UPPER(NAME) = 'ABC'"));
}

TEST_F(TDbfParserTest, NamesWithBytesOutsideAsciiOnlyBindAlone) {
  Make({{"\xDDL", 'C', 5, 0}});
  SetBytes("\xDDL", "x");
  ExpectError<EDbfError>("\xDDL = 'x'", "Index based on unknown field \"\xDD\".");
  parser_->ParseText("\xDDL");
  EXPECT_FALSE(parser_->IsComputed());
  EXPECT_EQ(parser_->ResultLength(), 5);
  EXPECT_EQ(parser_->EvaluateRecord(record_.data()), record_.data() + 1);
}

TEST_F(TDbfParserTest, DatesLogicalsAndUnsupportedTypes) {
  Make({{"DUE", 'D', 8, 0}, {"ACTIVE", 'L', 1, 0}, {"NOTES", 'M', 10, 0}, {"PIC", 'B', 10, 0}});
  SetBytes("DUE", "20240131");
  EXPECT_EQ(Text("DTOS(DUE)"), "20240131");
  SetBytes("DUE", "");
  EXPECT_EQ(Text("DTOS(DUE)"), "18991230");
  parser_->ParseText("DUE");
  EXPECT_EQ(parser_->ResultType(), rtDateTime);
  EXPECT_EQ(parser_->ResultLength(), 8);
  SetBytes("DUE", "19000301");
  double date;
  std::memcpy(&date, parser_->EvaluateRecord(record_.data()), sizeof date);
  EXPECT_EQ(date, EncodeDate(1900, 3, 1));

  SetBytes("ACTIVE", "T");
  EXPECT_TRUE(Accepts("'T' = ACTIVE"));
  EXPECT_TRUE(Accepts("ACTIVE = 't'"));
  SetBytes("ACTIVE", "?");
  EXPECT_FALSE(Accepts("ACTIVE = 'T'"));
  ExpectError<EDbfError>("NOTES = 'x'",
                         "Field \"NOTES\" is an invalid field type to base index on.");
  ExpectError<EDbfError>("PIC", "Field \"PIC\" is an invalid field type to base index on.");
}

TEST_F(TDbfParserTest, DateTimesBecomeDayNumbersWithTheTimeAsFraction) {
  Make({{"STAMP", '@', 8, 0}, {"WHEN", 'T', 14, 0}});
  auto msecs = [](int y, int m, int d, double hours) {
    int32_t day = 0;
    TryEncodeDayNumber(y, m, d, day);
    return day * 86400000.0 + hours * 3600000.0;
  };
  parser_->ParseText("STAMP");
  EXPECT_EQ(parser_->ResultType(), rtDateTime);
  auto value = [&] {
    double v;
    std::memcpy(&v, parser_->EvaluateRecord(record_.data()), sizeof v);
    return v;
  };
  Set("STAMP", ftDateTime, msecs(2024, 1, 31, 18));
  EXPECT_EQ(value(), EncodeDate(2024, 1, 31) + 0.75);
  // Before 1899-12-30 the time of day counts away from zero.
  Set("STAMP", ftDateTime, msecs(1899, 12, 29, 12));
  EXPECT_EQ(value(), -1.5);
  SetBytes("STAMP", std::string(8, '\0'));
  EXPECT_EQ(value(), 0.0);
  SetBytes("WHEN", "20240131063000");
  parser_->ParseText("WHEN");
  EXPECT_EQ(value(), EncodeDate(2024, 1, 31) + 0.25 + 1.0 / 48);
  EXPECT_EQ(Text("DTOS(WHEN)"), "20240131");
}

TEST_F(TDbfParserTest, BinaryAndLargeIntegerFields) {
  Make({{"ID", 'I', 4, 0}, {"AUTO", '+', 4, 0}, {"RATE", 'O', 8, 0}, {"BIG", 'N', 15, 0}}, false);
  Set("ID", ftInteger, int32_t{-7});
  Set("RATE", ftFloat, 0.25);
  Set("BIG", ftLargeint, int64_t{123456789012345});
  EXPECT_TRUE(Accepts("ID + 7 = 0"));
  EXPECT_TRUE(Accepts("AUTO = 0"));
  EXPECT_TRUE(Accepts("RATE = 0.25"));
  EXPECT_TRUE(Accepts("BIG = BIG AND BIG > 123456789012344.5"));
  parser_->ParseText("BIG");
  EXPECT_EQ(parser_->ResultType(), rtLargeInt);
  EXPECT_EQ(parser_->ResultLength(), 8);
  int64_t big;
  std::memcpy(&big, parser_->EvaluateRecord(record_.data()), sizeof big);
  EXPECT_EQ(big, 123456789012345);
  parser_->ParseText("ID");
  EXPECT_EQ(parser_->ResultLength(), 4);
  parser_->ParseText("BIG + ID");
  EXPECT_EQ(parser_->ResultType(), rtLargeInt);
  std::memcpy(&big, parser_->EvaluateRecord(record_.data()), sizeof big);
  EXPECT_EQ(big, 123456789012338);
}

TEST_F(TDbfParserTest, IndexKeyLengths) {
  Make({{"NAME", 'C', 30, 0}, {"CITY", 'C', 20, 0}, {"LONG", 'C', 71, 0}});
  SetBytes("NAME", "Smith");
  parser_->ParseText("NAME");
  EXPECT_FALSE(parser_->IsComputed());
  EXPECT_EQ(parser_->ResultType(), rtString);
  EXPECT_EQ(parser_->ResultLength(), 30);
  // The single field's bytes inside the record itself.
  EXPECT_EQ(parser_->EvaluateRecord(record_.data()), record_.data() + Def("NAME").Offset());
  parser_->ParseText("UPPER(NAME)");
  EXPECT_TRUE(parser_->IsComputed());
  EXPECT_EQ(parser_->ResultLength(), 30);
  EXPECT_EQ(std::string(parser_->EvaluateRecord(record_.data())), "SMITH" + std::string(25, ' '));
  parser_->ParseText("NAME + CITY");
  EXPECT_EQ(parser_->ResultLength(), 50);
  parser_->ParseText("SUBSTR(NAME, 1, 3) + STR(5, 4)");
  EXPECT_EQ(parser_->ResultLength(), 7);
  parser_->ParseText("LONG + 'abcdefghijklmnopqrstuvwxyz123'");
  EXPECT_EQ(parser_->ResultLength(), 100);
  ExpectError<EDbfError>("LONG + NAME",
                         "Index result for \"LONG + NAME\" too long, >100 characters (101).");
  // The parser is clean again after the failure.
  parser_->ParseText("CITY");
  EXPECT_EQ(parser_->ResultLength(), 20);
  EXPECT_EQ(parser_->FieldVarCount(), 1);
}

TEST_F(TDbfParserTest, FieldsNamedLikeBuiltInWords) {
  // Real tables have fields called YEAR, DATE or LEFT: a name followed by
  // "(" calls the function, without it the name is the field.
  Make({{"UPPER", 'C', 10, 0}, {"AND", 'C', 5, 0}, {"NAME", 'C', 5, 0}, {"YEAR", 'N', 4, 0}});
  SetBytes("UPPER", "up");
  SetBytes("AND", "x");
  SetBytes("NAME", "ab");
  Set("YEAR", ftInteger, int32_t{1999});
  auto single = [&](const char* name) {
    parser_->ParseText(name);
    EXPECT_FALSE(parser_->IsComputed());
    return std::string(parser_->EvaluateRecord(record_.data()),
                       static_cast<size_t>(parser_->ResultLength()));
  };
  EXPECT_EQ(single("UPPER"), "up        ");
  EXPECT_TRUE(Accepts("UPPER = 'UP' AND UPPER(NAME) = 'AB'"));
  EXPECT_TRUE(Accepts("YEAR > 1995 AND STR(YEAR, 4) = '1999'"));
  // The operator AND stays an operator inside an expression; alone the
  // text is the field.
  EXPECT_EQ(single("and"), "x    ");
  ExpectError<EParserException>("AND = 'x'", "Function or operand has too few arguments");
}

// The dBase syntax a user writes, on one record of a real table image:
// ID 99995, NAME "SMITH" at its width, ACTIVE by the stored byte, AMOUNT
// -2.5, DUE 2024-01-31, PAID empty.
class TDbaseSyntaxTest : public TDbfParserTest {
 protected:
  void SetUp() override {
    Make({{"ID", 'N', 6, 0},
          {"NAME", 'C', 10, 0},
          {"ACTIVE", 'L', 1, 0},
          {"AMOUNT", 'N', 8, 2},
          {"DUE", 'D', 8, 0},
          {"PAID", 'D', 8, 0}},
         false);
    Set("ID", ftInteger, int32_t{99995});
    SetBytes("NAME", "SMITH");
    SetBytes("ACTIVE", "T");
    Set("AMOUNT", ftFloat, -2.5);
    SetBytes("DUE", "20240131");
  }
  bool Filter(const std::string& text) {
    parser_->ParseFilter(text);
    EXPECT_EQ(parser_->ResultType(), rtBoolean) << text;
    return parser_->EvaluateRecord(record_.data())[0] != 0;
  }
  double Number(const std::string& text) {
    parser_->ParseText(text);
    const char* result = parser_->EvaluateRecord(record_.data());
    switch (parser_->ResultType()) {
      case rtInteger:
        return ArgValueOf<int32_t>(result);
      case rtLargeInt:
        return static_cast<double>(ArgValueOf<int64_t>(result));
      default:
        EXPECT_TRUE(parser_->ResultType() == rtFloat || parser_->ResultType() == rtDateTime)
            << text;
        return ArgValueOf<double>(result);
    }
  }
  template <class T>
  static T ArgValueOf(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
  }
};

TEST_F(TDbaseSyntaxTest, LogicalWordsLiteralsAndFields) {
  for (const char* text : {".T.", ".t.", ".Y.", "! .F.", ".NOT. .n.", "NOT .F. .AND. .T.",
                           ".F. .OR. .y.", "ACTIVE", "NOT !ACTIVE", "(ID>99990) AND ACTIVE",
                           "ACTIVE .AND. ID > 0", "ACTIVE = .T.", "ACTIVE <> .F.", "'T' = ACTIVE",
                           "ACTIVE = 't'", "ID>1.AND.ACTIVE", "IIF(ACTIVE, 1, 2) = 1"})
    EXPECT_TRUE(Filter(text)) << text;
  for (const char* text : {".F.", "NOT ACTIVE", "!ACTIVE", ".NOT. ACTIVE .OR. ID < 5",
                           "ACTIVE = .F.", "ACTIVE AND .N."})
    EXPECT_FALSE(Filter(text)) << text;
  // Y is true; F, N, ? and a blank are false, while the byte still
  // compares as text.
  for (const char* stored : {"y", "F", "N", "?", " "}) {
    SetBytes("ACTIVE", stored);
    EXPECT_EQ(Filter("ACTIVE"), stored[0] == 'y') << stored;
    EXPECT_EQ(Filter("ACTIVE = '?'"), stored[0] == '?') << stored;
    EXPECT_EQ(Filter("EMPTY(ACTIVE)"), stored[0] != 'y') << stored;
  }
}

TEST_F(TDbaseSyntaxTest, SignsArithmeticAndPrecedence) {
  EXPECT_TRUE(Filter("ID < -1 OR ID > 1-1"));
  EXPECT_TRUE(Filter("AMOUNT < -2 AND -AMOUNT = 2.5 AND +AMOUNT = AMOUNT"));
  EXPECT_EQ(Number("-(ID - 5)"), -99990);
  EXPECT_EQ(Number("2 * -3"), -6);
  EXPECT_EQ(Number("- - 4"), 4);
  EXPECT_EQ(Number("2 + 3 * 4 ^ 2"), 50);
  EXPECT_EQ(Number("2 ** 3 ** 2"), 64);
  EXPECT_EQ(Number("(2 + 3) * 4"), 20);
  EXPECT_EQ(Number("10 - 4 - 3"), 3);
  EXPECT_EQ(Number("7 / 2"), 3.5);
  EXPECT_EQ(Number("7 % 3 + ID % 10"), 6);
  EXPECT_EQ(Number("-7 % 3"), -1);
  EXPECT_EQ(Number("7.5 % 2"), 1.5);
  EXPECT_EQ(Number("ID % 0"), 0);
  EXPECT_TRUE(std::isinf(Number("AMOUNT / 0")));
  EXPECT_EQ(Number("AMOUNT * 2 + ID"), 99990);
  EXPECT_EQ(Number("2147483647 * 2"), -2);
  parser_->ParseText("ID * 2");
  EXPECT_EQ(parser_->ResultType(), rtInteger);
  parser_->ParseText("ID / 5");
  EXPECT_EQ(parser_->ResultType(), rtFloat);
}

TEST_F(TDbaseSyntaxTest, ComparisonsContainedInAndTextLiterals) {
  for (const char* text :
       {"NAME <> 'x'", "NAME # 'x'", "NAME != 'x'", "NOT NAME <> 'smith'", "ID <> 1", "AMOUNT # 0",
        "DUE <> PAID", "'MI' $ NAME", "'SMITH' $ NAME", "\"TH\" $ NAME .AND. [it] $ 'with'",
        "NAME = [smith]", "NAME == 'SMITH     '", "ID == 99995", "DUE > PAID", "DUE = DUE",
        "PAID < DUE .AND. DUE >= DUE"})
    EXPECT_TRUE(Filter(text)) << text;
  for (const char* text : {"NAME <> 'Smith'", "'mi' $ NAME", "'' $ NAME", "'SMITHS' $ NAME",
                           "NAME == 'SMITH'", "NAME == 'smith     '", "DUE < PAID"})
    EXPECT_FALSE(Filter(text)) << text;
}

TEST_F(TDbaseSyntaxTest, DateArithmetic) {
  EXPECT_EQ(Number("DUE + 1"), EncodeDate(2024, 2, 1));
  EXPECT_EQ(Number("30 + DUE"), EncodeDate(2024, 3, 1));
  EXPECT_EQ(Number("DUE - 31.0"), EncodeDate(2023, 12, 31));
  EXPECT_EQ(Number("DUE - (DUE - 366)"), 366);
  EXPECT_EQ(Number("DUE - PAID"), EncodeDate(2024, 1, 31));
  EXPECT_TRUE(Filter("DUE - 1 < DUE AND DUE + 1 > DUE"));
}

TEST_F(TDbaseSyntaxTest, TextFunctions) {
  // NAME is SMITH padded to its width of 10.
  const std::pair<const char*, const char*> cases[] = {
      {"TRIM(NAME) + '|'", "SMITH|"},
      {"RTRIM('  a  ') + '|'", "  a|"},
      {"LTRIM('  a  ') + '|'", "a  |"},
      {"ALLTRIM('  a b  ') + '|'", "a b|"},
      {"TRIM(SPACE(3)) + '|'", "|"},
      {"LEFT(NAME, 3)", "SMI"},
      {"LEFT(NAME, -1) + '|'", "|"},
      {"LEFT(NAME, 99)", "SMITH     "},
      {"RIGHT(TRIM(NAME), 2)", "TH"},
      {"RIGHT(NAME, 12)", "SMITH     "},
      {"SPACE(2) + 'x'", "  x"},
      {"SPACE(-5) + 'x'", "x"},
      {"REPLICATE('ab', 3)", "ababab"},
      {"REPLICATE('ab', 0) + '|'", "|"},
      {"PADL('7', 3, '0')", "007"},
      {"PADR('ab', 4) + '|'", "ab  |"},
      {"PADL('abcdef', 3)", "abc"},
      {"PADR(TRIM(NAME), 7, '*')", "SMITH**"},
      {"STR(LEN(NAME), 2) + STR(LEN(TRIM(NAME)), 2)", "1005"},
      {"STR(AT('IT', NAME), 2) + STR(AT('x', NAME), 2) + STR(AT('', NAME), 2)", "030000"},
      {"STR(VAL(' 12.5kg') * 2, 5, 1) + STR(VAL('-3'), 3) + STR(VAL('abc'), 2)", " 25.0 -3 0"},
      {"IIF(ID > 5, 'big', 'small')", "big"},
      {"IIF(NAME = 'x', NAME, TRIM(NAME) + '!')", "SMITH!"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(Text(text), expected) << text;
  // Texts made from a count stop at 65535 bytes, whatever was asked.
  EXPECT_TRUE(Filter("LEN(SPACE(2147483647)) = 65535 AND LEN(REPLICATE('abc', 99999)) = 65535"));
  EXPECT_TRUE(Filter("EMPTY(PAID) AND EMPTY('  ') AND EMPTY(0) AND EMPTY(.F.) AND !EMPTY(NAME)"));
  EXPECT_TRUE(Filter("TRIM(NAME) == 'SMITH' .AND. LEN(TRIM(NAME)) = 5"));
}

TEST_F(TDbaseSyntaxTest, NumberAndDateFunctions) {
  EXPECT_EQ(Number("ABS(AMOUNT)"), 2.5);
  EXPECT_EQ(Number("ABS(-ID)"), 99995);
  EXPECT_EQ(Number("INT(AMOUNT)"), -2);
  EXPECT_EQ(Number("INT(7.9)"), 7);
  EXPECT_EQ(Number("ROUND(2.675, 2)"), 2.68);
  EXPECT_EQ(Number("ROUND(AMOUNT, 0)"), -3);
  EXPECT_EQ(Number("ROUND(ID, -2)"), 100000);
  EXPECT_EQ(Number("MIN(ID, 3)"), 3);
  EXPECT_EQ(Number("MAX(AMOUNT, ID)"), 99995);
  EXPECT_EQ(Number("MAX(DUE, PAID)"), EncodeDate(2024, 1, 31));
  EXPECT_EQ(Number("YEAR(DUE) * 10000 + MONTH(DUE) * 100 + DAY(DUE)"), 20240131);
  EXPECT_EQ(Number("YEAR(PAID) + MONTH(PAID) + DAY(PAID)"), 0);
  EXPECT_EQ(Number("IIF(ACTIVE, AMOUNT, 0)"), -2.5);
  EXPECT_EQ(Number("IIF(.F., DUE, PAID)"), 0);

  // CTOD and DTOC follow the user's date format.
  TFormatSettings saved = FormatSettings();
  EXPECT_TRUE(Filter("DUE = CTOD('1/31/2024') AND DTOC(DUE) = '1/31/2024'"));
  EXPECT_TRUE(Filter("DUE >= CTOD('01/01/2020') AND EMPTY(CTOD('  ')) AND EMPTY(CTOD('x'))"));
  FormatSettings().ShortDateFormat = "dd.MM.yyyy";
  FormatSettings().DateSeparator = '.';
  EXPECT_TRUE(Filter("DUE = CTOD('31.01.2024') AND DTOC(DUE) == '31.01.2024'"));
  EXPECT_EQ(Text("DTOC(PAID) + '|'"), "          |");
  FormatSettings() = saved;

  // DATE() is today, asked once when the text is compiled: the chain
  // holds a constant in its place.
  const platform::TSystemTime now = platform::TEnv::Default()->LocalTime();
  EXPECT_EQ(Number("DATE()"), EncodeDate(now.year, now.month, now.day));
  EXPECT_TRUE(Filter("DUE < DATE() + 1 AND YEAR(DATE()) >= 2024"));
  for (const TExprNode* node = parser_->FirstNode(); node != nullptr; node = node->Next.get())
    EXPECT_NE(node->Word->Name(), "date");
}

TEST_F(TDbaseSyntaxTest, MessagesSayWhatIsWrongAndWhere) {
  struct Case {
    const char* text;
    const char* message;
    int position;
  } cases[] = {
      {"NAEM = 'x'", "Unknown field 'NAEM'", 1},
      {"ID > 1 AND FOO(NAME)", "Unknown function 'FOO'", 12},
      {"NAME > 5", "Cannot compare Character with Numeric in NAME > 5", 6},
      {"NAME = \"Alice", "Unterminated text starting at position 8", 8},
      {"NAME = [Alice", "Unterminated text starting at position 8", 8},
      {"NAME", "Filter must be a logical expression: NAME is Character", 0},
      {"DUE", "Filter must be a logical expression: DUE is Date", 0},
      {"1", "Filter must be a logical expression: 1 is Numeric", 0},
      {"ID + 1", "Filter must be a logical expression: ID + 1 is Numeric", 0},
      {"ID @ 1", "Unknown operator '@'", 4},
      {"NOT NAME", "Cannot apply NOT to Character in NOT NAME", 1},
      {"LEFT(ID, 2) = 'x'", "Wrong argument types for LEFT: Numeric, Numeric in LEFT(ID, 2)", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const int words = parser_->Words().Count();
    try {
      parser_->ParseFilter(c.text);
      ADD_FAILURE() << "parsed";
    } catch (const EParserException& e) {
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_EQ(e.Position(), c.position);
    }
    EXPECT_EQ(parser_->CurrentExpression(), "");
    EXPECT_EQ(parser_->Words().Count(), words);
  }
}

TEST_F(TDbfParserTest, WithoutATableEveryNameIsUnknown) {
  TDbfParser parser(nullptr);
  try {
    parser.ParseText("NAME = 'x'");
    ADD_FAILURE();
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.Message(), "Index based on unknown field \"NAME\".");
  }
  parser.ParseText("'ab' + 'c'");
  EXPECT_EQ(parser.ResultLength(), 3);
  EXPECT_STREQ(parser.EvaluateRecord(nullptr), "abc");
}

// Expressions over a table written by another program agree with the
// values its independent dump shows.
TEST(TDbfParserRealFileTest, EvaluatesEveryRecordOfARealTable) {
  TTempDir dir;
  const std::string path = dir.File("cars.dbf");
  // With its memo file: once any dataset has existed, table files open
  // their memo files, and a missing one fails the open.
  for (const char* ext : {".dbf", ".dbt"})
    WriteWholeFile(
        dir.File(std::string("cars") + ext),
        ReadWholeFile(TestDataPath(std::string("real/dans-dbf/dbase3plus/cars/cars") + ext)));
  const std::vector<TJsonValue> dump =
      ReadJsonLines(TestDataPath("real/dans-dbf/dbase3plus/cars/cars.expected.jsonl"));
  TDbfFile file(path);
  file.SetMode(amReadOnly);
  file.Open();
  TDbfParser key(&file);
  key.ParseText("DTOS(PROD_DATE) + UPPER(NAME) + STR(YEAR, 4)");
  EXPECT_EQ(key.ResultLength(), 8 + 15 + 4);
  TDbfParser filter(&file);
  filter.ParseText("YEAR > 1995 AND SEDAN = 'T'");
  std::vector<char> record(static_cast<size_t>(file.RecordSize()));
  ASSERT_EQ(file.PageCount(), static_cast<int32_t>(dump.size() - 1));
  for (int32_t recNo = 1; recNo <= file.PageCount(); ++recNo) {
    SCOPED_TRACE(recNo);
    file.ReadPage(recNo, record.data());
    const TJsonValue& values = dump[static_cast<size_t>(recNo)]["values"];
    std::string name = values["NAME"].AsString();
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    name.resize(15, ' ');
    std::string date = values["PROD_DATE"].IsNull() ? "1899-12-30" : values["PROD_DATE"].AsString();
    date.erase(std::remove(date.begin(), date.end(), '-'), date.end());
    const int64_t year = values["YEAR"].IsNull() ? 0 : values["YEAR"].AsInt64();
    const bool sedan = !values["SEDAN"].IsNull() && values["SEDAN"].AsBool();
    EXPECT_EQ(std::string(key.EvaluateRecord(record.data())),
              date + name + Format("%04lld", static_cast<long long>(year)));
    EXPECT_EQ(filter.EvaluateRecord(record.data())[0] != 0, year > 1995 && sedan);
  }
}

}  // namespace
