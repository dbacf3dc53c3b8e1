#include "tdbf/dbf_prsdef.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/exceptions.h"
#include "runtime/sysutils.h"

namespace {

// ---- Collections ---------------------------------------------------------------

std::vector<int>* gReleased = nullptr;

struct TItem {
  TItem(const char* key, int id) : Key(key), Id(id) {}
  ~TItem() {
    if (gReleased) gReleased->push_back(Id);
  }
  std::string Key;
  int Id;
};

class TItemList : public TSortedCollection<TItem, const char*> {
 public:
  int Compare(const char* a, const char* b) const override { return std::strcmp(a, b); }
  const char* KeyOf(const TItem* item) const override { return item->Key.c_str(); }
};

class TCollectionTest : public ::testing::Test {
 protected:
  void SetUp() override { gReleased = &released_; }
  void TearDown() override { gReleased = nullptr; }
  std::vector<int> released_;
};

TEST_F(TCollectionTest, SearchFindsInsertionPointAndFirstDuplicate) {
  TItemList list;
  list.SetDuplicates(true);
  for (auto [key, id] : {std::pair{"b", 1}, {"d", 2}, {"b", 3}, {"b", 4}, {"a", 5}})
    EXPECT_EQ(list.Insert(std::make_unique<TItem>(key, id)), nullptr);
  // The newest of equal keys comes first.
  std::vector<int> order;
  for (int i = 0; i < list.Count(); ++i) order.push_back(list[i]->Id);
  EXPECT_EQ(order, (std::vector<int>{5, 4, 3, 1, 2}));
  int index;
  EXPECT_TRUE(list.Search("b", index));
  EXPECT_EQ(index, 1);
  EXPECT_FALSE(list.Search("c", index));
  EXPECT_EQ(index, 4);
  EXPECT_FALSE(list.Search("z", index));
  EXPECT_EQ(index, 5);
  EXPECT_EQ(list.PositionOf(list[3]), 3);
  TItem stranger("b", 9);
  EXPECT_EQ(list.PositionOf(&stranger), -1);
  released_.clear();
}

TEST_F(TCollectionTest, WithoutDuplicatesAnEqualKeyIsRefusedNotReleased) {
  TItemList list;
  EXPECT_EQ(list.Insert(std::make_unique<TItem>("k", 1)), nullptr);
  std::unique_ptr<TItem> refused = list.Insert(std::make_unique<TItem>("k", 2));
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->Id, 2);
  EXPECT_TRUE(released_.empty());
  // ReplaceByKey hands the old entry back and keeps the new one.
  std::unique_ptr<TItem> old = list.ReplaceByKey(std::move(refused));
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(old->Id, 1);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list[0]->Id, 2);
  EXPECT_TRUE(released_.empty());
  old.reset();
  EXPECT_EQ(released_, std::vector<int>{1});
}

TEST_F(TCollectionTest, FreeingReleasesInIndexOrderAndEmptiesTheList) {
  {
    TOCollection<TItem> list(10);
    for (int id = 1; id <= 4; ++id) list.Add(std::make_unique<TItem>("x", id));
    list.AtFree(1);
    EXPECT_EQ(released_, std::vector<int>{2});
    EXPECT_EQ(list.Count(), 3);
    list.FreeAll();
    EXPECT_EQ(released_, (std::vector<int>{2, 1, 3, 4}));
    EXPECT_EQ(list.Count(), 0);
    list.Add(std::make_unique<TItem>("x", 7));
  }
  EXPECT_EQ(released_.back(), 7);
  TOCollection<TItem> list;
  EXPECT_THROW(list.AtFree(0), EListError);
  try {
    list.At(3);
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (3)");
  }
}

TEST_F(TCollectionTest, NoOwnerListNeverReleases) {
  TItem a("a", 1), b("b", 2);
  {
    TNoOwnerCollection<TItem> list;
    list.Add(&a);
    list.Add(&b);
    list.AtFree(0);
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list[0], &b);
    list.FreeAll();
  }
  EXPECT_TRUE(released_.empty());
}

// ---- Word list -------------------------------------------------------------------

TEST(TExpressListTest, NamesAreLowerCasedAndFoundWithoutCase) {
  TExpressList words;
  words.SetDuplicates(true);
  ASSERT_EQ(words.Insert(TFunction::CreateFunction("UpPer", "", "S", 1, rtString, nullptr)),
            nullptr);
  EXPECT_EQ(words[0]->Name(), "upper");
  int index;
  for (const char* key : {"UPPER", "Upper", "upper"}) EXPECT_TRUE(words.Search(key, index));
  // Only A-Z fold: an accented capital is another name.
  ASSERT_EQ(words.Insert(std::make_unique<TComma>("\xC9T\xC9")), nullptr);
  EXPECT_EQ(words[words.Count() - 1]->Name(), "\xC9t\xC9");
  EXPECT_TRUE(words.Search("\xC9T\xC9", index));
  EXPECT_FALSE(words.Search("\xE9T\xE9", index));
  EXPECT_LT(CompareWordNames("abc", "ABD"), 0);
  EXPECT_GT(CompareWordNames("\xE9", "z"), 0);
  EXPECT_LT(CompareWordNames("ab", "abc"), 0);
}

TEST(TExpressListTest, OverloadsComeNewestFirst) {
  TExpressList words;
  words.SetDuplicates(true);
  auto x = TFunction::CreateFunction("f", "", "S", 1, rtString, nullptr);
  auto y = TFunction::CreateFunction("F", "", "I", 1, rtString, nullptr);
  TExprWord* rawX = x.get();
  TExprWord* rawY = y.get();
  ASSERT_EQ(words.Insert(std::move(x)), nullptr);
  ASSERT_EQ(words.Insert(std::move(y)), nullptr);
  int index;
  ASSERT_TRUE(words.Search("f", index));
  EXPECT_EQ(words[index], rawY);
  EXPECT_EQ(words[index + 1], rawX);
  EXPECT_EQ(words.PositionOf(rawX), index + 1);
}

// ---- Words -----------------------------------------------------------------------

TEST(TExprWordTest, TextLiteralsDropMatchingQuotesOnly) {
  struct Case {
    const char* literal;
    const char* value;
  } cases[] = {{"'abc'", "abc"}, {"\"abc\"", "abc"}, {"'abc\"", "'abc\""},
               {"'", ""},        {"''", ""},         {"abc", "abc"}};
  for (const Case& c : cases) {
    TStringConstant constant(c.literal);
    EXPECT_EQ(constant.TextValue(), c.value) << c.literal;
    EXPECT_STREQ(static_cast<const char*>(constant.ValuePointer()), c.value);
  }
  TStringConstant named("'ABC'");
  EXPECT_EQ(named.Name(), "'abc'");
  EXPECT_EQ(named.TextValue(), "ABC");
  TStringConstant folded("", "'x'");
  EXPECT_EQ(folded.TextValue(), "'x'");
}

TEST(TExprWordTest, NumericConstants) {
  TFloatConstant empty("", std::string());
  EXPECT_EQ(empty.Value(), 0.0);
  TFormatSettings saved = FormatSettings();
  FormatSettings().DecimalSeparator = ',';
  TFloatConstant comma("2,5", std::string("2,5"));
  EXPECT_EQ(comma.Value(), 2.5);
  try {
    TFloatConstant bad("2.5", std::string("2.5"));
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'2.5' is not a valid floating point value");
  }
  FormatSettings() = saved;
  TIntegerConstant negative(-42);
  EXPECT_EQ(negative.Name(), "-42");
  EXPECT_TRUE(negative.IsValueWord());
  EXPECT_FALSE(negative.IsVarying());
  EXPECT_EQ(TBooleanConstant("t", true).ResultType(), rtBoolean);
}

TEST(TExprWordTest, VariablesAndFunctions) {
  char text[] = "ab\0cd";
  char* pointer = text;
  TStringVariable fixed("F", &pointer, 5);
  EXPECT_EQ(fixed.Proc(), CopyStringFixed);
  EXPECT_EQ(*fixed.LenPointer(), 5);
  EXPECT_EQ(fixed.TextValue(), "ab");
  EXPECT_TRUE(fixed.IsVarying());
  TStringVariable open("V", &pointer, -1);
  EXPECT_EQ(open.Proc(), CopyStringVariable);
  EXPECT_EQ(open.ValuePointer(), &pointer);

  auto op = TFunction::CreateOperator("AND", "BB", rtBoolean, nullptr, 90);
  EXPECT_TRUE(op->IsOperator());
  EXPECT_TRUE(op->IsFunction());
  EXPECT_EQ(op->MinFunctionArg(), 2);
  EXPECT_EQ(op->MaxFunctionArg(), 2);
  EXPECT_EQ(op->Precedence(), 90);
  EXPECT_FALSE(op->IsValueWord());
  auto fn = TFunction::CreateFunction("STR", "text", "FII", 1, rtString, nullptr);
  EXPECT_FALSE(fn->IsOperator());
  EXPECT_EQ(fn->Precedence(), 0);
  EXPECT_EQ(fn->MaxFunctionArg(), 3);
  EXPECT_EQ(fn->Description(), "text");
  EXPECT_NO_THROW(TFunction::CreateFunction("F6", "", "SSSSSS", 0, rtString, nullptr));
  try {
    TFunction::CreateFunction("F7", "", "SSSSSSS", 0, rtString, nullptr);
    ADD_FAILURE();
  } catch (const EParserException& e) {
    EXPECT_EQ(e.Message(), "Too many arguments");
  }
  EXPECT_EQ(TypeFromLetter('B'), rtBoolean);
  EXPECT_EQ(TypeFromLetter('D'), rtDateTime);
  EXPECT_EQ(TypeFromLetter('s'), rtUnknown);
}

// ---- Result buffers ----------------------------------------------------------------

class TDynamicTypeTest : public ::testing::Test {
 protected:
  TDynamicTypeTest()
      : memory_(std::make_unique<char[]>(kExprBufferSize)),
        position_(memory_.get()),
        dynamic_(&memory_, &position_, &size_) {}
  std::unique_ptr<char[]> memory_;
  char* position_;
  int32_t size_ = kExprBufferSize;
  TDynamicType dynamic_;
};

TEST_F(TDynamicTypeTest, AddTextGrowsOnlyWhenTextAndFourBytesDoNotFit) {
  const std::string text28(28, 'x');
  dynamic_.AddText(text28.data(), 28);
  EXPECT_EQ(size_, 32);
  EXPECT_EQ(position_ - memory_.get(), 28);
  EXPECT_EQ(*position_, '\0');

  dynamic_.Rewind();
  const std::string text30(30, 'y');
  dynamic_.AddText(text30.data(), 30);
  EXPECT_EQ(size_, 64);
  EXPECT_EQ(std::string(memory_.get()), text30);
  // More text lands after the first, in the grown buffer.
  dynamic_.AddText("zz", 2);
  EXPECT_EQ(std::string(memory_.get()), text30 + "zz");
}

TEST_F(TDynamicTypeTest, ResizeRoundsUpAndKeepsContentAndOffset) {
  dynamic_.AddText("abc", 3);
  dynamic_.Resize(64, false);
  EXPECT_EQ(size_, 96);
  EXPECT_EQ(position_ - memory_.get(), 3);
  EXPECT_STREQ(memory_.get(), "abc");
  dynamic_.Resize(40, true);
  EXPECT_EQ(size_, 40);
  EXPECT_STREQ(memory_.get(), "abc");
  dynamic_.EnsureRoom(37);
  EXPECT_EQ(size_, 40);
  dynamic_.EnsureRoom(38);
  EXPECT_EQ(size_, 64);
}

}  // namespace
