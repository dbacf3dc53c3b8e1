#include "tdbf/dbf_dbffile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>

#include "platform/codepage.h"
#include "platform/env.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tests/support/child_process.h"
#include "tests/support/dbf_image.h"
#include "tests/support/dbf_locale.h"
#include "tests/support/file_wrapper.h"
#include "tests/support/temp_dir.h"

namespace {

uint32_t Le32(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[offset + i]);
  return v;
}
uint16_t Le16(const std::string& bytes, size_t offset) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[offset]) |
                               (static_cast<uint8_t>(bytes[offset + 1]) << 8));
}

// An index file that records what the table file asks of it; it can be told
// to refuse inserts, as a distinct index refuses a key it already has.
class TFakeIndex : public TIndexFileUpkeep {
 public:
  explicit TFakeIndex(std::vector<std::string>& log, std::string name, bool refuseInserts = false)
      : log_(log), name_(std::move(name)), refuseInserts_(refuseInserts) {}
  void InsertRecordAll(int32_t recNo, const char*) override {
    if (refuseInserts_) throw EDbfError("Key violation.");
    Log("insert", recNo);
  }
  void DeleteRecordAll(int32_t recNo, const char*) override { Log("delete", recNo); }
  void UpdateRecordAll(int32_t recNo, const char* prev, const char* record) override {
    Log("update", recNo);
    log_.back() += " " + std::string(prev + 1, 3) + ">" + std::string(record + 1, 3);
  }
  void DropDistinctKeysAll(int32_t recNo, const char*) override { Log("drop", recNo); }
  void Close() override { log_.push_back(name_ + " close"); }
  void EnterExclusive() override { log_.push_back(name_ + " enter"); }
  void LeaveExclusive() override { log_.push_back(name_ + " leave"); }

 private:
  void Log(const char* what, int32_t recNo) {
    log_.push_back(name_ + " " + what + " " + std::to_string(recNo));
  }
  std::vector<std::string>& log_;
  std::string name_;
  bool refuseInserts_;
};

class TDbfFileTest : public ::testing::Test {
 protected:
  void SetUp() override { SetMemoFileOpener(nullptr); }
  void TearDown() override { SetMemoFileOpener(nullptr); }

  std::string Write(const TDbfImage& image, const std::string& name = "t.dbf") {
    return WriteBytes(image.Bytes(), name);
  }
  std::string WriteBytes(const std::string& bytes, const std::string& name = "t.dbf") {
    std::string path = dir_.File(name);
    WriteWholeFile(path, bytes);
    return path;
  }
  std::unique_ptr<TDbfFile> Open(const std::string& path, TFileAccessMode mode = amExclusiveOpen) {
    auto file = std::make_unique<TDbfFile>(path);
    file->SetMode(mode);
    file->Open();
    return file;
  }
  // Opening fails: gives the message and checks that the file is unchanged.
  std::string OpenError(const std::string& path, TFileAccessMode mode = amExclusiveOpen) {
    const std::string before = ReadWholeFile(path);
    TDbfFile file(path);
    file.SetMode(mode);
    std::string message = "no error";
    try {
      file.Open();
    } catch (const EDbfError& e) {
      message = e.Message();
    }
    EXPECT_FALSE(file.Opened());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ReadWholeFile(path), before) << "a failed open changed " << path;
    return message;
  }
  // A new table of the level with the fields, open in mode.
  std::unique_ptr<TDbfFile> Create(
      TTableFormat format, const std::vector<std::tuple<std::string, char, int, int>>& fields,
      const std::string& name = "new.dbf", TFileAccessMode mode = amExclusiveCreate) {
    auto file = std::make_unique<TDbfFile>(dir_.File(name));
    file->SetMode(mode);
    file->SetAutoCreate(true);
    file->SetTableFormat(format);
    file->Open();
    TDbfFieldDefs defs;
    defs.SetTableFormat(format);
    for (const auto& [fieldName, letter, width, decimals] : fields) {
      TDbfFieldDef& def = defs.Add();
      def.SetFieldName(fieldName);
      def.SetSize(width);
      def.SetPrecision(decimals);
      def.SetNativeFieldType(letter);
    }
    file->CreateStructure(defs, 512);
    return file;
  }
  static TDbfImage OneField(uint8_t version, uint8_t language = 0) {
    TDbfImage image;
    image.version = version;
    image.languageId = language;
    if (image.Level7()) image.driverName = "DBWINUS0";
    image.fields = {{"NAME", 'C', 6}};
    image.records = {"alpha", "beta"};
    return image;
  }
  int32_t AppendText(TDbfFile& file, const std::string& text) {
    std::vector<char> record(file.RecordSize());
    file.BlankRecord(record.data());
    file.WriteFieldValue(0, ftString, record.data(), text.c_str());
    return file.AppendRecord(record.data());
  }
  std::string FieldText(TDbfFile& file, int32_t recNo, int field) {
    std::vector<char> record(file.RecordSize());
    file.ReadPage(recNo, record.data());
    std::vector<char> text(file.FieldDefs()[field].Size() + 1);
    if (!file.ReadFieldValue(field, ftString, text.data(), record.data())) return "<empty>";
    return text.data();
  }

  // Appends a blank record; gives "recNo id" with the value the "+" field
  // (field index idField) got.
  static std::string AppendNumbered(TDbfFile& file, int idField) {
    std::vector<char> record(file.RecordSize());
    file.BlankRecord(record.data());
    int32_t recNo = file.AppendRecord(record.data());
    int32_t id = -1;
    EXPECT_TRUE(file.ReadFieldValue(idField, ftAutoInc, &id, record.data()));
    return std::to_string(recNo) + " " + std::to_string(id);
  }

  TScopedSystemLocale locale_;
  TTempDir dir_;
};

}  // namespace

TEST_F(TDbfFileTest, FormatFromVersionAndLanguageBytes) {
  const struct {
    uint8_t version, language;
    TTableFormat format;
  } cases[] = {{0x03, 0, tfDBase3},         {0x03, 0x1B, tfDBase4},       {0x83, 0, tfDBase3},
               {0x8B, 0x57, tfDBase4},      {0x8B, 0, tfDBase3},          {0x02, 0, tfFoxPro},
               {0x05, 0, tfFoxPro},         {0xF5, 0x03, tfFoxPro},       {0x04, 0, tfDBase7},
               {0x8C, 0, tfDBase7},         {0x30, 0x03, tfVisualFoxPro}, {0x31, 0, tfVisualFoxPro},
               {0x32, 0x03, tfVisualFoxPro}};
  for (const auto& c : cases) {
    auto file = Open(Write(OneField(c.version, c.language)), amReadOnly);
    EXPECT_EQ(file->TableFormat(), c.format) << std::hex << int(c.version);
    EXPECT_EQ(file->FieldDefs().Count(), 1);
    EXPECT_EQ(file->PageCount(), 2);
    EXPECT_EQ(file->LanguageId(), c.language);
  }
  for (uint8_t version : {0x38, 0xB0, 0x00, 0x07, 0xF8}) {
    const std::string path = Write(OneField(version));
    EXPECT_EQ(OpenError(path), "Invalid DBF file: " + ExtractFileName(path) +
                                   ": not a dBase table (first byte " + Format("0x%02X", version) +
                                   ")");
  }
}

// A count beyond the file (a copy cut short, a count of 0x0FFFFFFF), a
// file cut inside its last record, and a count below the records an
// appender left: each opens with the whole records it holds, writes nothing
// while it is only looked at, and is set right when it is next written,
// leaving a partial record's bytes as they were.
TEST_F(TDbfFileTest, CountsThatDisagreeWithTheFileAreSetRightOnlyByAWrite) {
  const std::string name = "t.dbf";
  auto openAndLook = [&](const std::string& path, TFileAccessMode mode) {
    const std::string before = ReadWholeFile(path);
    auto file = Open(path, mode);
    std::vector<char> record(file->RecordSize());
    for (int32_t r = 1; r <= file->PageCount(); ++r) file->ReadPage(r, record.data());
    const int32_t count = file->PageCount();
    const std::vector<std::string> warnings = file->OpenWarnings();
    file->Close();
    EXPECT_EQ(ReadWholeFile(path), before) << "looking wrote to " << path;
    return std::make_pair(count, warnings);
  };
  // Writes record recNo back as it is, and closes as the dataset does.
  auto rewrite = [&](const std::string& path, int32_t recNo) {
    auto file = Open(path, amSharedOpen);
    std::vector<char> record(file->RecordSize());
    file->LockRecordForEdit(recNo, record.data());
    file->PostRecord(recNo, record.data());
    file->WriteHeader();
    file->Close();
  };
  for (uint32_t stored : {7u, 0x0FFFFFFFu}) {
    TDbfImage image = OneField(0x03);
    image.recordCount = stored;
    std::string path = Write(image);
    for (TFileAccessMode mode : {amReadOnly, amSharedOpen, amExclusiveOpen}) {
      auto [count, warnings] = openAndLook(path, mode);
      EXPECT_EQ(count, 2);
      EXPECT_EQ(warnings, std::vector<std::string>{
                              Format("%s: its header counts %u records, but the file holds only 2; "
                                     "those are shown.",
                                     name.c_str(), stored)});
    }
    rewrite(path, 1);
    EXPECT_EQ(Le32(ReadWholeFile(path), 4), 2u);
  }

  // Cut inside record 3: two whole records; the partial bytes stay until an
  // append overwrites them.
  TDbfImage image = OneField(0x03);
  image.records.push_back("gamma");
  std::string bytes = image.Bytes();
  bytes.resize(bytes.size() - 1 - 3);  // the end byte and 3 of record 3
  const std::string path = WriteBytes(bytes);
  auto [count, warnings] = openAndLook(path, amSharedOpen);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(warnings, std::vector<std::string>{"t.dbf: the file ends inside record 3; the 2 whole "
                                               "records before it are shown."});
  rewrite(path, 2);
  std::string after = ReadWholeFile(path);
  EXPECT_EQ(Le32(after, 4), 2u);
  EXPECT_EQ(after.substr(4 + 4), bytes.substr(4 + 4)) << "the partial record is left";
  {
    auto file = Open(path, amSharedOpen);
    EXPECT_EQ(AppendText(*file, "delta"), 3);
    file->Close();
  }
  after = ReadWholeFile(path);
  EXPECT_EQ(Le32(after, 4), 3u);
  EXPECT_EQ(after.substr(after.size() - 8), " delta \x1A");

  // Records past a stale count: counted when the table is next written.
  image = OneField(0x03);
  image.recordCount = 1;
  const std::string stale = Write(image);
  EXPECT_EQ(openAndLook(stale, amSharedOpen).first, 2);
  auto file = Open(stale, amSharedOpen);
  file->WriteHeader();
  file->Close();
  EXPECT_EQ(Le32(ReadWholeFile(stale), 4), 2u);
}

// Old bytes after the end-of-file byte are no records; a record another
// handle appends there later is, also when the file does not grow.
TEST_F(TDbfFileTest, SlotsPastTheCountAreRecordsOnlyWithARecordFlag) {
  TDbfImage image = OneField(0x03);
  std::string bytes = image.Bytes();
  bytes += "old   old";  // slot 3 is the end byte and old bytes; then half a slot
  const std::string path = WriteBytes(bytes);
  auto reader = Open(path, amSharedOpen);
  EXPECT_EQ(reader->PageCount(), 2);
  EXPECT_TRUE(reader->OpenWarnings().empty());
  {
    auto appender = Open(path, amSharedOpen);
    EXPECT_EQ(AppendText(*appender, "gamma"), 3);
    appender->Close();
  }
  EXPECT_EQ(ReadWholeFile(path).size(), bytes.size()) << "the append overwrote the old slot";
  EXPECT_EQ(reader->PageCount(), 3);
  std::vector<char> record(reader->RecordSize());
  reader->ReadPage(3, record.data());
  EXPECT_EQ(std::string(record.data(), record.size()), " gamma ");
  reader->Close();
  EXPECT_EQ(Le32(ReadWholeFile(path), 4), 3u);

  // A slot past the count with a blank flag is a record a stopped appender
  // left; one with any other flag ends the records.
  image.records.push_back("gamma");
  image.recordCount = 2;
  bytes = image.Bytes();
  bytes.insert(bytes.size() - 1, std::string("\x01") + "delta ");
  bytes += " omega ";
  EXPECT_EQ(Open(WriteBytes(bytes), amReadOnly)->PageCount(), 3);
}

TEST_F(TDbfFileTest, Level7DescriptorsAndFieldProperties) {
  TDbfImage image;
  image.version = 0x04;
  image.driverName = "DB437US0";
  image.fields = {{"ID", '+', 4, 0, 11}, {"NAME", 'C', 8}, {"AMOUNT", 'N', 8, 2}};
  // Property block: head, then entries of 15 bytes, then the values.
  std::string block(16, '\0');
  auto entry = [&](int fieldNo, int kind, int dataOffset, int dataSize) {
    std::string e(15, '\0');
    PutWord(e, 2, static_cast<uint16_t>(fieldNo));
    e[4] = static_cast<char>(kind);
    PutWord(e, 11, static_cast<uint16_t>(dataOffset));
    PutWord(e, 13, static_cast<uint16_t>(dataSize));
    block += e;
  };
  const int values = 16 + 5 * 15;
  entry(2, 1, 0, 0);           // NAME required
  entry(3, 4, values, 4);      // AMOUNT default "1.50", shorter than the field
  entry(3, 2, values + 4, 8);  // AMOUNT minimum
  entry(0, 4, values, 4);      // no field 0: skipped
  entry(9, 4, values, 4);      // no field 9: skipped
  block += "1.50   -1.00";
  PutWord(block, 0, 5);
  PutWord(block, 2, 16);
  image.properties = block;
  image.records = {std::string("\x80\0\0\x01", 4) + "first"};
  auto file = Open(Write(image), amReadOnly);
  ASSERT_EQ(file->TableFormat(), tfDBase7);
  EXPECT_EQ(file->LanguageDriverName(), "DB437US0");
  EXPECT_EQ(file->FileCodePage(), 437);
  EXPECT_EQ(file->UseCodePage(), 437);
  const TDbfFieldDefs& defs = file->FieldDefs();
  ASSERT_EQ(defs.Count(), 3);
  EXPECT_EQ(defs[0].FieldType(), ftAutoInc);
  EXPECT_EQ(defs[0].NextAutoInc(), 11u);
  EXPECT_EQ(defs[0].AutoIncOffset(), 68 + 42);
  EXPECT_TRUE(file->HasAutoIncFields());
  EXPECT_FALSE(defs[0].Required());
  EXPECT_TRUE(defs[1].Required());
  EXPECT_TRUE(defs[2].HasDefault());
  EXPECT_TRUE(defs[2].HasMin());
  EXPECT_FALSE(defs[2].HasMax());
  EXPECT_EQ(std::string(defs[2].DefaultBuf(), 8), "1.50    ");
  std::vector<char> record(file->RecordSize());
  file->BlankRecord(record.data());
  EXPECT_EQ(std::string(record.data(), record.size()),
            std::string(" ") + std::string(4, '\0') + "        " + "1.50    ");
  file->ReadPage(1, record.data());
  int32_t id = 0;
  EXPECT_TRUE(file->ReadFieldValue(0, ftAutoInc, &id, record.data()));
  EXPECT_EQ(id, 1);
}

TEST_F(TDbfFileTest, DamagedHeadersFailClearly) {
  TDbfImage image = OneField(0x03);
  std::string good = image.Bytes();

  std::string bytes = good;
  PutWord(bytes, 8, 2000);
  std::string path = WriteBytes(bytes);
  const std::string invalid = "Invalid DBF file: " + ExtractFileName(path) + ": ";
  EXPECT_EQ(OpenError(path), invalid + "header length 2000 runs past the end of the file (" +
                                 std::to_string(bytes.size()) + " bytes)");

  bytes = good;
  PutWord(bytes, 8, 20);
  path = WriteBytes(bytes);
  EXPECT_EQ(OpenError(path), invalid + "header length 20 is shorter than a 32-byte table header");

  bytes = good;
  PutWord(bytes, 10, 5);  // the field needs 7 bytes with the deletion flag
  path = WriteBytes(bytes);
  EXPECT_EQ(OpenError(path), invalid + "its fields need 7 bytes but a record has only 5");

  bytes = good;
  bytes[32 + 11] = 'Q';
  EXPECT_EQ(OpenError(WriteBytes(bytes)), invalid + "field 1 'NAME' has unknown type 'Q'");
  bytes[32 + 11] = '\x01';
  EXPECT_EQ(OpenError(WriteBytes(bytes)), invalid + "field 1 'NAME' has unknown type 0x01");
  bytes = good;
  bytes[32] = '\0';
  EXPECT_EQ(OpenError(WriteBytes(bytes)), invalid + "field 1 has no name");

  // Files too short to hold a header at all.
  EXPECT_EQ(OpenError(WriteBytes("\x39")),
            invalid + "the file is too short for a table header (1 bytes)");
  EXPECT_EQ(OpenError(WriteBytes("")), invalid + "the file is empty");
}

TEST_F(TDbfFileTest, EmptyHeaderOrRecordSizeAbandonsTheOpen) {
  std::string good = OneField(0x03).Bytes();
  for (size_t at : {8, 10}) {
    std::string bytes = good;
    PutWord(bytes, at, 0);
    std::string path = WriteBytes(bytes);
    auto file = Open(path, amSharedOpen);
    EXPECT_TRUE(file->ForceClose());
    EXPECT_FALSE(file->Opened());
    EXPECT_EQ(file->PageCount(), 0);
    file->Close();
    EXPECT_FALSE(file->IsOpen());
    EXPECT_EQ(ReadWholeFile(path), bytes);
  }
}

TEST_F(TDbfFileTest, Level7PropertiesOutsideTheirPlace) {
  TDbfImage image;
  image.version = 0x04;
  image.fields = {{"NAME", 'C', 4}};
  std::string block(16 + 15, '\0');
  PutWord(block, 0, 1);
  PutWord(block, 2, 16);
  PutWord(block, 16 + 2, 1);
  block[16 + 4] = 4;
  PutWord(block, 16 + 11, 16);
  PutWord(block, 16 + 13, 5);  // five bytes for a four-byte field
  block += "ABCDE";
  image.properties = block;
  std::string path = Write(image);
  const std::string invalid = "Invalid DBF file: " + ExtractFileName(path) + ": ";
  EXPECT_EQ(OpenError(path), invalid + "a property of field 1 runs past the field or the header");

  PutWord(block, 16 + 13, 4);
  PutWord(block, 16 + 11, 40);  // beyond the block
  image.properties = block;
  path = Write(image);
  EXPECT_EQ(OpenError(path), invalid + "a property of field 1 runs past the field or the header");

  PutWord(block, 0, 9);  // nine entries do not fit
  image.properties = block;
  path = Write(image);
  EXPECT_EQ(OpenError(path), invalid + "its 9 field properties run past the header");
}

TEST_F(TDbfFileTest, ToleratedOddities) {
  // No terminator: the header size says where the descriptors end.
  TDbfImage image = OneField(0x03);
  std::string bytes = image.Bytes();
  bytes.erase(64, 1);
  PutWord(bytes, 8, 64);
  auto file = Open(WriteBytes(bytes), amReadOnly);
  EXPECT_EQ(file->FieldDefs().Count(), 1);
  EXPECT_EQ(FieldText(*file, 2, 0), "beta");
  file.reset();

  // An empty table whose one record would be larger than the file.
  TDbfImage wide;
  wide.fields = {{"TEXT", 'C', 254}};
  file = Open(Write(wide), amSharedOpen);
  EXPECT_EQ(file->PageCount(), 0);
  file.reset();

  // Fields narrower than the record (other programs leave room).
  bytes = image.Bytes();
  bytes[32 + 16] = 4;
  file = Open(WriteBytes(bytes), amReadOnly);
  EXPECT_EQ(file->RecordSize(), 7);
  EXPECT_EQ(FieldText(*file, 1, 0), "alph");
}

TEST_F(TDbfFileTest, WideStoredFieldsAreReadWhole) {
  TDbfImage image;
  image.fields = {{"NOTE", 'C', 255}, {"BIG", 'N', 50, 3}, {"AFTER", 'C', 3}};
  image.records = {std::string(254, 'x') + "y" + std::string(40, ' ') + "123456.789" + "end"};
  auto file = Open(Write(image), amReadOnly);
  const TDbfFieldDefs& defs = file->FieldDefs();
  EXPECT_EQ(defs[0].Size(), 255);
  EXPECT_EQ(defs[1].Size(), 50);
  EXPECT_EQ(defs[2].Offset(), 1 + 255 + 50);
  std::vector<char> record(file->RecordSize());
  file->ReadPage(1, record.data());
  double big = 0;
  EXPECT_TRUE(file->ReadFieldValue(1, ftFloat, &big, record.data()));
  EXPECT_EQ(big, 123456.789);
  EXPECT_EQ(FieldText(*file, 1, 0).back(), 'y');
  EXPECT_EQ(FieldText(*file, 1, 2), "end");
}

TEST_F(TDbfFileTest, CreateLevel4) {
  auto file = Create(tfDBase4, {{"name", 'C', 10, 0}, {"amount", 'N', 5, 2}});
  EXPECT_EQ(file->HeaderSize(), 97);
  EXPECT_EQ(file->RecordSize(), 16);
  file->Close();
  std::string bytes = ReadWholeFile(dir_.File("new.dbf"));
  ASSERT_EQ(bytes.size(), 98u);
  EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0x03);
  EXPECT_EQ(Le16(bytes, 8), 97);
  EXPECT_EQ(Le16(bytes, 10), 16);
  EXPECT_EQ(Le32(bytes, 4), 0u);
  EXPECT_EQ(static_cast<uint8_t>(bytes[29]), 0x37);
  EXPECT_EQ(bytes.substr(32, 11), std::string("NAME\0\0\0\0\0\0\0", 11));
  EXPECT_EQ(bytes[32 + 11], 'C');
  EXPECT_EQ(bytes[64 + 16], 5);
  EXPECT_EQ(bytes[64 + 17], 2);
  EXPECT_EQ(bytes[96], '\x0D');
  EXPECT_EQ(bytes[97], '\x1A');
  // Reopened, the language byte 0x37 names code page 850.
  file = Open(dir_.File("new.dbf"));
  EXPECT_EQ(file->TableFormat(), tfDBase4);
  EXPECT_EQ(file->FileCodePage(), 850);
  EXPECT_EQ(file->FieldDefs()[1].FieldType(), ftFloat);
  EXPECT_NE(file->FindFieldDef("Amount"), nullptr);
  EXPECT_EQ(file->FindFieldDef("nothing"), nullptr);
}

TEST_F(TDbfFileTest, CreateLevels3And25AndNames) {
  auto file = Create(tfDBase3, {{"customer_name_long", 'C', 10, 0}, {"memo", 'M', 10, 0}});
  file->Close();
  std::string bytes = ReadWholeFile(dir_.File("new.dbf"));
  EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0x83);
  EXPECT_EQ(bytes[29], 0);
  EXPECT_EQ(bytes.substr(32, 11), std::string("CUSTOMER_N\0", 11));
  file = Open(dir_.File("new.dbf"));
  EXPECT_EQ(file->FileCodePage(), 0);
  EXPECT_EQ(file->UseCodePage(), 1252);
  EXPECT_TRUE(file->HasMemoFields());
  EXPECT_EQ(file->MemoExtension(), ".dbt");

  file = Create(tfFoxPro, {{"memo", 'M', 10, 0}}, "fox.dbf");
  EXPECT_EQ(file->MemoExtension(), ".fpt");
  file->Close();
  bytes = ReadWholeFile(dir_.File("fox.dbf"));
  EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0xF5);
  EXPECT_EQ(static_cast<uint8_t>(bytes[29]), 0x01);

  file = Create(tfDBase4, {{"memo", 'M', 10, 0}}, "four.dbf");
  file->Close();
  EXPECT_EQ(static_cast<uint8_t>(ReadWholeFile(dir_.File("four.dbf"))[0]), 0x8B);
}

TEST_F(TDbfFileTest, CreateLevel7WithMemoFile) {
  std::vector<TMemoFileRequest> requests;
  SetMemoFileOpener([&requests](const TMemoFileRequest& r) {
    requests.push_back(r);
    auto memo = std::make_unique<TPagedFile>(r.fileName);
    memo->SetMode(r.mode);
    memo->SetAutoCreate(r.autoCreate);
    memo->OpenFile();
    return memo;
  });
  const std::string longName = "a_field_name_of_more_than_31_characters";
  auto file = Create(tfDBase7, {{longName, 'C', 5, 0}, {"notes", 'M', 10, 0}, {"n", 'I', 4, 0}});
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].fileName, dir_.File("new.dbt"));
  EXPECT_EQ(requests[0].format, tfDBase7);
  EXPECT_EQ(requests[0].blockSize, 512);
  EXPECT_TRUE(requests[0].autoCreate);
  EXPECT_NE(file->MemoFile(), nullptr);
  file->Close();
  EXPECT_EQ(file->MemoFile(), nullptr);
  std::string bytes = ReadWholeFile(dir_.File("new.dbf"));
  EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0x8C);
  EXPECT_EQ(Le16(bytes, 8), 48 * 3 + 69);
  EXPECT_EQ(bytes.substr(32, 9), std::string("DBWINUS0\0", 9));
  EXPECT_EQ(bytes.substr(68, 32), UpperCase(longName.substr(0, 31)) + std::string(1, '\0'));

  file = Open(dir_.File("new.dbf"), amSharedOpen);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].blockSize, 0);
  EXPECT_FALSE(requests[1].autoCreate);
  EXPECT_EQ(requests[1].mode, amSharedOpen);
  EXPECT_EQ(file->FileCodePage(), 1252);
  file->EnterExclusive();
  EXPECT_EQ(file->Mode(), amExclusiveOpen);
  EXPECT_EQ(file->MemoFile()->Mode(), amExclusiveOpen);
  file->LeaveExclusive();
  EXPECT_EQ(file->Mode(), amSharedOpen);
  EXPECT_EQ(file->MemoFile()->Mode(), amSharedOpen);
}

TEST_F(TDbfFileTest, CreateInTurkish) {
  locale_.Set({1254, 857, 0x041F});
  auto file = Create(tfDBase4, {{"ad", 'C', 10, 0}});
  EXPECT_EQ(file->LanguageId(), 0xCA);
  file = Create(tfFoxPro, {{"ad", 'C', 10, 0}}, "fox.dbf");
  EXPECT_EQ(file->LanguageId(), 0xCA);
  EXPECT_EQ(static_cast<uint8_t>(file->Header()[0]), 0x05);
  file = Create(tfDBase7, {{"ad", 'C', 10, 0}}, "seven.dbf");
  EXPECT_EQ(file->LanguageDriverName(), "DB1254TR0");
  EXPECT_EQ(static_cast<uint8_t>(file->Header()[0]), 0x04);
  file->Close();
  file = Open(dir_.File("seven.dbf"));
  EXPECT_EQ(file->FileCodePage(), 1254);
}

TEST_F(TDbfFileTest, CreateRefusesWhatAFileCannotHold) {
  auto file = std::make_unique<TDbfFile>(dir_.File("bad.dbf"));
  file->SetMode(amExclusiveCreate);
  file->Open();
  TDbfFieldDefs none;
  try {
    file->CreateStructure(none, 512);
    FAIL();
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.Message(), "Invalid field count: 0 (must be between 1 and 4095).");
  }
  TDbfFieldDefs wide;
  TDbfFieldDef& t = wide.Add();
  t.SetFieldName("stamp");
  t.SetNativeFieldType('T');
  t.SetSize(300);
  try {
    file->CreateStructure(wide, 512);
    FAIL();
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.Message(),
              "Cannot create field \"STAMP\": width 300 and decimals 0 do not fit a table field.");
  }
  EXPECT_EQ(ReadWholeFile(dir_.File("bad.dbf")), "") << "nothing written for a refused structure";
  // Other widths follow the size rules of their letters.
  TDbfFieldDefs clamped;
  clamped.Add().CopyRecordSetDefinition("text", ftString, 300, 0, false, 0);
  file->CreateStructure(clamped, 512);
  EXPECT_EQ(file->FieldDefs()[0].Size(), 254);
  EXPECT_EQ(file->RecordSize(), 255);
}

TEST_F(TDbfFileTest, CopyDateTimeAsString) {
  auto file = std::make_unique<TDbfFile>(dir_.File("dt.dbf"));
  file->SetMode(amExclusiveCreate);
  file->SetCopyDateTimeAsString(true);
  file->Open();
  TDbfFieldDefs defs;
  defs.Add().CopyRecordSetDefinition("when", ftDateTime, 0, 0, false, 0);
  file->CreateStructure(defs, 512);
  EXPECT_EQ(file->FieldDefs()[0].NativeFieldType(), 'C');
  EXPECT_EQ(file->FieldDefs()[0].Size(), 22);
  EXPECT_EQ(defs[0].FieldType(), ftString);
}

TEST_F(TDbfFileTest, MissingProductionIndex) {
  TDbfImage image = OneField(0x03, 0x1B);
  image.productionIndex = 1;
  std::string path = Write(image);
  auto file = Open(path);
  EXPECT_FALSE(file->ForceClose());
  EXPECT_EQ(file->Header()[28], 1) << "the header held is the file's until it is written";
  EXPECT_EQ(ReadWholeFile(path)[28], 1) << "the link goes with the next header write";
  file->WriteHeader();
  file->Close();
  EXPECT_EQ(ReadWholeFile(path)[28], 0);

  path = Write(image);
  bool asked = false;
  file = std::make_unique<TDbfFile>(path);
  file->SetOnIndexMissing([&asked](bool& deleteLink) {
    asked = true;
    EXPECT_TRUE(deleteLink);
    deleteLink = false;
  });
  file->Open();
  EXPECT_TRUE(asked);
  EXPECT_TRUE(file->ForceClose());
  file->Close();

  // Present (here in upper case beside an upper-case table): kept.
  path = Write(image, "T2.DBF");
  WriteWholeFile(dir_.File("T2.MDX"), "");
  file = std::make_unique<TDbfFile>(path);
  file->SetOnIndexMissing([](bool&) { FAIL() << "index is there"; });
  file->Open();
  EXPECT_EQ(file->ProductionIndexName(), dir_.File("T2.MDX"));
  EXPECT_EQ(file->Header()[28], 1);
  file->Close();

  // In another letter case than the table's: found all the same.
  path = Write(image, "t3.dbf");
  WriteWholeFile(dir_.File("T3.Mdx"), "");
  file = std::make_unique<TDbfFile>(path);
  file->SetOnIndexMissing([](bool&) { FAIL() << "index is there"; });
  file->Open();
  EXPECT_EQ(file->ProductionIndexName(), dir_.File("T3.Mdx"));
  EXPECT_EQ(file->Header()[28], 1);
}

TEST_F(TDbfFileTest, AppendWritesRecordCountAndEndByte) {
  auto file = Create(tfDBase4, {{"name", 'C', 6, 0}});
  EXPECT_EQ(AppendText(*file, "one"), 1);
  EXPECT_EQ(AppendText(*file, "two"), 2);
  EXPECT_EQ(AppendText(*file, "three"), 3);
  file->Close();
  std::string bytes = ReadWholeFile(dir_.File("new.dbf"));
  EXPECT_EQ(Le32(bytes, 4), 3u);
  EXPECT_EQ(bytes.size(), 65u + 3 * 7 + 1);
  EXPECT_EQ(bytes.substr(65), " one    two    three \x1A");
}

TEST_F(TDbfFileTest, AppendSkipsSlotsOthersHold) {
  auto file = Create(tfDBase4, {{"name", 'C', 6, 0}}, "new.dbf", amSharedCreate);
  AppendText(*file, "one");
  TDbfFile other(dir_.File("new.dbf"));
  other.SetMode(amSharedOpen);
  other.Open();
  // Another appender owns slot 2 and has not written its record yet.
  ASSERT_TRUE(other.LockPage(2, false));
  EXPECT_EQ(AppendText(*file, "three"), 3);
  EXPECT_EQ(Le32(ReadWholeFile(dir_.File("new.dbf")), 4), 3u);
  // The slot is free again once the append is done.
  EXPECT_TRUE(other.LockPage(3, false));
  other.UnlockPage(3);

  // The other appender writes its record; a later header write puts no end
  // byte over a record that stands after the last one counted.
  std::string two(static_cast<size_t>(other.RecordSize()), ' ');
  two.replace(1, 3, "two");
  other.WritePage(2, two.data());
  other.UnlockPage(2);
  file->WriteHeader();
  const std::string bytes = ReadWholeFile(dir_.File("new.dbf"));
  EXPECT_EQ(bytes.substr(static_cast<size_t>(other.PageOffset(2)), two.size()), two);
  EXPECT_EQ(bytes[static_cast<size_t>(other.PageOffset(3))], ' ');
  EXPECT_EQ(bytes.back(), '\x1A');
}

namespace {

// Runs an action once, just before (or just after) the first lock request of
// the file it wraps.
class TOnFirstLock : public TFileWrapper {
 public:
  TOnFirstLock(std::unique_ptr<platform::TFile> file, std::function<void()> action, bool after)
      : TFileWrapper(std::move(file)), action_(std::move(action)), after_(after) {}
  platform::TOsStatus Lock(uint64_t offset, uint64_t length) override {
    if (!action_) return Target()->Lock(offset, length);
    auto action = std::exchange(action_, nullptr);
    if (!after_) action();
    platform::TOsStatus status = Target()->Lock(offset, length);
    if (after_) action();
    return status;
  }

 private:
  std::function<void()> action_;
  bool after_;
};

class TOnFirstLockEnv : public platform::TEnvWrapper {
 public:
  explicit TOnFirstLockEnv(std::function<void()> action, bool after = false)
      : TEnvWrapper(platform::TEnv::Default()), action_(std::move(action)), after_(after) {}
  platform::TOsStatus OpenFile(const std::string& name, platform::TFileOpenMode mode,
                               std::unique_ptr<platform::TFile>& file) override {
    platform::TOsStatus status = Target()->OpenFile(name, mode, file);
    if (status.IsOk()) file = std::make_unique<TOnFirstLock>(std::move(file), action_, after_);
    return status;
  }

 private:
  std::function<void()> action_;
  bool after_;
};

}  // namespace

TEST_F(TDbfFileTest, AppendDoesNotTakeASlotWrittenMeanwhile) {
  auto file = Create(tfDBase4, {{"name", 'C', 6, 0}}, "new.dbf", amSharedCreate);
  AppendText(*file, "one");
  // The other handle counts one record, then, before it locks slot 2, this
  // handle appends record 2 whole and lets its lock go.
  TOnFirstLockEnv env([&] { EXPECT_EQ(AppendText(*file, "two"), 2); });
  TDbfFile other(dir_.File("new.dbf"));
  other.SetEnv(&env);
  other.SetMode(amSharedOpen);
  other.Open();
  EXPECT_EQ(AppendText(other, "three"), 3);
  other.Close();
  file->Close();
  const std::string bytes = ReadWholeFile(dir_.File("new.dbf"));
  EXPECT_EQ(Le32(bytes, 4), 3u);
  EXPECT_EQ(bytes.substr(65), " one    two    three \x1A");
}

// The slot is chosen under the header lock: from the other handle's first
// lock on, no other appender can take the header lock until that append is
// done, so no later slot can be written before its own.
TEST_F(TDbfFileTest, AppendChoosesItsSlotUnderTheHeaderLock) {
  auto file = Create(tfDBase4, {{"name", 'C', 6, 0}}, "new.dbf", amSharedCreate);
  AppendText(*file, "one");
  bool headerFree = true;
  TOnFirstLockEnv env([&] { headerFree = file->LockPage(0, false); }, true);
  TDbfFile other(dir_.File("new.dbf"));
  other.SetEnv(&env);
  other.SetMode(amSharedOpen);
  other.Open();
  EXPECT_EQ(AppendText(other, "two"), 2);
  EXPECT_FALSE(headerFree);
  EXPECT_EQ(AppendText(*file, "three"), 3);
  other.Close();
  file->Close();
  const std::string bytes = ReadWholeFile(dir_.File("new.dbf"));
  EXPECT_EQ(Le32(bytes, 4), 3u);
  EXPECT_EQ(bytes.substr(65), " one    two    three \x1A");
}

TEST_F(TDbfFileTest, AutoIncrementContinuesAfterReopen) {
  auto file = Create(tfDBase7, {{"id", '+', 4, 0}, {"name", 'C', 4, 0}});
  EXPECT_EQ(AppendNumbered(*file, 0), "1 0");
  EXPECT_EQ(AppendNumbered(*file, 0), "2 1");
  file->Close();
  EXPECT_EQ(Le32(ReadWholeFile(dir_.File("new.dbf")), 68 + 42), 2u);
  file = Open(dir_.File("new.dbf"));
  EXPECT_EQ(AppendNumbered(*file, 0), "3 2");
  file->Close();
  file = Open(dir_.File("new.dbf"), amSharedOpen);
  EXPECT_EQ(AppendNumbered(*file, 0), "4 3");
  file->Close();
  file = Open(dir_.File("new.dbf"), amReadOnly);
  EXPECT_EQ(file->FieldDefs()[0].NextAutoInc(), 4u);
  EXPECT_EQ(file->PageCount(), 4);
}

TEST_F(TDbfFileTest, RecordLocksForEditing) {
  auto file = Create(tfDBase4, {{"name", 'C', 6, 0}}, "new.dbf", amSharedCreate);
  AppendText(*file, "one");
  TDbfFile other(dir_.File("new.dbf"));
  other.SetMode(amSharedOpen);
  other.Open();
  std::vector<char> record(file->RecordSize());
  file->LockRecordForEdit(1, record.data());
  EXPECT_EQ(std::string(file->PrevBuffer(), 7), " one   ");
  std::vector<char> theirs(other.RecordSize());
  try {
    other.LockRecordForEdit(1, theirs.data());
    FAIL();
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.Message(), "Record locked.");
  }
  file->WriteFieldValue(0, ftString, record.data(), "uno");
  file->PostRecord(1, record.data());
  other.LockRecordForEdit(1, theirs.data());
  EXPECT_EQ(std::string(theirs.data(), 7), " uno   ");
}

TEST_F(TDbfFileTest, LockFieldIsStamped) {
  DbfGlobals().SetUserName("workstation-7");
  auto file = Create(tfDBase4, {{"name", 'C', 4, 0}, {"_dbaselock", 'C', 16, 0}});
  ASSERT_TRUE(file->HasLockField());
  AppendText(*file, "a");
  std::vector<char> record(file->RecordSize());
  file->LockRecordForEdit(1, record.data());
  file->UnlockPage(1);
  const platform::TSystemTime now = platform::TEnv::Default()->LocalTime();
  std::string stored = ReadWholeFile(dir_.File("new.dbf")).substr(97 + 5, 16);
  // The counter starts from the blank record's spaces; the append and the
  // edit each add one.
  EXPECT_EQ(Le16(stored, 0), 0x2020 + 2);
  EXPECT_EQ(static_cast<uint8_t>(stored[5]), now.year - 1900);
  EXPECT_EQ(stored[6], now.month);
  EXPECT_LE(static_cast<uint8_t>(stored[2]), 23);
  EXPECT_EQ(stored.substr(8), "workstat");
}

TEST_F(TDbfFileTest, IndexFilesFollowRecordChanges) {
  std::vector<std::string> log;
  auto file = Create(tfDBase4, {{"name", 'C', 6, 0}}, "new.dbf", amSharedCreate);
  AppendText(*file, "one");
  file->AddIndexFile(std::make_unique<TFakeIndex>(log, "a"));
  file->AddIndexFile(std::make_unique<TFakeIndex>(log, "b", true));
  const std::string before = ReadWholeFile(dir_.File("new.dbf"));
  EXPECT_THROW(AppendText(*file, "two"), EDbfError);
  EXPECT_EQ(log, (std::vector<std::string>{"a insert 2", "a delete 2"}));
  EXPECT_EQ(ReadWholeFile(dir_.File("new.dbf")), before) << "nothing written on a key violation";
  TDbfFile other(dir_.File("new.dbf"));
  other.SetMode(amSharedOpen);
  other.Open();
  EXPECT_TRUE(other.LockPage(2, false)) << "the slot is released";
  other.UnlockPage(2);
  other.Close();
  file->Close();
  EXPECT_EQ(log.back(), "b close");

  log.clear();
  file = Open(dir_.File("new.dbf"), amSharedOpen);
  file->AddIndexFile(std::make_unique<TFakeIndex>(log, "a"));
  std::vector<char> record(file->RecordSize());
  file->LockRecordForEdit(1, record.data());
  file->WriteFieldValue(0, ftString, record.data(), "uno");
  file->PostRecord(1, record.data());
  record[0] = '*';
  file->NotifyRecordDeleted(1, record.data());
  file->EnterExclusive();
  file->LeaveExclusive();
  EXPECT_EQ(log,
            (std::vector<std::string>{"a update 1 one>uno", "a drop 1", "a enter", "a leave"}));
}

// ---- With a second process ------------------------------------------------------

namespace {

std::string HelperPath() { return std::string(ZOZUR_HELPER_DIR) + "/dbffile_helper"; }

}  // namespace

TEST_F(TDbfFileTest, TwoAppendersInTwoProcesses) {
  auto file = Create(tfDBase4, {{"name", 'C', 6, 0}}, "new.dbf", amSharedCreate);
  AppendText(*file, "first");
  TChildProcess helper(HelperPath(), {dir_.File("new.dbf")});
  ASSERT_EQ(helper.Request("count"), "1");
  // The other process holds the header: our append waits for it and holds
  // no slot meanwhile, so neither slot 2 nor 3 is taken before it runs.
  ASSERT_EQ(helper.Request("holdheader"), "ok");
  int32_t ours = 0;
  std::thread appender([&] { ours = AppendText(*file, "ours"); });
  EXPECT_EQ(helper.Request("probe 2"), "free");
  EXPECT_EQ(helper.Request("probe 3"), "free");
  // The other process appends too; whichever gets the header first takes
  // slot 2, the other slot 3.
  const std::string theirs = helper.Request("releaseandappend theirs");
  appender.join();
  EXPECT_EQ(helper.Finish(), 0);
  file->Close();
  ASSERT_TRUE((ours == 2 && theirs == "3") || (ours == 3 && theirs == "2")) << ours << theirs;
  std::string bytes = ReadWholeFile(dir_.File("new.dbf"));
  EXPECT_EQ(Le32(bytes, 4), 3u);
  EXPECT_EQ(bytes.substr(65),
            ours == 3 ? " first  theirs ours  \x1A" : " first  ours   theirs\x1A");
}

TEST_F(TDbfFileTest, AutoIncrementAcrossProcesses) {
  auto file = Create(tfDBase7, {{"name", 'C', 6, 0}, {"id", '+', 4, 0}}, "new.dbf", amSharedCreate);
  TChildProcess helper(HelperPath(), {dir_.File("new.dbf")});
  EXPECT_EQ(AppendNumbered(*file, 1), "1 0");
  EXPECT_EQ(helper.Request("appendai"), "2 1");
  EXPECT_EQ(AppendNumbered(*file, 1), "3 2");
  EXPECT_EQ(helper.Request("appendai"), "4 3");
  EXPECT_EQ(helper.Finish(), 0);
  file->Close();
  file = Open(dir_.File("new.dbf"));
  EXPECT_EQ(AppendNumbered(*file, 1), "5 4");
}

TEST_F(TDbfFileTest, SharedHeaderWriteKeepsWhatAnotherProcessRaised) {
  auto file = Create(tfDBase7, {{"name", 'C', 6, 0}, {"id", '+', 4, 0}}, "new.dbf", amSharedCreate);
  constexpr size_t kNextId = 68 + 48 + 42;
  TChildProcess helper(HelperPath(), {dir_.File("new.dbf")});
  EXPECT_EQ(helper.Request("appendai"), "1 0");
  EXPECT_EQ(helper.Request("appendai"), "2 1");
  // This handle's header still says no records and next value 0.
  EXPECT_EQ(Le32(std::string(file->Header(), 8), 4), 0u);
  file->WriteHeader();
  std::string bytes = ReadWholeFile(dir_.File("new.dbf"));
  EXPECT_EQ(Le32(bytes, 4), 2u);
  EXPECT_EQ(Le32(bytes, kNextId), 2u);
  EXPECT_EQ(file->FieldDefs()[1].NextAutoInc(), 2u);

  EXPECT_EQ(helper.Request("append x"), "3");
  EXPECT_EQ(helper.Finish(), 0);
  file->WriteHeader();
  file->Close();
  bytes = ReadWholeFile(dir_.File("new.dbf"));
  EXPECT_EQ(Le32(bytes, 4), 3u);
  EXPECT_EQ(Le32(bytes, kNextId), 3u);
  file = Open(dir_.File("new.dbf"));
  EXPECT_EQ(AppendNumbered(*file, 1), "4 3");
}

TEST_F(TDbfFileTest, RecordLockedByAnotherProcess) {
  auto file = Create(tfDBase4, {{"name", 'C', 6, 0}}, "new.dbf", amSharedCreate);
  AppendText(*file, "one");
  TChildProcess helper(HelperPath(), {dir_.File("new.dbf")});
  ASSERT_EQ(helper.Request("lock 1"), "locked");
  std::vector<char> record(file->RecordSize());
  try {
    file->LockRecordForEdit(1, record.data());
    ADD_FAILURE() << "locked a record another process holds";
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.Message(), "Record locked.");
  }
  ASSERT_EQ(helper.Request("unlock 1"), "ok");
  file->LockRecordForEdit(1, record.data());
  EXPECT_EQ(helper.Request("lock 1"), "error Record locked.");
  EXPECT_EQ(helper.Finish(), 0);
}

TEST_F(TDbfFileTest, FixedWidthLetterStoredNarrowerThanItsWidth) {
  // The descriptor gives the I field 2 bytes, but an I value is 4 bytes
  // read from its offset: as the last field it would run past the record.
  TDbfImage image;
  image.fields = {{"NAME", 'C', 2}, {"N", 'I', 2}};
  image.records = {std::string("ab\x80\x01", 4)};
  std::string path = Write(image);
  EXPECT_EQ(OpenError(path), "Invalid DBF file: " + ExtractFileName(path) +
                                 ": its fields need 7 bytes but a record has only 5");

  // With room left in the record the value is read where it stands.
  TDbfImage roomy = image;
  roomy.fields.push_back({"PAD", 'C', 2});
  roomy.records = {std::string("ab\x07\x00\x00\x00", 6)};
  auto file = Open(Write(roomy), amReadOnly);
  std::vector<char> record(file->RecordSize());
  file->ReadPage(1, record.data());
  int32_t v = 0;
  EXPECT_TRUE(file->ReadFieldValue(1, ftInteger, &v, record.data()));
  EXPECT_EQ(v, 7);
}
