#include "tdbf/expr/dbf_prscore.h"

#include <gtest/gtest.h>

#include "expr_test_parser.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"

namespace {

class TCustomExpressionParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = FormatSettings();
    parser_.AddBoolean("A", &a_);
    parser_.AddBoolean("B", &b_);
    parser_.AddBoolean("C", &c_);
    parser_.AddIntegerVariable("I", &i_);
    parser_.AddIntegerVariable("J", &j_);
    parser_.AddIntegerVariable("K", &k_);
    parser_.AddFloatVariable("F", &f_);
    parser_.AddStringVariable("S", &s_, -1);
    parser_.AddStringVariable("T", &t_, -1);
    parser_.AddStringVariable("NAME", &name_, 6);
  }
  void TearDown() override { FormatSettings() = saved_; }

  std::string Chain(const std::string& text) {
    parser_.CompileText(text);
    return parser_.Chain();
  }

  // Compiling text fails with exactly this message; the parser is left
  // without a chain and compiles the next text normally.
  template <class E = EParserException>
  void ExpectError(const std::string& text, const std::string& message) {
    SCOPED_TRACE(text);
    try {
      parser_.CompileText(text);
      ADD_FAILURE() << "compiled";
    } catch (const E& e) {
      EXPECT_EQ(e.Message(), message);
    }
    EXPECT_EQ(parser_.FirstNode(), nullptr);
    EXPECT_EQ(parser_.ResultType(), rtUnknown);
    parser_.CompileText("I = 1 AND A");
    i_ = 1;
    a_ = 1;
    parser_.Evaluate();
    EXPECT_TRUE(parser_.Boolean());
  }

  TFormatSettings saved_;
  TTestParser parser_;
  uint8_t a_ = 0, b_ = 0, c_ = 0;
  int32_t i_ = 0, j_ = 0, k_ = 0;
  double f_ = 0;
  char sText_[16] = "abc";
  char tText_[16] = "def";
  char nameText_[16] = "Smith \0xyz";
  char* s_ = sText_;
  char* t_ = tText_;
  char* name_ = nameText_;
};

TEST_F(TCustomExpressionParserTest, OperatorsGroupByPrecedenceThenFromTheLeft) {
  EXPECT_EQ(Chain("A AND B OR C"), "a b and c or");
  EXPECT_EQ(Chain("A OR B AND C"), "a b c and or");
  EXPECT_EQ(Chain("NOT A AND B"), "a not b and");
  EXPECT_EQ(Chain("A and B and C"), "a b and c and");
  EXPECT_EQ(Chain("I = J + K"), "i j k + =");
  EXPECT_EQ(Chain("I + J + K"), "i j + k +");
  EXPECT_EQ(Chain("A OR (B OR C)"), "a b c or or");
  EXPECT_EQ(Chain("NOT S = 'x'"), "s 'x' = not");
  EXPECT_EQ(Chain("S = 'x' AND I = 1"), "s 'x' = i 1 = and");
  // Function calls bind tighter than every operator.
  EXPECT_EQ(Chain("UPPER(S) = T"), "s upper t =");
  EXPECT_EQ(Chain("T = UPPER(S)"), "t s upper =");
  EXPECT_EQ(Chain("SUBSTR(S + T, I + 1, 2) = 'x'"), "s t i 1 + 2 substr 'x' =");
  // The text "+" leaves no node: both sides write into one buffer.
  EXPECT_EQ(Chain("'a' + S = 'ax'"), "'a' s 'ax' =");
}

TEST_F(TCustomExpressionParserTest, NotRunsCollapse) {
  EXPECT_EQ(Chain("NOT NOT A"), "a");
  EXPECT_EQ(Chain("NOT NOT NOT A"), "a not");
  EXPECT_EQ(Chain("not Not NOT not A"), "a");
  EXPECT_EQ(Chain("B AND NOT NOT A"), "b a and");
  EXPECT_EQ(Chain("(NOT NOT NOT A)"), "a not");
  ExpectError<EListError>("NOT NOT", "List index out of bounds (0)");
}

TEST_F(TCustomExpressionParserTest, OuterBracketsAreStripped) {
  EXPECT_EQ(Chain("((S = 'x'))"), Chain("S = 'x'"));
  EXPECT_EQ(Chain("(S = 'x') AND (T = 'y')"), "s 'x' = t 'y' = and");
  EXPECT_EQ(Chain("(((A)))"), "a");
  // Leading and trailing brackets that do not pair with each other stay.
  EXPECT_EQ(Chain("((S = 'x') AND (T = 'y'))"), "s 'x' = t 'y' = and");
  EXPECT_EQ(Chain("((A) AND ((B)))"), "a b and");
  EXPECT_EQ(Chain("((A)) AND ((B))"), "a b and");
  EXPECT_EQ(Chain("(UPPER(S)) = ((T))"), "s upper t =");
}

TEST_F(TCustomExpressionParserTest, BracketsNestedBeyondTheTreeLimitAreRefused) {
  // A thousand redundant brackets still compile; one more level is refused
  // before the tree builder walks the text once per level.
  parser_.CompileText(std::string(kMaxExprDepth, '(') + "A" + std::string(kMaxExprDepth, ')'));
  EXPECT_EQ(parser_.ResultType(), rtBoolean);
  ExpectError(std::string(kMaxExprDepth + 1, '(') + "A" + std::string(kMaxExprDepth + 1, ')'),
              "Expression nested too deeply");
  ExpectError(std::string(100000, '(') + "A" + std::string(100000, ')'),
              "Expression nested too deeply");
}

TEST_F(TCustomExpressionParserTest, NumberLiterals) {
  EXPECT_EQ(Chain("$1F = I"), "31 i =");
  i_ = 31;
  parser_.Evaluate();
  EXPECT_TRUE(parser_.Boolean());
  EXPECT_EQ(Chain("$ff + 0"), "255 0 +");

  parser_.SetFoldEnabled(false);
  for (const char* text : {".5", "0.5"}) {
    parser_.CompileText(text);
    EXPECT_EQ(parser_.ResultType(), rtFloat);
    parser_.Evaluate();
    EXPECT_EQ(parser_.Float(), 0.5) << text;
  }
  parser_.CompileText("1.5e3");
  parser_.Evaluate();
  EXPECT_EQ(parser_.Float(), 1500.0);
  parser_.CompileText("2.5e-1");
  parser_.Evaluate();
  EXPECT_EQ(parser_.Float(), 0.25);
  parser_.CompileText("2147483647");
  EXPECT_EQ(parser_.ResultType(), rtInteger);

  ExpectError<EConvertError>("1e3", "'1e3' is not a valid integer value");
  ExpectError<EConvertError>("2147483648", "'2147483648' is not a valid integer value");
  ExpectError<EConvertError>("$80000000", "'2147483648' is not a valid integer value");
  ExpectError<EConvertError>("$1F.5", "'$1F.5' is not a valid integer value");
  ExpectError<EConvertError>("1.e", "'1.e' is not a valid floating point value");
  // A second point starts a new number.
  ExpectError("1.2.3", "Missing operator between '1.2' and '.3'");
  // An upper-case E ends the number: 1 is followed by the name E3.
  ExpectError("1E3", "Unknown variable 'E3' found.");
  bool asked = false;
  parser_.OnUnknownName = [&](TTestParser&, const std::string& name) { asked = name == "E3"; };
  ExpectError("1E3", "Unknown variable 'E3' found.");
  EXPECT_TRUE(asked);
}

TEST_F(TCustomExpressionParserTest, FloatLiteralsIgnoreTheLocaleSeparatorInTheText) {
  FormatSettings().DecimalSeparator = ',';
  parser_.CompileText("F = 12.5");
  f_ = 12.5;
  parser_.Evaluate();
  EXPECT_TRUE(parser_.Boolean());
  // The comma is the argument separator, not a decimal point.
  ExpectError("F = 12,5", "Operand/function missing");
}

TEST_F(TCustomExpressionParserTest, TextLiterals) {
  EXPECT_EQ(Chain("S = \"x\""), "s \"x\" =");
  ExpectError("'it''s'", "Missing operator between ''it'' and ''s''");
  ExpectError("NAME 'abc'", "Missing operator between 'name' and ''abc''");
  EXPECT_EQ(Chain("S = [x y]"), "s [x y] =");
  parser_.Evaluate();
  // An unclosed literal is an error at the place it starts, counted in the
  // text as given.
  ExpectError("  S = 'abc", "Unterminated text starting at position 7");
  ExpectError("S = [abc", "Unterminated text starting at position 5");
}

TEST_F(TCustomExpressionParserTest, EveryCompileErrorHasItsMessage) {
  parser_.CompileText("");
  EXPECT_EQ(parser_.FirstNode(), nullptr);
  EXPECT_EQ(parser_.ResultType(), rtUnknown);
  ExpectError("(A)(B)", "Missing operator between )(");
  ExpectError("()", "Empty brackets ()");
  ExpectError("A AND (", "Unequal brackets");
  ExpectError("(A", "Unequal brackets");
  ExpectError("A)", "Unequal brackets");
  ExpectError("UPPER()", "Function or operand has too few arguments");
  ExpectError("(A) B", "Missing operator between ) and constant/variable");
  ExpectError("A (B)", "Missing operator between constant/variable and (");
  ExpectError("A B", "Missing operator between 'a' and 'b'");
  ExpectError("AND", "Function or operand has too few arguments");
  ExpectError("A AND", "Function or operand has too few arguments");
  ExpectError("UPPER", "Function or operand has too few arguments");
  ExpectError("SUBSTR(S, 1)", "Function or operand has too few arguments");
  ExpectError("S = 1", "Cannot compare Character with Numeric in S = 1");
  ExpectError("A + B", "Cannot apply + to Logical and Logical in A + B");
  ExpectError("NOT (S)", "Cannot apply NOT to Character in NOT (S)");
  ExpectError("(UPPER(F) + 'x')", "Wrong argument types for UPPER: Numeric in UPPER(F)");
  ExpectError(
      "SUBSTR(S, 'a', 1.5)",
      "Wrong argument types for SUBSTR: Character, Character, Numeric in SUBSTR(S, 'a', 1.5)");
  ExpectError("UPPER(S, T)", "Function or operand has too many arguments");
  ExpectError("SUBSTR(S, 1, 2, 3, 4, 5, 6)", "Function or operand has too many arguments");
  ExpectError("A NOT B", "Function or operand has too many arguments");
  ExpectError("A , B", "Operand/function missing");
  ExpectError(",", "Operand/function missing");
  ExpectError("Q = 1", "Unknown variable 'Q' found.");
  ExpectError("S - 1", "Cannot apply - to Character and Numeric in S - 1");
  ExpectError("S @ T", "Unknown operator '@'");
  ExpectError("FOO(S)", "Unknown function 'FOO'");
  ExpectError<EListError>("UPPER(,S)", "List index out of bounds (0)");
  ExpectError<EListError>("SUBSTR(S,,1)", "List index out of bounds (0)");
  ExpectError<EListError>("SUBSTR(S,1,)", "List index out of bounds (0)");
  ExpectError<EListError>("   ", "List index out of bounds (0)");
}

TEST_F(TCustomExpressionParserTest, OperandsWithoutOperatorBeforeAFunctionAreRefused) {
  ExpectError("S UPPER(T)", "Operand/function missing");
  ExpectError("UPPER(S) UPPER(T)", "Operand/function missing");
  ExpectError("UPPER S", "Operand/function missing");
}

TEST_F(TCustomExpressionParserTest, DeepNestingIsAnErrorNotACrash) {
  std::string nested;
  for (int n = 0; n < 1200; ++n) nested += "(I = 1) = (";
  nested += "A";
  nested += std::string(1200, ')');
  ExpectError(nested, "Expression nested too deeply");
  std::string chained = "A";
  for (int n = 0; n < 1200; ++n) chained += " AND A";
  ExpectError(chained, "Expression nested too deeply");
  std::string calls = "S";
  for (int n = 0; n < 1200; ++n) calls = "UPPER(" + calls + ")";
  ExpectError(calls, "Expression nested too deeply");
  std::string wide = "A";
  for (int n = 0; n < 500; ++n) wide += " AND A";
  parser_.CompileText(wide);
  a_ = 1;
  parser_.Evaluate();
  EXPECT_TRUE(parser_.Boolean());
}

TEST_F(TCustomExpressionParserTest, ConstantTextAndFloatAreFoldedIntegersAreNot) {
  EXPECT_EQ(Chain("'ab' + 'cd'"), "#abcd");
  EXPECT_EQ(parser_.ResultType(), rtString);
  parser_.Evaluate();
  EXPECT_STREQ(parser_.Text(), "abcd");
  EXPECT_EQ(Chain("UPPER('ab' + \"c'd\")"), "#ABC'D");
  EXPECT_EQ(Chain("1 + 2"), "1 2 +");
  parser_.Evaluate();
  EXPECT_EQ(parser_.Integer(), 3);
  EXPECT_EQ(Chain("1.5 + 2"), "#3.500000");
  EXPECT_EQ(Chain("'a' = 'A' AND I = 1 + 2"), "#true i 1 2 + = and");
  EXPECT_EQ(Chain("S + ('x' + 'y')"), "s #xy");
  parser_.SetFoldEnabled(false);
  EXPECT_EQ(Chain("'ab' + 'cd'"), "'ab' 'cd'");
  parser_.Evaluate();
  EXPECT_STREQ(parser_.Text(), "abcd");
}

TEST_F(TCustomExpressionParserTest, ConcatenationWritesPartsIntoOneBuffer) {
  parser_.CompileText("'ab' + NAME + S");
  const TExprNode* first = parser_.FirstNode();
  ASSERT_NE(first, nullptr);
  int count = 0;
  for (const TExprNode* node = first; node != nullptr; node = node->Next.get()) {
    EXPECT_EQ(node->Dest.Memory(), parser_.ResultBuffer());
    EXPECT_EQ(node->RestartDest, node == first);
    ++count;
  }
  EXPECT_EQ(count, 3);
  parser_.Evaluate();
  // The fixed-width NAME is copied whole, blanks included.
  EXPECT_STREQ(parser_.Text(), "abSmith abc");
  parser_.Evaluate();
  EXPECT_STREQ(parser_.Text(), "abSmith abc");

  // A long text grows the buffer once; later runs reuse it.
  std::string longText(100, 'q');
  s_ = longText.data();
  parser_.Evaluate();
  EXPECT_EQ(std::string(parser_.Text()), "abSmith " + longText);
  const char* grown = parser_.ResultBuffer();
  for (int n = 0; n < 3; ++n) parser_.Evaluate();
  EXPECT_EQ(parser_.ResultBuffer(), grown);
  s_ = sText_;
  parser_.Evaluate();
  EXPECT_STREQ(parser_.Text(), "abSmith abc");
}

TEST_F(TCustomExpressionParserTest, ReplacingAWordRedirectsTheChain) {
  parser_.CompileText("I + 1");
  int32_t other = 41;
  parser_.AddIntegerVariable("i", &other);
  parser_.Evaluate();
  EXPECT_EQ(parser_.Integer(), 42);

  // A fixed-width text replaced by another reads the new width.
  parser_.CompileText("NAME + '|'");
  char wider[] = "Jones     x";
  char* widerPointer = wider;
  parser_.AddStringVariable("NAME", &widerPointer, 10);
  parser_.Evaluate();
  EXPECT_STREQ(parser_.Text(), "Jones     |");

  // A variable named like a function goes beside it: the bracket of a
  // call tells them apart.
  parser_.AddFloatVariable("UPPER", &f_);
  f_ = 2.5;
  parser_.CompileText("UPPER + 1 = 3.5 AND UPPER(S) = 'ABC'");
  parser_.Evaluate();
  EXPECT_TRUE(parser_.Boolean());
}

TEST_F(TCustomExpressionParserTest, RedefineWord) {
  parser_.CompileText("J + 1");
  try {
    parser_.RedefineWord("J", nullptr);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot undefine function/variable while expression present");
  }
  int32_t other = 9;
  parser_.RedefineWord("j", std::make_unique<TIntegerVariable>("J", &other));
  parser_.Evaluate();
  EXPECT_EQ(parser_.Integer(), 10);
  parser_.ClearChain();
  parser_.RedefineWord("J", nullptr);
  ExpectError("J", "Unknown variable 'J' found.");
}

// ---- Sign and power rewriting ----------------------------------------------------

int32_t IntArg(const TExprNode* node, int i) {
  int32_t v = 0;
  if (node->Arg(i) != nullptr) std::memcpy(&v, node->Arg(i), 4);
  return v;
}
void StoreInt(TExprNode* node, int32_t v) { std::memcpy(node->Dest.Position(), &v, 4); }

// Registers "-", the unary signs and integer powers, which the table
// parser has not.
class TSignParser : public TTestParser {
 public:
  explicit TSignParser(bool withPlus) {
    auto add = [&](const char* name, const char* signature, TExprProc proc, int precedence) {
      Words()
          .Insert(TFunction::CreateOperator(name, signature, rtInteger, proc, precedence))
          .reset();
    };
    add(
        "-", "II", [](TExprNode* n) { StoreInt(n, IntArg(n, 0) - IntArg(n, 1)); }, 40);
    add(
        kUnaryMinusName, "I", [](TExprNode* n) { StoreInt(n, -IntArg(n, 0)); }, 10);
    if (withPlus)
      add(
          kUnaryPlusName, "I", [](TExprNode* n) { StoreInt(n, IntArg(n, 0)); }, 10);
    add("^", "II", nullptr, 20);
    add(
        kIntPowerName, "II",
        [](TExprNode* n) {
          int32_t r = 1;
          for (int32_t k = IntArg(n, 1); k > 0; --k) r *= IntArg(n, 0);
          StoreInt(n, r);
        },
        20);
  }
  int32_t Run(const std::string& text) {
    CompileText(text);
    Evaluate();
    return Integer();
  }
};

TEST(TSignRewriteTest, SignRunsBecomeUnaryWordsWhenRegistered) {
  TSignParser parser(true);
  EXPECT_EQ(parser.Run("1 - - 2"), 3);
  EXPECT_EQ(parser.Run("- - 5"), 5);
  EXPECT_EQ(parser.Run("-+-+- 5"), -5);
  EXPECT_EQ(parser.Run("(-2) - 3"), -5);
  EXPECT_EQ(parser.Run("2 ^ 3"), 8);
  EXPECT_EQ(parser.Chain(), "2 3 integer ^");
  // The built-in signs take the same runs.
  TTestParser builtIn;
  builtIn.CompileText("-+-+- 5 - -(2 + 1)");
  builtIn.Evaluate();
  EXPECT_EQ(builtIn.Integer(), -2);
}

}  // namespace
