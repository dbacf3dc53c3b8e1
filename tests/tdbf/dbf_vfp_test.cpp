// Visual FoxPro tables through TDbf: a table made with TableLevel 30 holds
// every field type with nulls and varying text, reads back value for value
// here and in two independent readers (dbfread and python3-dbf), and a
// real table with a structural .cdx refuses every change.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/dbf_common.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tests/support/dbf_locale.h"
#include "tests/support/jsonl.h"
#include "tests/support/messages.h"
#include "tests/support/shell.h"
#include "tests/support/temp_dir.h"

namespace {

class TVisualFoxProTest : public ::testing::Test {
 protected:
  // A TableLevel 30 table with every type a record set can make, and
  // three records: one full, one with nulls only, one whose varchar fills
  // its field. Without the autoincrement and varchar fields the table is
  // of the first Visual FoxPro version (0x30), which more readers know.
  void MakeTable(const std::string& path, bool all = true) {
    TDbf dbf;
    dbf.SetTableName(path);
    dbf.SetTableLevel(30);
    dbf.SetOpenMode(omAutoCreate);
    if (all) dbf.FieldDefs().Add("ID", ftAutoInc);
    dbf.FieldDefs().Add("NAME", ftString, 12, all);
    if (all) dbf.FieldDefs().Add("NOTE", ftWideString, 10);
    dbf.FieldDefs().Add("PRICE", ftCurrency);
    dbf.FieldDefs().Add("WHEN", ftDateTime);
    dbf.FieldDefs().Add("QTY", ftInteger);
    dbf.FieldDefs().Add("RATIO", ftFloat);
    dbf.FieldDefs().Add("MEMO", ftMemo);
    dbf.Open();
    EXPECT_EQ(30, dbf.TableLevel());
    dbf.AppendNew();
    dbf.FieldNamed("NAME")->SetValueAsString("Ann");
    if (all) dbf.FieldNamed("NOTE")->SetValueAsString("short ");
    dbf.FieldNamed("PRICE")->SetValueAsFloat(1234.5678);
    dbf.FieldNamed("WHEN")->SetValueAsDateTime(EncodeDate(2024, 2, 29) + 0.5);
    dbf.FieldNamed("QTY")->SetValueAsInteger(-7);
    dbf.FieldNamed("RATIO")->SetValueAsFloat(0.25);
    dbf.FieldNamed("MEMO")->SetValueAsString(
        "a memo longer than one 64-byte block of the memo "
        "file, so that it takes two of them");
    dbf.Post();
    dbf.AppendNew();
    dbf.FieldNamed("NAME")->SetValueAsString("Bob");
    dbf.Post();
    dbf.AppendNew();
    dbf.FieldNamed("NAME")->SetValueAsString("Cid");
    if (all) dbf.FieldNamed("NOTE")->SetValueAsString("0123456789");
    dbf.FieldNamed("QTY")->SetValueAsInteger(0);
    dbf.Post();
  }

  TScopedSystemLocale locale_;
  TTempDir dir_;
  std::string path_ = dir_.File("vfp.dbf");
};

TEST_F(TVisualFoxProTest, CreatedTableReadsBackHereAndInOtherReaders) {
  MakeTable(path_);
  const std::string bytes = ReadWholeFile(path_);
  EXPECT_EQ(0x32, static_cast<uint8_t>(bytes[0]));  // varchar fields
  EXPECT_EQ(0x02, bytes[28]);                       // a memo file, no .cdx
  // Eight fields and _NullFlags, the terminator and the 263-byte backlink.
  EXPECT_EQ(32 + 9 * 32 + 1 + 263, GetLE16(bytes.data() + 8));
  EXPECT_EQ("_NullFlags", std::string(bytes.data() + 32 + 8 * 32));
  EXPECT_EQ(4u, GetLE32(bytes.data() + 32 + 19));  // the next ID
  EXPECT_TRUE(std::filesystem::exists(dir_.File("vfp.fpt")));

  TDbf dbf;
  dbf.SetTableName(path_);
  dbf.Open();
  EXPECT_EQ(8, dbf.FieldCount());  // _NullFlags is no column
  dbf.First();
  EXPECT_EQ(1, dbf.FieldNamed("ID")->ValueAsInteger());
  EXPECT_EQ("short ", dbf.FieldNamed("NOTE")->ValueAsString());
  EXPECT_EQ(1234.5678, dbf.FieldNamed("PRICE")->ValueAsFloat());
  EXPECT_EQ(EncodeDate(2024, 2, 29) + 0.5, dbf.FieldNamed("WHEN")->ValueAsDateTime());
  EXPECT_EQ(-7, dbf.FieldNamed("QTY")->ValueAsInteger());
  EXPECT_EQ(0.25, dbf.FieldNamed("RATIO")->ValueAsFloat());
  dbf.Next();
  EXPECT_EQ(2, dbf.FieldNamed("ID")->ValueAsInteger());
  for (const char* name : {"NOTE", "PRICE", "WHEN", "QTY", "RATIO", "MEMO"})
    EXPECT_TRUE(dbf.FieldNamed(name)->ValueIsNull()) << name;
  dbf.Next();
  EXPECT_EQ("0123456789", dbf.FieldNamed("NOTE")->ValueAsString());
  EXPECT_FALSE(dbf.FieldNamed("QTY")->ValueIsNull());
  // A value set to null again.
  dbf.Edit();
  dbf.FieldNamed("QTY")->Clear();
  dbf.FieldNamed("NOTE")->SetValueAsString("x");
  dbf.Post();
  dbf.Close();

  // What the other readers see: dbfread knows no null flags and reads a
  // varchar's whole field; python3-dbf honours nulls but knows only the
  // first Visual FoxPro version, and takes a field's position for its null
  // bit, which is the same only when every field is nullable.
  const std::string plain = dir_.File("plain.dbf");
  MakeTable(plain, false);
  const std::string script =
      "import sys, json, datetime, decimal, dbfread, dbf\n"
      "def j(v):\n"
      "  if isinstance(v, (datetime.date, decimal.Decimal)): return str(v)\n"
      "  if isinstance(v, bytes): return v.hex()\n"
      "  if v is not None and type(v).__name__ == 'NullType': return None\n"
      "  return v\n"
      "for r in dbfread.DBF(sys.argv[1], encoding='cp1252'):\n"
      "  print(json.dumps({k: j(v) for k, v in r.items()}))\n"
      "t = dbf.Table(sys.argv[2]); t.open()\n"
      "for r in t:\n"
      "  print(json.dumps({k.upper(): j(r[k]) for k in t.field_names}))\n";
  WriteWholeFile(dir_.File("read.py"), script);
  const std::string out = ShellOutput("/usr/bin/python3 '" + dir_.File("read.py") + "' '" + path_ +
                                      "' '" + plain + "' 2>&1");
  std::vector<TJsonValue> rows;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
    if (out[start] == '{') rows.push_back(ParseJson(out.substr(start, end - start)));
  ASSERT_EQ(6u, rows.size()) << out;
  const TJsonValue& ann = rows[0];
  EXPECT_EQ(1, ann["ID"].AsInt64());
  EXPECT_EQ("Ann", ann["NAME"].AsString());
  EXPECT_EQ("1234.5678", ann["PRICE"].AsString());
  EXPECT_EQ("2024-02-29 12:00:00", ann["WHEN"].AsString());
  EXPECT_EQ(-7, ann["QTY"].AsInt64());
  EXPECT_EQ(0.25, ann["RATIO"].AsDouble());
  EXPECT_EQ(0, ann["MEMO"].AsString().find("a memo longer"));
  EXPECT_EQ(0, ann["NOTE"].AsString().find("short "));
  EXPECT_EQ(2, rows[1]["ID"].AsInt64());
  EXPECT_EQ(3, rows[2]["ID"].AsInt64());

  const TJsonValue& annAgain = rows[3];
  EXPECT_EQ("Ann", annAgain["NAME"].AsString().substr(0, 3));
  EXPECT_EQ("1234.5678", annAgain["PRICE"].AsString());
  EXPECT_EQ("2024-02-29 12:00:00", annAgain["WHEN"].AsString());
  EXPECT_EQ(-7, annAgain["QTY"].AsInt64());
  EXPECT_EQ(0.25, annAgain["RATIO"].AsDouble());
  EXPECT_EQ(0, annAgain["MEMO"].AsString().find("a memo longer"));
  for (const char* name : {"PRICE", "WHEN", "QTY", "RATIO"})
    EXPECT_TRUE(rows[4][name].IsNull()) << name << " " << out;
  EXPECT_EQ(0, rows[5]["QTY"].AsInt64());
}

// The real table's flags name a structural .cdx, which this engine cannot
// keep up to date: it reads, but every change is refused and no byte moves.
TEST_F(TVisualFoxProTest, StructuralCdxRefusesChanges) {
  const std::string source = TestDataPath("real/infused-dbf/foxprodb/types.dbf");
  std::filesystem::copy_file(source, path_);
  std::filesystem::copy_file(ChangeFileExt(source, ".CDX"), dir_.File("vfp.CDX"));
  const std::string before = ReadWholeFile(path_);
  TDbf dbf;
  dbf.SetTableName(path_);
  dbf.Open();
  EXPECT_FALSE(dbf.IsWritable());
  EXPECT_EQ("Buyer", dbf.FieldNamed("CONTACT_T2")->ValueAsString());
  const std::string refusal = "the table's .cdx index cannot be kept up to date; open it read-only";
  EXPECT_EQ(refusal, Message([&] { dbf.Edit(); }));
  EXPECT_EQ(refusal, Message([&] { dbf.AppendNew(); }));
  EXPECT_EQ(refusal, Message([&] { dbf.Delete(); }));
  // The window's status bar says why the table is read-only.
  EXPECT_EQ(refusal, dbf.ReadOnlyReason());
  dbf.Close();
  EXPECT_EQ(before, ReadWholeFile(path_));
}

// Damaged headers fail naming the file and the fault; a damaged value
// reads as no value.
TEST_F(TVisualFoxProTest, DamagedTables) {
  MakeTable(path_);
  const std::string good = ReadWholeFile(path_);
  auto openError = [&](std::string bytes) {
    WriteWholeFile(path_, bytes);
    TDbfFile file(path_);
    file.SetMode(amReadOnly);
    return Message([&] { file.Open(); });
  };
  const std::string invalid = "Invalid DBF file: vfp.dbf: ";
  // Every field stored at 1, in a record too short for the widths to help.
  std::string overlap = good;
  for (int i = 0; i < 9; ++i) PutLE32(overlap.data() + 32 + 32 * i + 12, 1);
  PutLE16(overlap.data() + 10, 40);
  EXPECT_EQ(invalid + "fields 1 and 2 overlap", openError(overlap));
  std::string outside = good;
  PutLE32(outside.data() + 32 + 12, 5000);
  PutLE16(outside.data() + 10, 40);
  EXPECT_EQ(invalid + "field 1 'ID' lies outside its 40-byte record", openError(outside));
  PutLE16(outside.data() + 10, GetLE16(good.data() + 10));
  EXPECT_EQ("(no error)", openError(outside));  // the widths place the fields
  // No room in _NullFlags for six null bits and a length bit.
  std::string shortFlags = good;
  shortFlags[32 + 8 * 32 + 16] = 0;
  EXPECT_EQ(invalid + "its _NullFlags field holds 0 bits but its fields need 7",
            openError(shortFlags));

  // A varchar length byte beyond its field and a memo block past the end
  // of the memo file: no value, nothing read outside.
  std::string values = good;
  const size_t record = GetLE16(good.data() + 8);
  const size_t note = GetLE32(good.data() + 32 + 2 * 32 + 12);
  const size_t memo = GetLE32(good.data() + 32 + 7 * 32 + 12);
  values[record + note + 9] = 200;
  PutLE32(values.data() + record + memo, 0x7FFFFFF0);
  WriteWholeFile(path_, values);
  TDbf dbf;
  dbf.SetTableName(path_);
  dbf.Open();
  EXPECT_TRUE(dbf.FieldNamed("NOTE")->ValueIsNull());
  EXPECT_EQ("", dbf.FieldNamed("MEMO")->ValueAsString());
  EXPECT_EQ("Ann", dbf.FieldNamed("NAME")->ValueAsString());
}

// Varbinary values are bytes: zero bytes inside and at the ends, a value
// filling the field and a null all read back exactly, through the record
// set (bytes, and hexadecimal text) and through dbfcat.
TEST_F(TVisualFoxProTest, VarbinaryKeepsEveryByte) {
  const std::string path = dir_.File("raw.dbf");
  const std::string values[] = {std::string("\x00\x01\x00", 3), std::string("\xFF\0\0\0\0\0", 6),
                                std::string()};
  {
    TDbf dbf;
    dbf.SetTableName(path);
    dbf.SetTableLevel(30);
    dbf.SetOpenMode(omAutoCreate);
    dbf.FieldDefs().Add("RAW", ftVarBytes, 6);
    dbf.Open();
    for (const std::string& value : values) {
      dbf.AppendNew();
      if (!value.empty()) dbf.FieldNamed("RAW")->SetValueAsString(value);
      dbf.Post();
    }
  }
  TDbf dbf;
  dbf.SetTableName(path);
  dbf.SetReadOnly(true);
  dbf.Open();
  TField* raw = dbf.FieldNamed("RAW");
  EXPECT_EQ(raw->DataType(), ftVarBytes);
  EXPECT_EQ(raw->ValueAsString(), values[0]);
  EXPECT_EQ(raw->ShownText(), "00 01 00");
  dbf.Next();
  EXPECT_EQ(raw->ValueAsString(), values[1]);
  EXPECT_EQ(raw->EditText(), "FF 00 00 00 00 00");
  dbf.Next();
  EXPECT_TRUE(raw->ValueIsNull());
  EXPECT_EQ(raw->ShownText(), "");

  const TToolRun run = RunTool("dbfcat", {path});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("{\"RAW\": {\"$hex\": \"000100\"}}"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("{\"RAW\": {\"$hex\": \"ff0000000000\"}}"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("{\"RAW\": null}"), std::string::npos) << run.out;
}

}  // namespace
