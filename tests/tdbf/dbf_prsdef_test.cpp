#include "tdbf/expr/dbf_prsdef.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/exceptions.h"
#include "runtime/sysutils.h"

namespace {

// ---- Collections ---------------------------------------------------------------

std::vector<int> gReleased;

struct TItem {
  TItem(const char* key, int id) : Key(key), Id(id) {}
  ~TItem() { gReleased.push_back(Id); }
  std::string Key;
  int Id;
};

class TItemList : public TSortedCollection<TItem, const char*> {
 public:
  int Compare(const char* a, const char* b) const override { return std::strcmp(a, b); }
  const char* KeyOf(const TItem* item) const override { return item->Key.c_str(); }
};

TEST(TSortedCollectionTest, DuplicatesLandInFrontOfEqualKeys) {
  TItemList list;
  list.SetDuplicates(true);
  for (auto [key, id] : {std::pair{"b", 1}, {"d", 2}, {"b", 3}, {"b", 4}, {"a", 5}})
    EXPECT_EQ(list.Insert(std::make_unique<TItem>(key, id)), nullptr);
  std::vector<int> order;
  for (int i = 0; i < list.Count(); ++i) order.push_back(list[i]->Id);
  EXPECT_EQ(order, (std::vector<int>{5, 4, 3, 1, 2}));
  int index;
  EXPECT_TRUE(list.Search("b", index));
  EXPECT_EQ(index, 1);
  EXPECT_FALSE(list.Search("c", index));
  EXPECT_EQ(index, 4);
  EXPECT_EQ(list.PositionOf(list[3]), 3);
  TItem stranger("b", 9);
  EXPECT_EQ(list.PositionOf(&stranger), -1);
}

TEST(TSortedCollectionTest, OwnershipWithoutDuplicates) {
  gReleased.clear();
  {
    TItemList list;
    EXPECT_EQ(list.Insert(std::make_unique<TItem>("k", 1)), nullptr);
    // An equal key is refused and handed back, not released.
    std::unique_ptr<TItem> refused = list.Insert(std::make_unique<TItem>("k", 2));
    ASSERT_NE(refused, nullptr);
    EXPECT_TRUE(gReleased.empty());
    // ReplaceByKey gives the old entry back and keeps the new one.
    std::unique_ptr<TItem> old = list.ReplaceByKey(std::move(refused));
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->Id, 1);
    EXPECT_EQ(list[0]->Id, 2);
    EXPECT_TRUE(gReleased.empty());
    list.Insert(std::make_unique<TItem>("m", 3)).reset();
    list.Insert(std::make_unique<TItem>("a", 4)).reset();
    list.AtFree(1);
    EXPECT_EQ(gReleased, std::vector<int>{2});
    EXPECT_THROW(list.AtFree(5), EListError);
  }
  // The handed-back entry goes with its holder, the list frees the rest in
  // index order.
  EXPECT_EQ(gReleased, (std::vector<int>{2, 1, 4, 3}));
}

// ---- Words -----------------------------------------------------------------------

TEST(TExprWordTest, NamesAreLowerCasedAndFoundWithoutCase) {
  TExpressList words;
  words.Insert(TFunction::CreateFunction("UpPer", "", "S", 1, rtString, nullptr)).reset();
  EXPECT_EQ(words[0]->Name(), "upper");
  int index;
  for (const char* key : {"UPPER", "Upper", "upper"}) EXPECT_TRUE(words.Search(key, index));
  // Only A-Z fold: an accented capital names another word.
  words.Insert(std::make_unique<TComma>("\xC9T\xC9")).reset();
  EXPECT_TRUE(words.Search("\xC9T\xC9", index));
  EXPECT_EQ(words[index]->Name(), "\xC9t\xC9");
  EXPECT_FALSE(words.Search("\xE9T\xE9", index));
  EXPECT_GT(CompareWordNames("\xE9", "z"), 0);
  EXPECT_LT(CompareWordNames("ab", "abc"), 0);
}

TEST(TExprWordTest, TextLiteralsDropMatchingQuotesOnly) {
  struct Case {
    const char* literal;
    const char* value;
  } cases[] = {{"'abc'", "abc"}, {"\"abc\"", "abc"}, {"'abc\"", "'abc\""},
               {"'", ""},        {"''", ""},         {"abc", "abc"}};
  for (const Case& c : cases) {
    TStringConstant constant(c.literal);
    EXPECT_STREQ(static_cast<const char*>(constant.ValuePointer()), c.value) << c.literal;
  }
  TStringConstant named("'ABC'");
  EXPECT_EQ(named.Name(), "'abc'");
  EXPECT_EQ(named.TextValue(), "ABC");
  EXPECT_EQ(TStringConstant("", "'x'").TextValue(), "'x'");
}

TEST(TExprWordTest, ConstantsAndFunctions) {
  EXPECT_EQ(TFloatConstant("", std::string()).Value(), 0.0);
  TFormatSettings saved = FormatSettings();
  FormatSettings().DecimalSeparator = ',';
  EXPECT_EQ(TFloatConstant("2,5", std::string("2,5")).Value(), 2.5);
  try {
    TFloatConstant bad("2.5", std::string("2.5"));
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'2.5' is not a valid floating point value");
  }
  FormatSettings() = saved;
  EXPECT_EQ(TIntegerConstant(-42).Name(), "-42");

  auto op = TFunction::CreateOperator("AND", "BB", rtBoolean, nullptr, 90);
  EXPECT_TRUE(op->IsOperator());
  EXPECT_EQ(op->MinFunctionArg(), 2);
  EXPECT_FALSE(op->IsValueWord());
  auto fn = TFunction::CreateFunction("STR", "", "FII", 1, rtString, nullptr);
  EXPECT_EQ(fn->Precedence(), 0);
  EXPECT_EQ(fn->MaxFunctionArg(), 3);
  EXPECT_NO_THROW(TFunction::CreateFunction("F6", "", "SSSSSS", 0, rtString, nullptr));
  try {
    TFunction::CreateFunction("F7", "", "SSSSSSS", 0, rtString, nullptr);
    ADD_FAILURE();
  } catch (const EParserException& e) {
    EXPECT_EQ(e.Message(), "Too many arguments");
  }
}

// ---- Result buffers ----------------------------------------------------------------

TEST(TDynamicTypeTest, GrowsOnlyWhenTextAndFourBytesDoNotFit) {
  auto memory = std::make_unique<char[]>(kExprBufferSize);
  char* position = memory.get();
  int32_t size = kExprBufferSize;
  TDynamicType dynamic(&memory, &position, &size);
  dynamic.AddText(std::string(28, 'x').data(), 28);
  EXPECT_EQ(size, 32);
  EXPECT_EQ(position - memory.get(), 28);
  dynamic.Rewind();
  dynamic.AddText(std::string(30, 'y').data(), 30);
  EXPECT_EQ(size, 64);
  dynamic.AddText("zz", 2);
  EXPECT_EQ(std::string(memory.get()), std::string(30, 'y') + "zz");
  // Not exact: rounded up past the next multiple of 32; content and
  // position offset kept.
  dynamic.Resize(64, false);
  EXPECT_EQ(size, 96);
  EXPECT_EQ(position - memory.get(), 32);
  dynamic.Resize(40, true);
  EXPECT_EQ(size, 40);
  EXPECT_EQ(std::string(memory.get(), 32), std::string(30, 'y') + "zz");
}

}  // namespace
