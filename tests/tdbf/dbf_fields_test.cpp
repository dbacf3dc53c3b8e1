#include "tdbf/dbf_fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

#include "recordset/field_defs.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"

namespace {

// One field at offset 1 of a record image with guard bytes around it, so
// that a write outside the field shows.
class TDbfFieldDefTest : public ::testing::Test {
 protected:
  TDbfFieldDef& Field(char letter, int size, int decimals = 0) {
    defs_.Clear();
    TDbfFieldDef& def = defs_.Add();
    def.SetFieldName("F");
    def.SetOffset(1);
    def.SetSize(size);
    def.SetPrecision(decimals);
    def.SetNativeFieldType(letter);
    record_.assign(1 + def.Size() + 4, '#');
    return def;
  }
  TDbfFieldDef& Def() { return defs_[0]; }
  // The field's bytes; checks that nothing around them changed.
  std::string Bytes() {
    EXPECT_EQ(record_[0], '#');
    EXPECT_EQ(record_.substr(record_.size() - 4), "####");
    return record_.substr(1, Def().Size());
  }
  void SetBytes(const std::string& bytes) {
    ASSERT_EQ(static_cast<int>(bytes.size()), Def().Size());
    record_.replace(1, bytes.size(), bytes);
  }
  template <typename T>
  void Write(TFieldType type, T value) {
    EncodeFieldValue(Def(), type, record_.data(), &value);
  }
  template <typename T>
  bool Read(TFieldType type, T& value) {
    return DecodeFieldValue(Def(), type, &value, record_.data());
  }
  static int32_t Day(int y, int m, int d) {
    int32_t n = 0;
    TryEncodeDayNumber(y, m, d, n);
    return n;
  }

  TDbfFieldDefs defs_;
  std::string record_;
};

}  // namespace

TEST_F(TDbfFieldDefTest, LettersGiveRecordSetTypes) {
  defs_.SetUseFloatFields(false);
  EXPECT_EQ(Field('N', 3).FieldType(), ftSmallint);
  EXPECT_EQ(Field('N', 9).FieldType(), ftInteger);
  EXPECT_EQ(Field('N', 12).FieldType(), ftLargeint);
  EXPECT_EQ(Field('N', 12, 2).FieldType(), ftFloat);
  EXPECT_EQ(Field('F', 5, 1).FieldType(), ftFloat);
  defs_.SetUseFloatFields(true);
  EXPECT_EQ(Field('N', 12).FieldType(), ftFloat);
  EXPECT_EQ(Field('N', 4).FieldType(), ftSmallint);
  EXPECT_EQ(Field('c', 10).FieldType(), ftString);
  EXPECT_EQ(Def().NativeFieldType(), 'C');
  EXPECT_EQ(Field('T', 14).FieldType(), ftDateTime);
  EXPECT_EQ(Field('G', 10).FieldType(), ftDBaseOle);
  EXPECT_TRUE(Def().IsBlob());
  // FoxPro's letters below level 7; level 7 has no Y, and its B is a memo.
  EXPECT_EQ(Field('Y', 8).FieldType(), ftCurrency);
  EXPECT_EQ(Field('B', 8).FieldType(), ftFloat);
  EXPECT_FALSE(Def().IsBlob());
  EXPECT_EQ(Field('B', 10).FieldType(), ftBlob);
  EXPECT_TRUE(Def().IsBlob());
  EXPECT_EQ(Field('V', 8).FieldType(), ftUnknown);
  defs_.SetTableFormat(tfDBase7);
  EXPECT_EQ(Field('Y', 8).FieldType(), ftUnknown);
  EXPECT_EQ(Def().NativeFieldType(), 0);
  EXPECT_EQ(Field('B', 8).FieldType(), ftBlob);
  EXPECT_EQ(Def().Size(), 10);
}

TEST_F(TDbfFieldDefTest, SizeRules) {
  TDbfFieldDef& c = Field('C', 10, 3);
  EXPECT_EQ(c.Precision(), 0);
  c.SetSize(300);
  EXPECT_EQ(c.Size(), 254);
  c.SetSize(-4);
  EXPECT_EQ(c.Size(), 0);
  TDbfFieldDef& n = Field('N', 25, 24);
  EXPECT_EQ(n.Size(), 20);
  EXPECT_EQ(n.Precision(), 18);
  n.SetSize(0);
  EXPECT_EQ(n.Precision(), 0);
  EXPECT_EQ(Field('L', 5, 2).Size(), 1);
  EXPECT_EQ(Def().Precision(), 0);
  EXPECT_EQ(Field('M', 4, 3).Size(), 10);
  EXPECT_EQ(Def().Precision(), 0);
  TDbfFieldDef& t = Field('T', 30, 2);
  EXPECT_EQ(t.Size(), 30);
  EXPECT_EQ(t.Precision(), 2);
}

TEST_F(TDbfFieldDefTest, RecordSetTypesGiveLettersAndDefaultSizes) {
  struct {
    TFieldType type;
    char letter;
    int size, decimals;
  } cases[] = {{ftString, 'C', 0, 0},    {ftFixedChar, 'C', 0, 0}, {ftSmallint, 'N', 4, 0},
               {ftWord, 'N', 4, 0},      {ftInteger, 'N', 9, 0},   {ftFloat, 'N', 18, 9},
               {ftCurrency, 'N', 16, 2}, {ftLargeint, 'N', 18, 0}, {ftBoolean, 'L', 0, 0},
               {ftDate, 'D', 8, 0},      {ftDateTime, '@', 8, 0},  {ftAutoInc, '+', 0, 0},
               {ftBlob, 'B', 0, 0},      {ftMemo, 'M', 0, 0},      {ftDBaseOle, 'G', 0, 0}};
  // Types outside the default size table keep the record-set size as given;
  // setting the type alone applies the letter's size rules.
  for (const auto& c : cases) {
    TDbfFieldDef& def = defs_.Add();
    def.CopyRecordSetDefinition("X", c.type, 0, 0, true, 7);
    EXPECT_EQ(def.NativeFieldType(), c.letter) << int(c.type);
    EXPECT_EQ(def.Size(), c.size) << int(c.type);
    EXPECT_EQ(def.Precision(), c.decimals) << int(c.type);
    EXPECT_EQ(def.SourceIndex(), 7);
    EXPECT_TRUE(def.Required());
  }
  TDbfFieldDef& logical = defs_.Add();
  logical.SetFieldType(ftBoolean);
  EXPECT_EQ(logical.Size(), 1);
  defs_.SetTableFormat(tfDBase7);
  TDbfFieldDef& i7 = defs_.Add();
  i7.CopyRecordSetDefinition("N", ftInteger, 0, 0, false, 0);
  EXPECT_EQ(i7.NativeFieldType(), 'I');
  EXPECT_EQ(i7.Size(), 4);
}

TEST_F(TDbfFieldDefTest, RecordSetDefinitionsBothWays) {
  TFieldDefs recordSetDefs;
  recordSetDefs.Add("first", ftString, 12);
  TFieldDef& price = recordSetDefs.Add("price", ftCurrency, 0, true);
  TDbfFieldDef& def = defs_.Add();
  def.CopyDefinition(price);
  EXPECT_EQ(def.FieldName(), "price");
  EXPECT_EQ(def.NativeFieldType(), 'N');
  EXPECT_EQ(def.Size(), 16);
  EXPECT_EQ(def.Precision(), 2);
  EXPECT_TRUE(def.Required());
  EXPECT_EQ(def.SourceIndex(), 1);

  TDbfFieldDef& text = Field('C', 30);
  text.SetFieldName("NOTE");
  TFieldDef& target = recordSetDefs[0];
  target.SetAttributes(FieldAttr(faReadonly));
  text.AssignTo(target);
  EXPECT_EQ(target.Name(), "NOTE");
  EXPECT_EQ(target.DataType(), ftString);
  EXPECT_EQ(target.Size(), 30);
  EXPECT_FALSE(target.Required());
  EXPECT_EQ(target.Attributes(), 0);
}

TEST_F(TDbfFieldDefTest, TypeWithoutLetterIsRefused) {
  TDbfFieldDef& def = Field('C', 10);
  def.SetFieldName("PICTURE");
  try {
    def.SetFieldType(ftGraphic);
    FAIL() << "no error";
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.Message(), "Cannot create field \"PICTURE\", field type 11 not supported by DBF.");
  }
  EXPECT_EQ(def.NativeFieldType(), 0);
  TDbfFieldDef& other = defs_.Add();
  try {
    other.CopyRecordSetDefinition("B", ftBytes, 4, 0, false, 0);
    FAIL() << "no error";
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.Message(), "Cannot create field \"B\", field type c not supported by DBF.");
  }
}

TEST_F(TDbfFieldDefTest, CopyDefinitionTakesEverything) {
  TDbfFieldDef& src = Field('N', 8, 2);
  src.SetRequired(true);
  src.SetOffset(17);
  src.SetAutoIncOffset(110);
  src.SetNextAutoInc(42);
  src.SetHasDefault(true);
  src.PrepareValueBufs();
  std::memcpy(src.DefaultBuf(), "    1.25", 8);
  TDbfFieldDefs other;
  other.Add();
  TDbfFieldDef& copy = other.Add();
  copy.CopyDefinition(src);
  EXPECT_EQ(copy.FieldName(), "F");
  EXPECT_EQ(copy.FieldType(), ftFloat);
  EXPECT_EQ(copy.NativeFieldType(), 'N');
  EXPECT_EQ(copy.Size(), 8);
  EXPECT_EQ(copy.Precision(), 2);
  EXPECT_TRUE(copy.Required());
  EXPECT_EQ(copy.Offset(), 17);
  EXPECT_EQ(copy.AutoIncOffset(), 110);
  EXPECT_EQ(copy.NextAutoInc(), 42u);
  EXPECT_TRUE(copy.HasDefault());
  EXPECT_EQ(std::string(copy.DefaultBuf(), 8), "    1.25");
  EXPECT_EQ(copy.SourceIndex(), 0);
  EXPECT_EQ(copy.Index(), 1);
}

TEST_F(TDbfFieldDefTest, BinaryInteger) {
  defs_.SetTableFormat(tfDBase7);
  Field('I', 4);
  Write<int32_t>(ftInteger, 1);
  EXPECT_EQ(Bytes(), std::string("\x80\x00\x00\x01", 4));
  Write<int32_t>(ftInteger, -2);
  EXPECT_EQ(Bytes(), std::string("\x7F\xFF\xFF\xFE", 4));
  int32_t v = 0;
  EXPECT_TRUE(Read(ftInteger, v));
  EXPECT_EQ(v, -2);
  // The smallest value is stored as four zero bytes, which read as empty.
  Write<int32_t>(ftInteger, INT32_MIN);
  EXPECT_EQ(Bytes(), std::string(4, '\0'));
  EXPECT_FALSE(Read(ftInteger, v));
  EncodeFieldValue(Def(), ftInteger, record_.data(), nullptr);
  EXPECT_EQ(Bytes(), std::string(4, '\0'));
}

// FoxPro's encodings, as tools write them into dBase III and IV tables too.
TEST_F(TDbfFieldDefTest, FoxProEncodingsBelowLevel7) {
  defs_.SetTableFormat(tfDBase3);
  Field('I', 4);
  Write<int32_t>(ftInteger, -2);
  EXPECT_EQ(Bytes(), std::string("\xFE\xFF\xFF\xFF", 4));
  int32_t i = 0;
  SetBytes(std::string(4, '\0'));
  EXPECT_TRUE(Read(ftInteger, i)) << "zero is a value, not an empty field";
  EXPECT_EQ(i, 0);

  Field('Y', 8);
  Write<double>(ftCurrency, -1.0002);
  EXPECT_EQ(Bytes(), std::string("\xEE\xD8\xFF\xFF\xFF\xFF\xFF\xFF", 8));
  double y = 0;
  SetBytes(std::string("\xFF\xFF\xFF\xFF\x01\0\0\0", 8));  // 8589934591 ten-thousandths
  EXPECT_TRUE(Read(ftCurrency, y));
  EXPECT_EQ(y, 858993.4591);

  Field('B', 8);
  Write<double>(ftFloat, -2.5);
  EXPECT_EQ(Bytes(), std::string("\0\0\0\0\0\0\x04\xC0", 8));
  double b = 0;
  EXPECT_TRUE(Read(ftFloat, b));
  EXPECT_EQ(b, -2.5);

  Field('T', 8);
  // 2003-04-04 16:13:11: Julian day 2452734, 58391000 ms.
  const double when = Day(2003, 4, 4) * 86400000.0 + 58391000.0;
  Write<double>(ftDateTime, when);
  EXPECT_EQ(Bytes(), std::string("\xFE\x6C\x25\x00\xD8\xF9\x7A\x03", 8));
  double t = 0;
  EXPECT_TRUE(Read(ftDateTime, t));
  EXPECT_EQ(t, when);
  // Blank, zero, a day before year 1 and a time past midnight: no value.
  for (const std::string& bytes :
       {std::string(8, ' '), std::string(8, '\0'), std::string("\x01\0\0\0\0\0\0\0", 8),
        std::string("\xFE\x6C\x25\x00\x00\x5C\x26\x05", 8)}) {
    SetBytes(bytes);
    EXPECT_FALSE(Read(ftDateTime, t));
  }
  EncodeFieldValue(Def(), ftDateTime, record_.data(), nullptr);
  EXPECT_EQ(Bytes(), std::string(8, '\0'));
}

TEST_F(TDbfFieldDefTest, BinaryDouble) {
  Field('O', 8);
  Write<double>(ftFloat, 0.0);
  EXPECT_EQ(Bytes(), std::string("\x80\0\0\0\0\0\0\0", 8));
  double v = -1;
  EXPECT_TRUE(Read(ftFloat, v));
  EXPECT_EQ(v, 0.0);
  for (double x : {1.0, -1.5, 193786.0, -1e300, 5e-324}) {
    Write<double>(ftFloat, x);
    ASSERT_TRUE(Read(ftFloat, v));
    EXPECT_EQ(v, x);
  }
  // Larger values compare larger byte-wise, as index keys need.
  Write<double>(ftFloat, -2.0);
  std::string minus2 = Bytes();
  Write<double>(ftFloat, 3.0);
  EXPECT_LT(minus2, Bytes());
  // -0.0 must not become the empty value.
  Write<double>(ftFloat, -0.0);
  EXPECT_TRUE(Read(ftFloat, v));
}

TEST_F(TDbfFieldDefTest, BinaryTimestamp) {
  Field('@', 8);
  double ms = Day(2024, 2, 29) * 86400000.0 + 3723000.0;
  Write<double>(ftDateTime, ms);
  uint64_t bits;
  std::memcpy(&bits, &ms, 8);
  std::string bytes = Bytes();
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(static_cast<uint8_t>(bytes[i]), static_cast<uint8_t>(bits >> (56 - 8 * i)));
  double back = 0;
  EXPECT_TRUE(Read(ftDateTime, back));
  EXPECT_EQ(back, ms);
  int32_t day = 0;
  EXPECT_TRUE(Read(ftDate, day));
  EXPECT_EQ(day, Day(2024, 2, 29));
  // Stamps before year 1 or after 9999, or no number at all: no value.
  for (double bad : {1000.0, Day(9999, 12, 31) * 86400000.0 + 86400000.0,
                     std::numeric_limits<double>::quiet_NaN()}) {
    Write<double>(ftDateTime, bad);
    EXPECT_FALSE(Read(ftDateTime, back)) << bad;
  }
}

TEST_F(TDbfFieldDefTest, IntegerText) {
  Field('N', 5);
  Write<int32_t>(ftInteger, 42);
  EXPECT_EQ(Bytes(), "00042");
  Write<int32_t>(ftInteger, -42);
  EXPECT_EQ(Bytes(), "-0042");
  Write<int32_t>(ftInteger, 123456);
  EXPECT_EQ(Bytes(), "23456");
  Write<int64_t>(ftLargeint, INT64_MIN);
  EXPECT_EQ(Bytes(), "-5808");
  Field('N', 3);
  Write<int16_t>(ftSmallint, -7);
  EXPECT_EQ(Bytes(), "-07");
  Field('N', 1);
  Write<int32_t>(ftInteger, -7);
  EXPECT_EQ(Bytes(), "-");

  Field('N', 6);
  SetBytes("  -12 ");
  int32_t i = 0;
  EXPECT_TRUE(Read(ftInteger, i));
  EXPECT_EQ(i, -12);
  SetBytes("   +7 ");
  int16_t s = 0;
  EXPECT_TRUE(Read(ftSmallint, s));
  EXPECT_EQ(s, 7);
  // Text that is no number, or "*" filled (a null from GIS programs, an
  // overflow from dBase), has no value; blanks beside it keep theirs.
  for (const std::string& text : {std::string("  12ab"), std::string("******"),
                                  std::string("   .  "), std::string(6, '\0')}) {
    SetBytes(text);
    EXPECT_FALSE(Read(ftInteger, i)) << text;
  }
  SetBytes("  12.0");
  EXPECT_TRUE(Read(ftInteger, i));
  EXPECT_EQ(i, 12);
  SetBytes(std::string("   5\0\0", 6));  // some writers pad with NULs
  EXPECT_TRUE(Read(ftInteger, i));
  EXPECT_EQ(i, 5);
  SetBytes("      ");
  EXPECT_FALSE(Read(ftInteger, i));
  EXPECT_FALSE(DecodeFieldValue(Def(), ftInteger, nullptr, record_.data()));
  EXPECT_FALSE(DecodeFieldValue(Def(), ftInteger, &i, nullptr));
}

TEST_F(TDbfFieldDefTest, FloatTextIgnoresTheLocale) {
  FormatSettings().DecimalSeparator = ',';
  Field('N', 10, 2);
  Write<double>(ftFloat, 3.5);
  EXPECT_EQ(Bytes(), "      3.50");
  SetBytes("   3.50   ");
  double v = 0;
  EXPECT_TRUE(Read(ftFloat, v));
  EXPECT_EQ(v, 3.5);
  Write<double>(ftFloat, 2.675);  // rounds as written, not as the binary value
  EXPECT_EQ(Bytes(), "      2.68");
  Write<double>(ftFloat, -0.001);
  EXPECT_EQ(Bytes(), "      0.00");
  SetBytes("  1.5e3   ");
  EXPECT_TRUE(Read(ftCurrency, v));
  EXPECT_EQ(v, 1500.0);
  SetBytes("     nan  ");
  EXPECT_FALSE(Read(ftFloat, v));
  SetBytes("**********");
  EXPECT_FALSE(Read(ftFloat, v));
  FormatSettings().DecimalSeparator = '.';
}

TEST_F(TDbfFieldDefTest, FloatTooLongForItsField) {
  Field('N', 6, 2);
  Write<double>(ftFloat, 12345.678);  // decimals give way first
  EXPECT_EQ(Bytes(), " 12346");
  Write<double>(ftFloat, 1234.5);
  EXPECT_EQ(Bytes(), "1234.5");
  Write<double>(ftFloat, 12345678.0);  // the whole part does not fit
  EXPECT_EQ(Bytes(), "******");
  Write<double>(ftFloat, 1e300);
  EXPECT_EQ(Bytes(), "******");
}

TEST_F(TDbfFieldDefTest, Logical) {
  Field('L', 1);
  int16_t v = -1;
  for (char c : {'T', 't', 'Y', 'y'}) {
    SetBytes(std::string(1, c));
    EXPECT_TRUE(Read(ftBoolean, v));
    EXPECT_EQ(v, 1) << c;
  }
  for (char c : {'F', 'f', 'N', 'n', '1'}) {
    SetBytes(std::string(1, c));
    EXPECT_TRUE(Read(ftBoolean, v));
    EXPECT_EQ(v, 0) << c;
  }
  SetBytes("?");
  EXPECT_FALSE(Read(ftBoolean, v));
  SetBytes(" ");
  EXPECT_FALSE(Read(ftBoolean, v));
  Write<int16_t>(ftBoolean, 5);
  EXPECT_EQ(Bytes(), "T");
  Write<int16_t>(ftBoolean, 0);
  EXPECT_EQ(Bytes(), "F");
}

TEST_F(TDbfFieldDefTest, DateText) {
  Field('D', 8);
  int32_t day = 0;
  SetBytes("20240229");
  EXPECT_TRUE(Read(ftDate, day));
  EXPECT_EQ(day, Day(2024, 2, 29));
  // A date no calendar has, or letters, is no value.
  for (const char* text : {"20230229", "00000000", "1999XX10", "abcdefgh", "2024 2 1"}) {
    SetBytes(text);
    EXPECT_FALSE(Read(ftDate, day)) << text;
  }
  SetBytes("        ");
  EXPECT_FALSE(Read(ftDate, day));
  Write<int32_t>(ftDate, Day(7, 3, 4));
  EXPECT_EQ(Bytes(), "00070304");
  Write<int32_t>(ftDate, 0);  // outside years 1..9999: the empty value
  EXPECT_EQ(Bytes(), "        ");
  double ms = 0;
  SetBytes("20240229");
  EXPECT_TRUE(Read(ftDateTime, ms));
  EXPECT_EQ(ms, Day(2024, 2, 29) * 86400000.0);
}

TEST_F(TDbfFieldDefTest, DateTimeText) {
  Field('T', 14);
  double ms = Day(2001, 12, 31) * 86400000.0 + (23 * 3600 + 59 * 60 + 58) * 1000.0 + 999;
  Write<double>(ftDateTime, ms);
  EXPECT_EQ(Bytes(), "20011231235958");
  double back = 0;
  EXPECT_TRUE(Read(ftDateTime, back));
  EXPECT_EQ(back, ms - 999);
  SetBytes("20011231246000");  // an impossible time: no value
  EXPECT_FALSE(Read(ftDateTime, back));
  // A field narrower than the text keeps what fits.
  Field('T', 10);
  Write<double>(ftDateTime, ms);
  EXPECT_EQ(Bytes(), "2001123123");
  Field('T', 16);
  Write<double>(ftDateTime, ms);
  EXPECT_EQ(Bytes(), "20011231235958  ");
}

TEST_F(TDbfFieldDefTest, StringText) {
  Field('C', 6);
  char text[16] = "ab";
  EncodeFieldValue(Def(), ftString, record_.data(), text);
  EXPECT_EQ(Bytes(), "ab    ");
  EncodeFieldValue(Def(), ftString, record_.data(), "longer than six");
  EXPECT_EQ(Bytes(), "longer");
  SetBytes(" x y  ");
  char out[7];
  EXPECT_TRUE(DecodeFieldValue(Def(), ftString, out, record_.data()));
  EXPECT_STREQ(out, " x y");
  EXPECT_TRUE(DecodeFieldValue(Def(), ftMemo, nullptr, record_.data()));
  EncodeFieldValue(Def(), ftString, record_.data(), nullptr);
  EXPECT_EQ(Bytes(), "      ");
  EXPECT_FALSE(DecodeFieldValue(Def(), ftString, out, record_.data()));
  // Types the text letters do not know write nothing.
  SetBytes("abcdef");
  int32_t any = 5;
  EncodeFieldValue(Def(), ftBytes, record_.data(), &any);
  EXPECT_EQ(Bytes(), "abcdef");
}

TEST_F(TDbfFieldDefTest, BlankRecordWithDefaults) {
  TDbfFieldDefs defs;
  const struct {
    const char* name;
    char letter;
    int size;
  } fields[] = {{"A", 'C', 3}, {"B", 'I', 4}, {"C", 'N', 5}, {"D", 'O', 8}, {"E", '@', 8}};
  int offset = 1;
  for (const auto& f : fields) {
    TDbfFieldDef& def = defs.Add();
    def.SetFieldName(f.name);
    def.SetOffset(offset);
    def.SetSize(f.size);
    def.SetNativeFieldType(f.letter);
    offset += def.Size();
  }
  defs[2].PrepareValueBufs();
  std::memcpy(defs[2].DefaultBuf(), "   12", 5);
  defs[2].SetHasDefault(true);
  std::string record(offset, 'x');
  BlankRecordImage(defs, record.data(), offset);
  EXPECT_EQ(record, std::string("    ") + std::string(4, '\0') + "   12" + std::string(16, '\0'));
}
