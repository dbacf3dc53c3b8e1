// What the table set does with values its fields cannot hold, and with
// failures while it is being destroyed.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/env.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/dbf_common.h"
#include "tests/support/dbf_locale.h"
#include "tests/support/temp_dir.h"

namespace {

struct TNumberShape {
  const char* name;
  TFieldType type;
  int size;
  int precision;
};

// Record recNo (1-based) of a table file as stored.
std::string StoredRecord(const std::string& path, int recNo) {
  const std::string bytes = ReadWholeFile(path);
  const size_t headerSize = GetLE16(bytes.data() + 8), recordSize = GetLE16(bytes.data() + 10);
  return bytes.substr(headerSize + static_cast<size_t>(recNo - 1) * recordSize, recordSize);
}

class TDbfLimitsTest : public ::testing::Test {
 protected:
  // A table of the given numeric fields with one record, all values 1.
  void CreateTable(const std::vector<TNumberShape>& fields, int level = 4) {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.SetTableLevel(level);
    dbf.SetOpenMode(omAutoCreate);
    for (const TNumberShape& f : fields)
      dbf.FieldDefs().Add(f.name, f.type, f.size).SetPrecision(f.precision);
    dbf.Open();
    dbf.AppendNew();
    for (const TNumberShape& f : fields) dbf.FieldNamed(f.name)->SetValueAsString("1");
    dbf.Post();
  }
  void Open(bool useFloatFields = true) {
    dbf_.SetName("tbMain");
    dbf_.SetUseFloatFields(useFloatFields);
    dbf_.SetTableName(path_);
    dbf_.Open();
  }
  // Types text into a field of the first record and posts it; the error
  // message, or "(no error)".
  std::string Store(const char* field, const std::string& text) {
    dbf_.Edit();
    std::string message = "(no error)";
    try {
      dbf_.FieldNamed(field)->SetValueAsString(text);
    } catch (const Exception& e) {
      message = e.Message();
    }
    dbf_.Post();
    return message;
  }
  std::string Record() { return StoredRecord(path_, 1); }

  TScopedSystemLocale locale_;
  TTempDir dir_;
  std::string path_ = dir_.File("numbers.dbf");
  TDbf dbf_;
};

TEST_F(TDbfLimitsTest, TooWideNumbersAreRefusedBeforeTheyReachTheRecord) {
  CreateTable({{"N", ftFloat, 5, 0}, {"SMALL", ftSmallint, 0, 0}});
  Open();
  const std::string before = Record();
  EXPECT_EQ(
      "tbMain: 1.13452e+08 is not a valid value for field 'N'. "
      "The allowed range is -9999 to 99999",
      Store("N", "113452020"));
  EXPECT_EQ(before, Record());
  EXPECT_EQ("1", dbf_.FieldNamed("N")->ValueAsString());
  // Integers used to keep their last digits: 12345 became 2345.
  EXPECT_EQ(
      "tbMain: 12345 is not a valid value for field 'SMALL'. The allowed range is -999 to 9999",
      Store("SMALL", "12345"));
  EXPECT_EQ(before, Record());
}

TEST_F(TDbfLimitsTest, IntegerFieldsOfNumericTextTakeTheWidthsRange) {
  CreateTable({{"N", ftFloat, 5, 0}, {"ONE", ftSmallint, 1, 0}, {"BIG", ftLargeint, 19, 0}});
  Open(false);
  ASSERT_EQ(ftInteger, dbf_.FieldNamed("N")->DataType());
  ASSERT_EQ(ftLargeint, dbf_.FieldNamed("BIG")->DataType());
  const std::string before = Record();
  EXPECT_EQ(
      "tbMain: 113452020 is not a valid value for field 'N'. The allowed range is -9999 to 99999",
      Store("N", "113452020"));
  EXPECT_EQ(
      "tbMain: 100000 is not a valid value for field 'N'. The allowed range is -9999 to 99999",
      Store("N", "100000"));
  EXPECT_EQ(
      "tbMain: -10000 is not a valid value for field 'N'. The allowed range is -9999 to 99999",
      Store("N", "-10000"));
  // A width of one has no room for a sign.
  EXPECT_EQ("tbMain: -1 is not a valid value for field 'ONE'. The allowed range is 0 to 9",
            Store("ONE", "-1"));
  EXPECT_EQ(before, Record());
  // The ends of the range fit; a width beyond 64 bits keeps the type's range.
  EXPECT_EQ("(no error)", Store("N", "99999"));
  EXPECT_EQ("(no error)", Store("ONE", "9"));
  EXPECT_EQ("(no error)", Store("BIG", "9223372036854775807"));
  EXPECT_EQ(" 999999" + std::string("9223372036854775807"), Record());
  EXPECT_EQ("(no error)", Store("N", "-9999"));
  EXPECT_EQ("(no error)", Store("BIG", "-999999999999999999"));
  EXPECT_EQ(" -99999-999999999999999999", Record());
}

TEST_F(TDbfLimitsTest, DecimalFieldsTakeTheRangeOfTheirWholeDigits) {
  CreateTable({{"PRICE", ftFloat, 8, 2}, {"RATE", ftFloat, 3, 1}});
  Open();
  const std::string before = Record();
  // The message shows the bounds with six significant digits.
  const char* price = "The allowed range is -9999.99 to 100000";
  EXPECT_EQ(std::string("tbMain: 100000 is not a valid value for field 'PRICE'. ") + price,
            Store("PRICE", "100000"));
  EXPECT_EQ(std::string("tbMain: -10000 is not a valid value for field 'PRICE'. ") + price,
            Store("PRICE", "-10000"));
  // "-0.5" needs four characters: a width of 3 with a decimal has no room
  // for a sign.
  EXPECT_EQ("tbMain: -0.5 is not a valid value for field 'RATE'. The allowed range is 0 to 9.9",
            Store("RATE", "-0.5"));
  EXPECT_EQ("tbMain: 10 is not a valid value for field 'RATE'. The allowed range is 0 to 9.9",
            Store("RATE", "10"));
  EXPECT_EQ(before, Record());
  EXPECT_EQ("(no error)", Store("PRICE", "99999.99"));
  EXPECT_EQ("(no error)", Store("RATE", "9.9"));
  EXPECT_EQ(" 99999.999.9", Record());
  EXPECT_EQ("(no error)", Store("PRICE", "-9999.99"));
  EXPECT_EQ(" -9999.999.9", Record());
}

TEST_F(TDbfLimitsTest, BinaryNumbersKeepTheirTypesRange) {
  CreateTable({{"I", ftInteger, 0, 0}}, 7);
  Open();
  EXPECT_EQ("(no error)", Store("I", "113452020"));
  EXPECT_EQ(113452020, dbf_.FieldNamed("I")->ValueAsInteger());
}

// ---- Destruction ----------------------------------------------------------------

class TDbfDestroyTest : public TDbfLimitsTest {
 protected:
  void SetUp() override {
    SetExceptionReporter([this](const Exception& e) { reported_.push_back(e.Message()); });
  }
  void TearDown() override { SetExceptionReporter(nullptr); }

  std::vector<std::string> reported_;
};

// A set whose storage fails to close, destroyed the way a concrete set is:
// its own destructor closes it first.
class TCloseFailingDbf : public TDbf {
 public:
  ~TCloseFailingDbf() override { Destroying(); }

 protected:
  void CloseStorage() override {
    TDbf::CloseStorage();
    throw EDbfError("closing failed");
  }
};

TEST_F(TDbfDestroyTest, AListenerThatFailsOnCloseDoesNotStopTheDestruction) {
  CreateTable({{"N", ftFloat, 5, 0}});
  std::string bytes = ReadWholeFile(path_);
  bytes[1] = 90;  // last written in 1990
  WriteWholeFile(path_, bytes);
  TDataSource source;
  {
    auto dbf = std::make_unique<TDbf>();
    dbf->SetTableName(path_);
    dbf->Open();
    dbf->AppendNew();
    dbf->Post();
    source.SetDataSet(dbf.get());
    source.SetOnStateChange([](TDataSource& sender) {
      if (sender.State() == rsInactive) throw EDatabaseError("listener failed");
    });
    dbf.reset();
  }
  EXPECT_EQ(std::vector<std::string>{"listener failed"}, reported_);
  EXPECT_EQ(nullptr, source.DataSet());
  // The storage was still closed: the header of the table it wrote to
  // carries today's date and the appended record.
  const std::string after = ReadWholeFile(path_);
  EXPECT_EQ(platform::TEnv::Default()->LocalTime().year - 1900, static_cast<uint8_t>(after[1]));
  EXPECT_EQ(GetLE32(bytes.data() + 4) + 1, GetLE32(after.data() + 4));
}

TEST_F(TDbfDestroyTest, AStorageThatFailsToCloseDoesNotStopTheDestruction) {
  CreateTable({{"N", ftFloat, 5, 0}});
  {
    auto dbf = std::make_unique<TCloseFailingDbf>();
    dbf->SetTableName(path_);
    dbf->Open();
    dbf->Edit();
    dbf->FieldNamed("N")->SetValueAsString("42");
    dbf->Post();
    dbf.reset();
  }
  EXPECT_EQ(std::vector<std::string>{"closing failed"}, reported_);
  EXPECT_EQ("    42", StoredRecord(path_, 1));
  // Closed: the table opens again and shows the value.
  Open();
  EXPECT_EQ("42", dbf_.FieldNamed("N")->ValueAsString());
}

}  // namespace
