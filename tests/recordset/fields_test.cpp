#include "recordset/fields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "recordset/dataset.h"
#include "recordset/field_defs.h"
#include "runtime/classes.h"
#include "runtime/exceptions.h"
#include "tests/support/memory_record_set.h"

namespace {

// Stores 'a' as '@' and reads '@' back as 'a', so both directions show in
// the stored and the read text.
class TTranslatingSet : public TMemoryRecordSet {
 public:
  int calls = 0;
  void TextFromStorage(std::string_view stored, std::string& text) override {
    ++calls;
    text.assign(stored);
    std::replace(text.begin(), text.end(), '@', 'a');
  }
  void TextToStorage(const TField&, std::string_view text, std::string& stored,
                     size_t width) override {
    ++calls;
    stored.assign(text.substr(0, width));
    std::replace(stored.begin(), stored.end(), 'a', '@');
  }
};

class TFieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FormatSettings() = TFormatSettings();
    set.SetName("tbMain");
    const std::pair<const char*, TFieldType> columns[] = {
        {"S", ftString},  {"SI", ftSmallint}, {"I", ftInteger},  {"W", ftWord},
        {"B", ftBoolean}, {"F", ftFloat},     {"C", ftCurrency}, {"D", ftDate},
        {"T", ftTime},    {"DT", ftDateTime}, {"A", ftAutoInc},  {"L", ftLargeint},
        {"M", ftMemo},    {"BL", ftBlob},     {"G", ftGraphic},  {"OLE", ftDBaseOle}};
    for (const auto& [name, type] : columns) set.AddColumn(name, type, type == ftString ? 5 : 0);
    set.AddRecord({"abc", "7", "42", "", "T", "2.5", "", "2024-02-29", "", "", "1", "", "memo"});
    set.Open();
    set.Edit();
  }
  void TearDown() override { FormatSettings() = TFormatSettings(); }
  TField* F(const char* name) { return set.FieldNamed(name); }
  template <class Fn>
  std::string ErrorOf(Fn f) {
    try {
      f();
    } catch (const Exception& e) {
      return e.Message();
    }
    return "no error";
  }

  TTranslatingSet set;
};

TEST_F(TFieldTest, FieldClassesAndNativeSizes) {
  const std::pair<const char*, int> sizes[] = {{"S", 6}, {"SI", 2}, {"I", 4}, {"W", 2},
                                               {"B", 2}, {"F", 8},  {"C", 8}, {"D", 4},
                                               {"T", 4}, {"DT", 8}, {"A", 4}, {"L", 8}};
  for (const auto& [name, size] : sizes) EXPECT_EQ(F(name)->DataSize(), size) << name;
  EXPECT_NE(dynamic_cast<TMemoField*>(F("M")), nullptr);
  EXPECT_NE(dynamic_cast<TGraphicField*>(F("G")), nullptr);
  EXPECT_EQ(dynamic_cast<TBlobField*>(F("OLE"))->BlobType(), ftDBaseOle);
  EXPECT_TRUE(dynamic_cast<TCurrencyField*>(F("C"))->Currency());
  EXPECT_TRUE(F("M")->IsBlob());
  EXPECT_EQ(CreateFieldForType(ftBCD), nullptr);
  EXPECT_EQ(CreateFieldForType(ftUnknown), nullptr);
  auto fixed = CreateFieldForType(ftFixedChar, 3);
  EXPECT_TRUE(dynamic_cast<TStringField*>(fixed.get())->FixedChar());
  EXPECT_EQ(F("S")->DisplayWidth(), 5);
  EXPECT_EQ(F("I")->DisplayWidth(), 11);
  EXPECT_EQ(F("I")->Alignment(), taRightJustify);
  F("I")->SetDisplayLabel("Number");
  EXPECT_EQ(F("I")->DisplayName(), "Number");
}

TEST_F(TFieldTest, StringFieldCutsAndTransliterates) {
  TField* s = F("S");
  EXPECT_EQ(s->ValueAsString(), "abc");
  s->SetValueAsString("banana split");
  EXPECT_EQ(s->ValueAsString(), "banan");
  set.Post();
  EXPECT_EQ(set.StoredText(1, 0), "b@n@n");  // translated towards the storage
  set.Edit();
  dynamic_cast<TStringField*>(s)->SetTransliterate(false);
  EXPECT_EQ(s->ValueAsString(), "b@n@n");
  const int calls = set.calls;
  s->SetValueAsString("named");
  EXPECT_EQ(set.calls, calls);
  EXPECT_EQ(s->ValueAsString(), "named");
  std::string text = "left over";
  EXPECT_TRUE(dynamic_cast<TStringField*>(s)->ReadText(text));
  EXPECT_EQ(text, "named");
  s->Clear();
  EXPECT_FALSE(dynamic_cast<TStringField*>(s)->ReadText(text));
  EXPECT_EQ(text, "");
}

TEST_F(TFieldTest, StringFieldConversions) {
  TField* s = F("S");
  s->SetValueAsInteger(-12);
  EXPECT_EQ(s->ValueAsInteger(), -12);
  EXPECT_DOUBLE_EQ(s->ValueAsFloat(), -12.0);
  s->SetValueAsString("x1");
  EXPECT_EQ(ErrorOf([&] { s->ValueAsInteger(); }),
            "tbMain: 'x1' is not a valid integer value for field 'S'");
  EXPECT_EQ(ErrorOf([&] { s->ValueAsFloat(); }),
            "tbMain: 'x1' is not a valid floating point value for field 'S'");
  s->SetValueAsString("yes");
  EXPECT_TRUE(s->ValueAsBoolean());
  s->SetValueAsBoolean(false);
  EXPECT_EQ(s->ValueAsString(), "F");
  s->Clear();
  EXPECT_TRUE(s->ValueIsNull());
  EXPECT_TRUE(s->ValueAsVariant().IsNull());
  EXPECT_EQ(s->ValueAsInteger(), 0);
}

TEST_F(TFieldTest, IntegerFieldsCheckTextAndRange) {
  TField* i = F("I");
  EXPECT_EQ(i->ValueAsInteger(), 42);
  i->SetValueAsString(" 17 ");
  EXPECT_EQ(i->ValueAsString(), "17");
  EXPECT_EQ(ErrorOf([&] { i->SetValueAsString("1.5"); }),
            "tbMain: '1.5' is not a valid integer value for field 'I'");
  EXPECT_EQ(ErrorOf([&] { F("SI")->SetValueAsInteger(40000); }),
            "tbMain: 40000 is not a valid value for field 'SI'. The allowed range is -32768 to "
            "32767");
  EXPECT_EQ(ErrorOf([&] { F("W")->SetValueAsString("-1"); }),
            "tbMain: -1 is not a valid value for field 'W'. The allowed range is 0 to 65535");
  EXPECT_EQ(ErrorOf([&] { i->SetValueAsLargeInt(int64_t(1) << 40); }),
            "tbMain: 1099511627776 is not a valid value for field 'I'. The allowed range is "
            "-2147483648 to 2147483647");
  auto* bounded = dynamic_cast<TIntegerField*>(i);
  bounded->SetMinValue(1);
  bounded->SetMaxValue(10);
  EXPECT_EQ(ErrorOf([&] { i->SetValueAsInteger(11); }),
            "tbMain: 11 is not a valid value for field 'I'. The allowed range is 1 to 10");
  EXPECT_EQ(i->ValueAsInteger(), 17);  // refused values leave the field alone
  F("L")->SetValueAsString("9000000000");
  EXPECT_EQ(F("L")->ValueAsLargeInt(), 9000000000);
  EXPECT_EQ(ErrorOf([&] { F("L")->ValueAsInteger(); }), "tbMain: Invalid value for field 'L'");
  EXPECT_EQ(F("L")->ValueAsVariant().Type(), varInt64);
  EXPECT_EQ(F("SI")->ValueAsVariant().Type(), varSmallint);
  i->SetValueAsFloat(2.5);
  EXPECT_EQ(i->ValueAsInteger(), 3);
  i->SetValueAsString("");
  EXPECT_TRUE(i->ValueIsNull());
  EXPECT_EQ(i->ValueAsString(), "");
  EXPECT_EQ(ErrorOf([&] { i->ValueAsBoolean(); }),
            "tbMain: Cannot access field 'I' as type Boolean");
  EXPECT_EQ(ErrorOf([&] { i->SetValueAsDateTime(1); }),
            "tbMain: Cannot access field 'I' as type DateTime");
}

TEST_F(TFieldTest, IntegerDisplayAndEditFormats) {
  auto* i = dynamic_cast<TIntegerField*>(F("I"));
  i->SetValueAsInteger(1234567);
  i->SetDisplayFormat("#,##0");
  EXPECT_EQ(i->ShownText(), "1,234,567");
  EXPECT_EQ(i->EditText(), "1234567");
  EXPECT_TRUE(i->IsValidChar('-'));
  EXPECT_FALSE(i->IsValidChar('.'));
}

TEST_F(TFieldTest, FloatFieldTextAndRange) {
  auto* f = dynamic_cast<TFloatField*>(F("F"));
  EXPECT_DOUBLE_EQ(f->ValueAsFloat(), 2.5);
  f->SetValueAsFloat(1.0 / 3);
  EXPECT_EQ(f->ValueAsString(), "0.333333333333333");
  f->SetPrecision(4);
  EXPECT_EQ(f->ShownText(), "0.3333");
  f->SetDisplayFormat("0.00");
  EXPECT_EQ(f->ShownText(), "0.33");
  EXPECT_EQ(f->EditText(), "0.3333");
  f->SetEditFormat("0.0");
  EXPECT_EQ(f->EditText(), "0.3");
  EXPECT_EQ(ErrorOf([&] { f->SetValueAsString("1,5"); }),
            "tbMain: '1,5' is not a valid floating point value for field 'F'");
  FormatSettings().DecimalSeparator = ',';
  f->SetValueAsString("1,5");
  EXPECT_DOUBLE_EQ(f->ValueAsFloat(), 1.5);
  FormatSettings().DecimalSeparator = '.';
  f->SetMinValue(0);
  f->SetMaxValue(100);
  EXPECT_EQ(ErrorOf([&] { f->SetValueAsString("150"); }),
            "tbMain: 150 is not a valid value for field 'F'. The allowed range is 0 to 100");
  EXPECT_EQ(ErrorOf([&] { f->SetValueAsFloat(std::nan("")); }),
            "tbMain: Invalid value for field 'F'");
  f->SetValueAsString(" ");
  EXPECT_TRUE(f->ValueIsNull());
  EXPECT_EQ(f->ShownText(), "");
  EXPECT_TRUE(f->ValueAsVariant().IsNull());
  EXPECT_TRUE(f->IsValidChar('.'));
  EXPECT_TRUE(f->IsValidChar('E'));
  EXPECT_FALSE(f->IsValidChar('x'));
  EXPECT_EQ(ErrorOf([&] { f->ValueAsBoolean(); }),
            "tbMain: Cannot access field 'F' as type Boolean");
}

TEST_F(TFieldTest, FloatsBeyondTheIntegerRangesAreRefused) {
  auto* f = dynamic_cast<TFloatField*>(F("F"));
  const double twoTo63 = 9223372036854775808.0;
  f->SetValueAsFloat(twoTo63);
  EXPECT_EQ(ErrorOf([&] { f->ValueAsLargeInt(); }), "tbMain: Invalid value for field 'F'");
  f->SetValueAsFloat(-twoTo63);
  EXPECT_EQ(f->ValueAsLargeInt(), INT64_MIN);
  f->SetValueAsFloat(2147483648.0);
  EXPECT_EQ(ErrorOf([&] { f->ValueAsInteger(); }), "tbMain: Invalid value for field 'F'");
  f->SetValueAsFloat(2147483647.4);
  EXPECT_EQ(f->ValueAsInteger(), INT32_MAX);
  EXPECT_EQ(ErrorOf([&] { F("L")->SetValueAsFloat(twoTo63); }),
            "tbMain: Invalid value for field 'L'");
}

TEST_F(TFieldTest, CurrencyFieldShowsAndEditsMoney) {
  TField* c = F("C");
  c->SetValueAsFloat(1234.5);
  EXPECT_EQ(c->ShownText(), "$1,234.50");
  EXPECT_EQ(c->EditText(), "1234.50");
  EXPECT_EQ(c->ValueAsString(), "1234.5");
}

TEST_F(TFieldTest, BooleanFieldTexts) {
  auto* b = dynamic_cast<TBooleanField*>(F("B"));
  EXPECT_TRUE(b->ValueAsBoolean());
  EXPECT_EQ(b->ValueAsString(), "True");
  b->SetValueAsString("false");
  EXPECT_FALSE(b->ValueAsBoolean());
  b->SetValueAsString("t");
  EXPECT_TRUE(b->ValueAsBoolean());
  EXPECT_EQ(ErrorOf([&] { b->SetValueAsString("maybe"); }),
            "tbMain: 'maybe' is not a valid boolean value for field 'B'");
  b->SetDisplayValues("Yes;No");
  b->SetValueAsString("n");
  EXPECT_EQ(b->ShownText(), "No");
  EXPECT_EQ(b->DisplayWidth(), 3);
  b->SetValueAsString("");
  EXPECT_TRUE(b->ValueIsNull());
  EXPECT_FALSE(b->ValueAsBoolean());
  EXPECT_EQ(ErrorOf([&] { b->ValueAsInteger(); }),
            "tbMain: Cannot access field 'B' as type Integer");
}

TEST_F(TFieldTest, DateFieldUsesDayNumbers) {
  TField* d = F("D");
  EXPECT_EQ(d->ValueAsString(), "2/29/2024");
  EXPECT_DOUBLE_EQ(d->ValueAsDateTime(), EncodeDate(2024, 2, 29));
  d->SetValueAsDateTime(EncodeDate(1899, 12, 30) + 0.75);  // the time is dropped
  EXPECT_DOUBLE_EQ(d->ValueAsDateTime(), 0.0);
  set.Post();
  EXPECT_EQ(set.StoredText(1, 7), "693594");
  set.Edit();
  d->SetValueAsString("1/1/0001");
  EXPECT_DOUBLE_EQ(d->ValueAsDateTime(), -693593.0);
  EXPECT_EQ(ErrorOf([&] { d->SetValueAsDateTime(-693594.0); }),
            "tbMain: Invalid value for field 'D'");
  EXPECT_EQ(ErrorOf([&] { d->SetValueAsString("13/45/2024"); }),
            "'13/45/2024' is not a valid date");
  dynamic_cast<TDateTimeField*>(d)->SetDisplayFormat("yyyy-mm-dd");
  d->SetValueAsDateTime(EncodeDate(2023, 7, 4));
  EXPECT_EQ(d->ShownText(), "2023-07-04");
  EXPECT_EQ(d->EditText(), "7/4/2023");
  d->Clear();
  EXPECT_DOUBLE_EQ(d->ValueAsDateTime(), 0.0);  // a blank date reads as 0.0
  EXPECT_EQ(d->ValueAsString(), "");
  EXPECT_TRUE(d->ValueAsVariant().IsNull());
}

TEST_F(TFieldTest, TimeAndDateTimeFieldsUseMilliseconds) {
  TField* t = F("T");
  t->SetValueAsDateTime(EncodeDate(2020, 1, 1) + EncodeTime(13, 30, 15, 250));
  set.Post();
  EXPECT_EQ(set.StoredText(1, 8), "48615250");
  set.Edit();
  EXPECT_NEAR(t->ValueAsDateTime(), EncodeTime(13, 30, 15, 250), 1e-9);
  EXPECT_EQ(ErrorOf([&] { t->SetValueAsString("25:99"); }), "'25:99' is not a valid time");

  TField* dt = F("DT");
  TDateTime when = EncodeDate(2001, 9, 9) + EncodeTime(1, 46, 40, 0);
  dt->SetValueAsDateTime(when);
  set.Post();
  int32_t day = 0;
  TryEncodeDayNumber(2001, 9, 9, day);
  EXPECT_EQ(set.StoredText(1, 9), FloatToStr(day * 86400000.0 + 6400000.0));
  set.Edit();
  EXPECT_NEAR(dt->ValueAsDateTime(), when, 1e-9);
  dt->SetValueAsDateTime(-1.25);  // 29 December 1899, 6:00
  EXPECT_NEAR(dt->ValueAsDateTime(), -1.25, 1e-9);
  EXPECT_NEAR(dt->ValueAsFloat(), -1.25, 1e-9);
}

TEST_F(TFieldTest, MemoFieldGoesThroughStreams) {
  TField* m = F("M");
  EXPECT_EQ(m->ValueAsString(), "memo");
  EXPECT_EQ(m->ShownText(), "memo");
  std::string big(20000, 'x');
  m->SetValueAsString(big);
  EXPECT_TRUE(set.IsModified());
  EXPECT_TRUE(dynamic_cast<TBlobField*>(m)->Modified());
  EXPECT_EQ(m->ValueAsString(), big);
  EXPECT_EQ(set.StoredBlob(1, 12), "memo");
  set.Post();
  EXPECT_EQ(set.StoredBlob(1, 12), big);
  EXPECT_FALSE(dynamic_cast<TBlobField*>(m)->Modified());

  set.Edit();
  m->Clear();
  EXPECT_TRUE(m->ValueIsNull());
  set.Cancel();
  EXPECT_EQ(m->ValueAsString(), big);

  set.Edit();
  TMemoryStream in;
  in.WriteBuffer("from stream", 11);
  dynamic_cast<TBlobField*>(m)->LoadFromStream(in);
  TMemoryStream out;
  dynamic_cast<TBlobField*>(m)->SaveToStream(out);
  EXPECT_EQ(out.AsString(), "from stream");
  EXPECT_EQ(m->ValueAsVariant().AsString(), "from stream");
}

TEST_F(TFieldTest, BinaryBlobsShowTheirKind) {
  EXPECT_EQ(F("BL")->ShownText(), "(Blob)");
  F("BL")->SetValueAsString(std::string("\0\1\2", 3));
  EXPECT_EQ(F("BL")->ShownText(), "(BLOB)");
  EXPECT_EQ(F("BL")->ValueAsString().size(), 3u);
  EXPECT_EQ(F("G")->ShownText(), "(Graphic)");
  EXPECT_EQ(F("OLE")->ShownText(), "(OLE)");
  EXPECT_EQ(ErrorOf([&] { F("BL")->ValueAsFloat(); }),
            "tbMain: Cannot access field 'BL' as type Float");
}

TEST_F(TFieldTest, VariantsSetByTheirType) {
  F("F")->SetValueAsVariant(TVariant(int32_t(3)));
  EXPECT_DOUBLE_EQ(F("F")->ValueAsFloat(), 3.0);
  F("I")->SetValueAsVariant(TVariant("12"));
  EXPECT_EQ(F("I")->ValueAsInteger(), 12);
  F("I")->SetValueAsVariant(TVariant::Null());
  EXPECT_TRUE(F("I")->ValueIsNull());
  F("D")->SetValueAsVariant(TVariant::FromDateTime(EncodeDate(2000, 1, 1)));
  EXPECT_EQ(F("D")->ValueAsString(), "1/1/2000");
  EXPECT_EQ(ErrorOf([&] { F("I")->SetValueAsVariant(TVariant(std::vector<TVariant>{})); }),
            "tbMain: Invalid value for field 'I'");
}

TEST_F(TFieldTest, TextEventsValidationAndChange) {
  TField* s = F("S");
  s->SetOnGetText([](TField& f, std::string& text, bool display) {
    text = (display ? "<" : "[") + f.ValueAsString() + (display ? ">" : "]");
  });
  EXPECT_EQ(s->ShownText(), "<abc>");
  EXPECT_EQ(s->EditText(), "[abc]");
  s->SetOnSetText([](TField& f, const std::string& text) { f.SetValueAsString(text + "!"); });
  s->SetEditText("hi");
  s->SetOnGetText(nullptr);
  EXPECT_EQ(s->EditText(), "hi!");

  std::string validated;
  s->SetOnValidate([&](TField& f) {
    validated = f.ValueAsString();  // sees the value being written
    if (validated == "bad") throw EDatabaseError("refused");
  });
  int changes = 0;
  s->SetOnChange([&](TField&) { ++changes; });
  s->SetValueAsString("ok");
  EXPECT_EQ(validated, "ok");
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(ErrorOf([&] { s->SetValueAsString("bad"); }), "refused");
  EXPECT_EQ(s->ValueAsString(), "ok");
  EXPECT_EQ(changes, 1);
}

TEST_F(TFieldTest, CanModifyFollowsFieldAndSet) {
  EXPECT_TRUE(F("S")->CanModify());
  F("S")->SetReadOnly(true);
  EXPECT_FALSE(F("S")->CanModify());
  set.SetReadOnly(true);
  EXPECT_FALSE(F("I")->CanModify());
  EXPECT_THROW(F("S")->SetFieldName("X"), EDatabaseError);  // renaming needs a closed set
}

TEST(TFieldDefsTest, FieldsAreMadeFromDefinitions) {
  TMemoryRecordSet set;
  set.AddColumn("ID", ftAutoInc);
  set.AddColumn("ODD", ftUnknown);
  set.AddColumn("_DBASELOCK", ftString, 24);
  set.AddColumn("NAME", ftString, 8, true);
  set.UpdateFieldDefs();
  TFieldDefs& defs = set.FieldDefs();
  ASSERT_EQ(defs.Count(), 4);
  EXPECT_EQ(defs.Find("name")->FieldNo(), 4);
  EXPECT_TRUE(defs[3].Required());
  EXPECT_EQ(defs.IndexOf("NONE"), -1);
  EXPECT_THROW(defs.Items(4), EListError);
  defs[0].SetAttributes(FieldAttr(faReadonly));
  defs[2].SetAttributes(FieldAttr(faHiddenCol));
  defs.SetUpdated(true);
  set.Open();  // keeps the definitions: they are up to date
  ASSERT_EQ(set.FieldCount(), 2);
  EXPECT_EQ(set.Fields(0)->FieldName(), "ID");
  EXPECT_TRUE(set.Fields(0)->ReadOnly());
  EXPECT_EQ(set.Fields(1)->FieldNo(), 4);
  EXPECT_TRUE(set.Fields(1)->Required());
  EXPECT_EQ(set.Fields(1)->Size(), 8);
}

TEST(TFieldDefsTest, PersistentFieldWithoutDefinitionFailsToOpen) {
  TMemoryRecordSet set;
  set.SetName("tbMain");
  set.AddColumn("ID", ftInteger);
  auto stray = std::make_unique<TIntegerField>();
  stray->SetFieldName("GONE");
  set.AddField(std::move(stray));
  try {
    set.Open();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "tbMain: Field 'GONE' not found");
  }
  EXPECT_FALSE(set.Active());
  EXPECT_EQ(set.CloseStorageCalls(), 1);
}

}  // namespace
