// dbfcat, the table dumper: every real table of tests/data/real that has
// an independent reader's dump prints the same fields, records and values
// (through TDbf: memo values and deleted records included), or fails with
// the message its kind of file calls for; values read straight from the
// record print as the fields read them. The dump's conventions and quirks
// are in tests/data/real/SOURCES.md.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/dbf_common.h"
#include "tests/support/dbf_image.h"
#include "tests/support/dbf_locale.h"
#include "tests/support/jsonl.h"
#include "tests/support/shell.h"
#include "tests/support/temp_dir.h"
#include "tools/dbfcat/json_records.h"

namespace {

TToolRun Dbfcat(const std::vector<std::string>& args, const std::string& env = "") {
  return RunTool("dbfcat", args, env);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

std::u32string Utf32(const std::string& text) {
  std::u32string out;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < text.size(); ++k) cp = (cp << 6) | (text[i + k] & 0x3F);
    out.push_back(cp);
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

// Text equality where the dump's reader put U+FFFD for a byte its codec
// lacks and the platform's code page has a character for it.
bool SameText(const std::string& expected, const std::string& actual) {
  const std::u32string e = Utf32(expected), a = Utf32(actual);
  if (e.size() != a.size()) return false;
  for (size_t i = 0; i < e.size(); ++i)
    if (e[i] != a[i] && e[i] != 0xFFFD) return false;
  return true;
}

// A dump written as Latin-1 holds the table's bytes; dbfcat decodes them
// with the code page the table uses (the system's ANSI one for tables that
// name none).
std::string AsDecoded(const std::string& dumped, const std::string& encoding, int codePage) {
  if (encoding != "latin-1") return dumped;
  std::string bytes;
  for (char32_t c : Utf32(dumped)) bytes.push_back(static_cast<char>(c));
  std::string out;
  // A code page the platform lacks: dbfcat shows the bytes as Latin-1 too.
  if (!platform::ConvertCodePage(static_cast<uint32_t>(codePage), platform::kCodePageUtf8, bytes,
                                 out))
    return dumped;
  return out;
}

std::string RelativeTable(const std::filesystem::path& dump) {
  const std::filesystem::path root(TestDataPath("real"));
  std::string base = dump.lexically_relative(root).generic_string();
  base.resize(base.size() - std::string(".expected.jsonl").size());
  for (const char* ext : {".dbf", ".DBF"})
    if (std::filesystem::exists(root / (base + ext))) return base + ext;
  return base;
}

bool IsVisualFoxPro(int64_t version) { return version >= 0x30 && version <= 0x32; }

// What dbfcat must say about a table the engine cannot read.
std::string ExpectedFailure(const TJsonValue& header, const std::string& path) {
  const int64_t version = header["version"].AsInt64();
  const std::string invalid = "Invalid DBF file: " + ExtractFileName(path) + ": ";
  const std::string letters = IsVisualFoxPro(version) ? "CNFLDMBG@TIO+YVQPW0" : "CNFLDMBG@TIO+Y";
  int number = 0;
  for (const TJsonValue& field : header["fields"].Items()) {
    ++number;
    const std::string letter = field["type"].AsString();
    if (letters.find(letter) == std::string::npos)
      return invalid + Format("field %d '%s' has unknown type '%s'", number,
                              UpperCase(field["name"].AsString()).c_str(), letter.c_str());
  }
  return "";
}

// What dbfcat must warn of on standard error for a table it prints.
std::string ExpectedWarnings(const TJsonValue& header, const std::string& path) {
  if (!header["memo_file_missing"].AsBool()) return "";
  const int64_t version = header["version"].AsInt64();
  // A Visual FoxPro table may flag a memo file it has no field for.
  bool memos = false;
  for (const TJsonValue& field : header["fields"].Items()) {
    const std::string letter = field["type"].AsString();
    memos = memos || letter == "M" || letter == "G" || letter == "P" || letter == "W" ||
            (letter == "B" && !IsVisualFoxPro(version));
  }
  if (!memos) return "";
  const std::string ext = ExtractFileExt(path);
  const bool upper = ext == UpperCase(ext);
  const bool foxPro = version == 0xF5 || IsVisualFoxPro(version);
  const std::string memoExt = upper ? (foxPro ? ".FPT" : ".DBT") : (foxPro ? ".fpt" : ".dbt");
  return "dbfcat: warning: " + ExtractFileName(path) + ": memo file not found: \"" +
         ChangeFileExt(path, memoExt) + "\"; the table is open read-only.\n";
}

// Where a Visual FoxPro table keeps a field's "_NullFlags" bits, read from
// the descriptors: the null bit, and for V and Q fields the length bit
// before it. The dump's reader knows neither.
struct TNullBits {
  int nullBit = -1;
  int lengthBit = -1;
};

std::vector<TNullBits> NullBitsOf(const std::string& raw, size_t& flagsOffset) {
  std::vector<TNullBits> bits;
  int next = 0;
  flagsOffset = 0;
  for (size_t at = 32; at + 32 <= raw.size() && raw[at] != '\x0D'; at += 32) {
    const char letter = raw[at + 11];
    const auto flags = static_cast<uint8_t>(raw[at + 18]);
    TNullBits field;
    if (letter == '0') {
      flagsOffset = GetLE32(raw.data() + at + 12);
    } else {
      if (letter == 'V' || letter == 'Q') field.lengthBit = next++;
      if (flags & 0x02) field.nullBit = next++;
    }
    bits.push_back(field);
  }
  return bits;
}

bool BitSet(const std::string& record, size_t flagsOffset, int bit) {
  return bit >= 0 && (static_cast<uint8_t>(record.at(flagsOffset + bit / 8)) >> (bit % 8)) & 1;
}

class TDbfcatTest : public ::testing::Test {
 protected:
  // Compares dbfcat's output for a table with its dump; gives the number
  // of values compared.
  int Compare(const std::string& table, const std::vector<TJsonValue>& dump) {
    const std::string path = TestDataPath("real/" + table);
    const TJsonValue& header = dump.at(0);
    const TToolRun run = Dbfcat({"--deleted", path});
    const std::string failure = ExpectedFailure(header, path);
    if (!failure.empty()) {
      EXPECT_EQ(1, run.status) << table;
      EXPECT_EQ("dbfcat: " + path + ": " + failure + "\n", run.err) << table;
      return 0;
    }
    EXPECT_EQ(0, run.status) << table << " " << run.err;
    // A shapefile table cut inside its last record.
    const std::string warnings =
        table == "pyshp/corrupt_too_long.dbf"
            ? "dbfcat: warning: corrupt_too_long.dbf: the file ends inside record 11; the 10 "
              "whole records before it are shown.\n"
            : ExpectedWarnings(header, path);
    EXPECT_EQ(warnings, run.err) << table;
    const std::vector<std::string> lines = Lines(run.out);
    if (run.status != 0 || lines.empty()) return 0;
    const TJsonValue ours = ParseJson(lines[0]);
    const std::string encoding = header["encoding"].AsString();
    const int codePage = std::stoi(ours["encoding"].AsString().substr(2));
    if (encoding != "latin-1") {
      EXPECT_EQ(encoding, ours["encoding"].AsString()) << table;
    }
    EXPECT_EQ(header["version"].AsInt64(), ours["version"].AsInt64()) << table;
    EXPECT_EQ(header["lang_id"].AsInt64(), ours["lang_id"].AsInt64()) << table;
    EXPECT_EQ(header["header_length"].AsInt64(), ours["header_length"].AsInt64()) << table;
    EXPECT_EQ(header["record_length"].AsInt64(), ours["record_length"].AsInt64()) << table;
    // The memo file is found also when its name differs in letter case from
    // the table's ("AGENCIAS.DBT" beside "agencias.dbf").
    if (header["memo_file"].Kind() == TJsonValue::jkString) {
      EXPECT_EQ(header["memo_file"].AsString(), ours["memo_file"].AsString()) << table;
    }

    // Visual FoxPro's hidden "_NullFlags" field is no column.
    std::vector<TJsonValue> fields;
    std::vector<size_t> shown;  // the dump's index of each column
    for (size_t i = 0; i < header["fields"].Items().size(); ++i) {
      if (header["fields"].Items()[i]["type"].AsString() == "0") continue;
      fields.push_back(header["fields"].Items()[i]);
      shown.push_back(i);
    }
    const auto& ourFields = ours["fields"].Items();
    EXPECT_EQ(fields.size(), ourFields.size()) << table;
    if (fields.size() != ourFields.size()) return 0;
    const std::string raw = ReadWholeFile(path);
    const bool vfp = IsVisualFoxPro(header["version"].AsInt64());
    size_t nullFlagsAt = 0;
    const std::vector<TNullBits> nullBits =
        vfp ? NullBitsOf(raw, nullFlagsAt) : std::vector<TNullBits>();
    std::vector<std::string> names;  // our name of each dumped field
    std::vector<size_t> offsets;
    size_t offset = 1;
    for (size_t i = 0; i < fields.size(); ++i) {
      const std::string name = ourFields[i]["name"].AsString();
      names.push_back(name);
      // Visual FoxPro places each field itself.
      offsets.push_back(vfp ? GetLE32(raw.data() + 32 + 32 * shown[i] + 12) : offset);
      offset += static_cast<size_t>(ourFields[i]["length"].AsInt64());
      // Names are upper-case; a repeated name gets the number of its
      // occurrence.
      const std::string dumped = UpperCase(fields[i]["name"].AsString());
      int occurrence = 1;
      for (size_t k = 0; k < i; ++k)
        if (UpperCase(fields[k]["name"].AsString()) == dumped) ++occurrence;
      const std::string expectedName =
          dumped + (occurrence > 1 ? std::to_string(occurrence) : std::string());
      EXPECT_TRUE(SameText(AsDecoded(expectedName, encoding, codePage), name))
          << table << " " << name;
      EXPECT_EQ(fields[i]["type"].AsString(), ourFields[i]["type"].AsString()) << table << name;
      EXPECT_EQ(fields[i]["length"].AsInt64(), ourFields[i]["length"].AsInt64()) << table << name;
    }

    // Records the dump's reader left out: after the end-of-file byte, or
    // with a deletion flag that is neither blank nor "*".
    const size_t headerSize = GetLE16(raw.data() + 8), recordSize = GetLE16(raw.data() + 10);
    std::vector<TJsonValue> records;
    for (size_t i = 1; i < lines.size(); ++i) {
      const char flag = raw.at(headerSize + (i - 1) * recordSize);
      if (flag == ' ' || flag == '*') records.push_back(ParseJson(lines[i]));
    }
    EXPECT_EQ(dump.size() - 1, records.size()) << table;
    if (dump.size() - 1 != records.size()) return 0;

    int compared = 0;
    for (size_t r = 0; r < records.size(); ++r) {
      const TJsonValue& expectedRecord = dump[r + 1];
      EXPECT_EQ(expectedRecord["deleted"].AsBool(), records[r]["deleted"].AsBool()) << table << r;
      const auto& expected = expectedRecord["values"].Members();
      const auto& actual = records[r]["values"].Members();
      EXPECT_EQ(fields.size(), actual.size()) << table;
      const std::string record = raw.substr(headerSize + r * recordSize, recordSize);
      for (size_t i = 0; i < fields.size() && i < actual.size(); ++i) {
        EXPECT_EQ(names[i], actual[i].first) << table;
        const std::string where = table + " record " + std::to_string(r + 1) + " " + names[i];
        const char letter = fields[i]["type"].AsString()[0];
        const std::string bytes =
            record.substr(offsets[i], static_cast<size_t>(fields[i]["length"].AsInt64()));
        const TJsonValue& value = expected[shown[i]].second;
        if (vfp && BitSet(record, nullFlagsAt, nullBits[shown[i]].nullBit)) {
          // The field is null, whatever bytes it holds.
          EXPECT_TRUE(actual[i].second.IsNull()) << where;
        } else if (letter == 'V' || letter == 'Q') {
          // The value is the whole field, or as long as its last byte says.
          const size_t length = BitSet(record, nullFlagsAt, nullBits[shown[i]].lengthBit)
                                    ? static_cast<uint8_t>(bytes.back())
                                    : bytes.size();
          const std::u32string dumped = Utf32(AsDecoded(value.AsString(), encoding, codePage));
          const std::u32string text = Utf32(actual[i].second.AsString());
          EXPECT_EQ(length, text.size()) << where;
          EXPECT_TRUE(dumped.substr(0, text.size()) == text) << where;
        } else {
          CompareValue(letter == 'F' ? 'N' : letter, value, actual[i].second, encoding, codePage,
                       where);
        }
        ++compared;
      }
    }
    return compared;
  }

  static void CompareValue(char type, const TJsonValue& expected, const TJsonValue& actual,
                           const std::string& encoding, int codePage, const std::string& where) {
    const bool blank = expected.IsNull() || (expected.Kind() == TJsonValue::jkString &&
                                             expected.AsString().empty() && type == 'M');
    if (blank) {
      EXPECT_TRUE(actual.IsNull()) << where;
    } else if (type == 'C' || type == 'M') {
      ASSERT_EQ(TJsonValue::jkString, actual.Kind()) << where;
      const std::string text = AsDecoded(expected.AsString(), encoding, codePage);
      const std::u32string e = Utf32(text), a = Utf32(actual.AsString());
      // The dump's reader takes a dBase IV memo's length word for the data
      // length, which counts the 8-byte block header too: its value runs up
      // to 8 bytes past the end.
      if (type == 'M' && e.size() > a.size() && e.size() <= a.size() + 8) {
        EXPECT_EQ(a, e.substr(0, a.size())) << where;
      } else {
        EXPECT_TRUE(SameText(text, actual.AsString())) << where << ": " << actual.AsString();
      }
    } else if (type == 'Y') {
      // Currency is exact decimal text, as in the dump.
      EXPECT_EQ(expected.AsString(), actual.AsString()) << where;
    } else if (expected.Kind() == TJsonValue::jkObject) {
      EXPECT_EQ(expected["$hex"].AsString(), actual["$hex"].AsString()) << where;
    } else {
      ASSERT_EQ(expected.Kind(), actual.Kind()) << where;
      switch (expected.Kind()) {
        case TJsonValue::jkNumber:
          EXPECT_EQ(expected.AsDouble(), actual.AsDouble()) << where;
          break;
        case TJsonValue::jkBool:
          EXPECT_EQ(expected.AsBool(), actual.AsBool()) << where;
          break;
        default:
          EXPECT_EQ(expected.AsString(), actual.AsString()) << where;
      }
    }
  }

  TScopedSystemLocale locale_;
};

TEST_F(TDbfcatTest, RealTablesPrintAsDumped) {
  int tables = 0, read = 0, values = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(TestDataPath("real"))) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 15 || name.substr(name.size() - 15) != ".expected.jsonl") continue;
    const std::string table = RelativeTable(entry.path());
    const std::vector<TJsonValue> dump = ReadJsonLines(entry.path().string());
    const int compared = Compare(table, dump);
    ++tables;
    if (compared > 0) ++read;
    values += compared;
  }
  EXPECT_EQ(110, tables);
  EXPECT_GE(read, 70);
  EXPECT_GE(values, 50000);
}

TEST_F(TDbfcatTest, DeletedRecordsOnlyOnRequest) {
  const std::string people = TestDataPath("real/dbfread/examples/files/people.dbf");
  const TToolRun plain = Dbfcat({people});
  ASSERT_EQ(0, plain.status);
  const std::vector<std::string> lines = Lines(plain.out);
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(
      "{\"version\": 3, \"lang_id\": 0, \"record_count\": 3, \"fields\": [{\"name\": \"NAME\", "
      "\"type\": \"C\", \"length\": 16, \"decimals\": 0}, {\"name\": \"BIRTHDATE\", \"type\": "
      "\"D\", \"length\": 8, \"decimals\": 0}], \"encoding\": \"cp1252\", \"header_length\": 97, "
      "\"record_length\": 25, \"memo_file\": null, \"warnings\": []}",
      lines[0]);
  EXPECT_EQ(
      "{\"deleted\": false, \"values\": {\"NAME\": \"Alice\", \"BIRTHDATE\": \"1987-03-01\"}}",
      lines[1]);
  const TToolRun all = Dbfcat({"--deleted", people});
  ASSERT_EQ(0, all.status);
  const std::vector<std::string> allLines = Lines(all.out);
  ASSERT_EQ(4u, allLines.size());
  EXPECT_EQ(
      "{\"deleted\": true, \"values\": {\"NAME\": \"Deleted Guy\", \"BIRTHDATE\": "
      "\"1979-12-22\"}}",
      allLines[3]);
}

TEST_F(TDbfcatTest, LevelSevenTables) {
  const TToolRun run = Dbfcat({"--deleted", TestDataPath("real/javadbf/test_delete.dbf")});
  ASSERT_EQ(0, run.status) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("{\"deleted\": true, \"values\": {\"FNAME\": \"michael\"}}", lines[2]);
  EXPECT_EQ(3u, Lines(Dbfcat({TestDataPath("real/javadbf/test_delete.dbf")}).out).size());

  // Autoincrement and binary fields, and picture memos behind a length
  // header; the production index the header names is missing.
  const std::string inventory = TestDataPath("real/javadbf/inventory.dbf");
  const std::string before = ReadWholeFile(inventory);
  const TToolRun items = Dbfcat({inventory});
  ASSERT_EQ(0, items.status) << items.err;
  const std::vector<std::string> rows = Lines(items.out);
  ASSERT_EQ(13u, rows.size());
  const TJsonValue first = ParseJson(rows[1]);
  EXPECT_EQ(1, first["values"]["ITEM ID"].AsInt64());
  EXPECT_EQ("Dartboard", first["values"]["DESCRIPTION"].AsString());
  EXPECT_EQ(53, first["values"]["QTY"].AsInt64());
  const std::string picture = first["values"]["PICTURE"]["$hex"].AsString();
  EXPECT_EQ(2u * (0x36DD - 8), picture.size());
  EXPECT_EQ("4749463837", picture.substr(16, 10));  // "GIF87"
  EXPECT_EQ(before, ReadWholeFile(inventory));

  // Names of up to 32 characters, whose members are longer than the
  // others.
  TTempDir dir;
  TDbfImage image;
  image.version = 0x04;
  image.fields = {{"A_NAME_OF_THIRTY_TWO_CHARACTERS_", 'C', 3},
                  {"N", 'N', 4},
                  {"SECOND_NAME_OF_THIRTY_TWO_CHARS_", 'D', 8}};
  image.records = {"abc  1220240229", "   -12        "};
  image.deleted = {false, false};
  const std::string table = dir.File("long.dbf");
  WriteWholeFile(table, image.Bytes());
  const std::string printed = Dbfcat({table}).out;
  EXPECT_EQ(
      "{\"deleted\": false, \"values\": {\"A_NAME_OF_THIRTY_TWO_CHARACTERS_\": \"abc\", \"N\": 12, "
      "\"SECOND_NAME_OF_THIRTY_TWO_CHARS_\": \"2024-02-29\"}}\n"
      "{\"deleted\": false, \"values\": {\"A_NAME_OF_THIRTY_TWO_CHARACTERS_\": \"\", \"N\": -12, "
      "\"SECOND_NAME_OF_THIRTY_TWO_CHARS_\": null}}\n",
      printed.substr(printed.find('\n') + 1));
}

TEST_F(TDbfcatTest, TextIsDecodedFromTheTableCodePage) {
  TTempDir dir;
  const std::string path = dir.File("ru.dbf");
  {
    TDbf dbf;
    dbf.SetTableName(path);
    dbf.SetOpenMode(omAutoCreate);
    dbf.SetOnTranslate(
        [](TDbf&, std::string_view src, std::string& dest, bool) { dest.assign(src); });
    dbf.FieldDefs().Add("NAME", ftString, 12);
    dbf.FieldDefs().Add("NOTE", ftMemo, 0);
    dbf.Open();
    dbf.AppendNew();
    dbf.FieldNamed("NAME")->SetValueAsString("\x8F\xE0\xA8\xA2\xA5\xE2");  // cp866
    dbf.FieldNamed("NOTE")->SetValueAsString("\x8C\xA8\xE0\x0A\"q\"\\");
    dbf.Post();
  }
  std::string bytes = ReadWholeFile(path);
  bytes[29] = 0x26;  // the table names code page 866
  WriteWholeFile(path, bytes);
  for (const char* env : {"LC_ALL=C", "LC_ALL=tr_TR.UTF-8", "LC_ALL=ru_RU.UTF-8"}) {
    const TToolRun run = Dbfcat({path}, env);
    ASSERT_EQ(0, run.status) << env << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("\"encoding\": \"cp866\"")) << env;
    EXPECT_EQ(
        "{\"deleted\": false, \"values\": {\"NAME\": \"Привет\", \"NOTE\": "
        "\"Мир\\n\\\"q\\\"\\\\\"}}",
        lines[1])
        << env;
  }
}

TEST_F(TDbfcatTest, CodePageChosenOnTheCommandLine) {
  const std::string table = TestDataPath("real/infused-dbf/dbase_f5.dbf");
  for (const char* name : {"850", "cp850", "IBM850", "OEM 850"}) {
    const TToolRun run = Dbfcat({"--codepage", name, table});
    ASSERT_EQ(0, run.status) << name << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(976u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("\"encoding\": \"cp850\""));
    EXPECT_EQ("baix pened\u00E8s", ParseJson(lines[1])["values"]["COMN"].AsString());
  }
  const TToolRun unknown = Dbfcat({"--codepage", "klingon", table});
  EXPECT_EQ(2, unknown.status);
  EXPECT_EQ("", unknown.out);
  EXPECT_EQ(
      "dbfcat: unknown code page 'klingon'; give one such as cp866, 866, windows-1251, utf-8 "
      "or ISO-8859-9\n",
      unknown.err);
}

TEST_F(TDbfcatTest, CodePageThePlatformLacksFallsBackToLatin1) {
  TTempDir dir;
  const std::string path = dir.File("maz.dbf");
  std::filesystem::copy_file(TestDataPath("real/dbfread/examples/files/people.dbf"), path);
  std::string bytes = ReadWholeFile(path);
  bytes[29] = 0x69;  // Mazovia, code page 620
  bytes[98] = '\xA5';
  WriteWholeFile(path, bytes);
  const TToolRun run = Dbfcat({path});
  ASSERT_EQ(0, run.status) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  EXPECT_NE(std::string::npos,
            lines.at(0).find("\"warnings\": [\"code page 620 cannot be converted; text is shown as "
                             "Latin-1\"]"));
  EXPECT_NE(std::string::npos, lines.at(1).find("\"NAME\": \"\u00A5lice\""));
}

TEST_F(TDbfcatTest, ClearErrors) {
  TTempDir dir;
  const TToolRun missing = Dbfcat({dir.File("none.dbf")});
  EXPECT_EQ(1, missing.status);
  EXPECT_EQ("dbfcat: " + dir.File("none.dbf") + ": Open: file not found: \"" +
                dir.File("none.dbf") + "\".\n",
            missing.err);
  EXPECT_EQ("", missing.out);

  WriteWholeFile(dir.File("junk.dbf"), std::string(40, '\x39'));
  const TToolRun junk = Dbfcat({dir.File("junk.dbf")});
  EXPECT_EQ(1, junk.status);
  EXPECT_EQ("dbfcat: " + dir.File("junk.dbf") +
                ": Invalid DBF file: junk.dbf: not a dBase table (first byte 0x39)\n",
            junk.err);

  const std::string usage =
      "usage: dbfcat [--deleted] [--codepage CP] [--index NAME] [--filter EXPR]\n"
      "              [--locate FIELDS=VALUE [--partial] [--nocase]]\n"
      "              [--format csv|jsonl | --sqlite OUT.db] TABLE\n";
  const TToolRun none = Dbfcat({});
  EXPECT_EQ(2, none.status);
  EXPECT_EQ(usage, none.err);
  const TToolRun option = Dbfcat({"--fast", "x.dbf"});
  EXPECT_EQ(2, option.status);
  EXPECT_EQ("dbfcat: unknown option --fast\n" + usage, option.err);
  EXPECT_EQ(2, Dbfcat({"a.dbf", "b.dbf"}).status);
  EXPECT_EQ(0, Dbfcat({"--help"}).status);

  // Records that cannot be written (here to a full device) are an error,
  // whether the stream refuses them on the way or at the end.
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const std::string dbfcat = std::string(ZOZUR_HELPER_DIR) + "/../dbfcat";
  for (const char* table : {"real/dbase-rs/stations.dbf", "real/dbase-rs/cp850.dbf"}) {
    EXPECT_EQ(
        "dbfcat: cannot write the output\n1\n",
        ShellOutput("'" + dbfcat + "' '" + TestDataPath(table) + "' 2>&1 >/dev/full; echo $?"))
        << table;
  }
}

TEST_F(TDbfcatTest, RelativeNamesAreTakenFromTheCurrentDirectory) {
  const std::string folder = TestDataPath("real/dbfread/examples/files");
  const TToolRun run = Dbfcat({"people.dbf"}, "cd '" + folder + "' &&");
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ(3u, Lines(run.out).size());
}

}  // namespace

namespace {

// A table of every kind of value an export writes, with a deleted record.
std::string ExportTable(TTempDir& dir) {
  const std::string path = dir.File("export.dbf");
  TDbf dbf;
  dbf.SetTableName(path);
  dbf.SetTableLevel(4);
  dbf.SetOpenMode(omAutoCreate);
  dbf.FieldDefs().Add("NAME", ftString, 12);
  dbf.FieldDefs().Add("PRICE", ftFloat, 8).SetPrecision(2);
  dbf.FieldDefs().Add("QTY", ftInteger, 0);
  dbf.FieldDefs().Add("OK", ftBoolean, 0);
  dbf.FieldDefs().Add("DUE", ftDate, 0);
  dbf.FieldDefs().Add("NOTE", ftMemo, 0);
  dbf.Open();
  const std::vector<std::vector<std::string>> rows = {
      {"Smith, J", "12.5", "3", "T", "2024-01-15", "says \"hi\"\r\nbye"},
      {"Gone", "1", "1", "F", "", ""},
      {"", "", "", "", "", ""},
  };
  for (const auto& row : rows) {
    dbf.AppendNew();
    if (!row[0].empty()) dbf.FieldNamed("NAME")->SetValueAsString(row[0]);
    if (!row[1].empty()) dbf.FieldNamed("PRICE")->SetValueAsFloat(std::stod(row[1]));
    if (!row[2].empty()) dbf.FieldNamed("QTY")->SetValueAsInteger(std::stoi(row[2]));
    if (!row[3].empty()) dbf.FieldNamed("OK")->SetValueAsBoolean(row[3] == "T");
    if (!row[4].empty())
      dbf.FieldNamed("DUE")->SetValueAsDateTime(EncodeDate(std::stoi(row[4].substr(0, 4)),
                                                           std::stoi(row[4].substr(5, 2)),
                                                           std::stoi(row[4].substr(8, 2))));
    if (!row[5].empty()) dbf.FieldNamed("NOTE")->SetValueAsString(row[5]);
    dbf.Post();
  }
  dbf.SetRecordNumber(2);
  dbf.Delete();
  dbf.Close();
  return path;
}

TEST_F(TDbfcatTest, ExportsReadBackValueForValue) {
  TTempDir dir;
  const std::string table = ExportTable(dir);

  // CSV, read back by Python's csv module.
  const TToolRun csv = Dbfcat({"--format", "csv", table});
  ASSERT_EQ(0, csv.status) << csv.err;
  WriteWholeFile(dir.File("out.csv"), csv.out);
  EXPECT_EQ(
      ShellOutput("python3 -c \"import csv,json,sys; print(json.dumps(list(csv.reader(open(sys."
                  "argv[1], newline='', encoding='utf-8')))))\" '" +
                  dir.File("out.csv") + "'"),
      "[[\"NAME\", \"PRICE\", \"QTY\", \"OK\", \"DUE\", \"NOTE\"], [\"Smith, J\", "
      "\"12.5\", \"3\", \"true\", \"2024-01-15\", \"says \\\"hi\\\"\\r\\nbye\"], [\"\", "
      "\"\", \"\", \"\", \"\", \"\"]]\n");
  // The deleted record is there with --deleted.
  EXPECT_EQ(Lines(Dbfcat({"--format", "csv", "--deleted", table}).out).size(), 5u);

  // JSON Lines through a filter.
  const TToolRun jsonl = Dbfcat({"--format", "jsonl", "--filter", "QTY = 3", table});
  ASSERT_EQ(0, jsonl.status) << jsonl.err;
  EXPECT_EQ(jsonl.out,
            "{\"NAME\": \"Smith, J\", \"PRICE\": 12.5, \"QTY\": 3, \"OK\": true, \"DUE\": "
            "\"2024-01-15\", \"NOTE\": \"says \\\"hi\\\"\\r\\nbye\"}\n");

  // SQLite, read back by the sqlite3 program with each value's type.
  const std::string db = dir.File("out.db");
  const TToolRun sqlite = Dbfcat({"--sqlite", db, table});
  ASSERT_EQ(0, sqlite.status) << sqlite.err;
  EXPECT_EQ(ShellOutput("sqlite3 '" + db +
                        "' \"SELECT NAME, typeof(PRICE), PRICE, typeof(QTY), QTY, OK, DUE, "
                        "quote(NOTE) FROM records\""),
            "Smith, J|real|12.5|real|3.0|1|2024-01-15|'says \"hi\"\r\nbye'\n"
            "|null||null||||''\n");
  // A table name on the command line that cannot be written: a message,
  // status 1, no file left behind.
  const TToolRun bad = Dbfcat({"--sqlite", dir.File("no/such/folder/out.db"), table});
  EXPECT_EQ(1, bad.status);
  EXPECT_NE(std::string::npos, bad.err.find("Cannot write file")) << bad.err;
  EXPECT_EQ(2, Dbfcat({"--format", "xml", table}).status);
}

}  // namespace

namespace {

// The records of a table as dbfcat prints them, read on one path.
std::string PrintedRecords(const std::string& path, TValuePath valuePath, int codePage = 0,
                           bool floatFields = true) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  try {
    TDbf dbf;
    dbf.SetUseFloatFields(floatFields);
    dbf.SetReadOnly(true);
    dbf.SetShowDeleted(true);
    dbf.SetCodePage(codePage);
    dbf.SetTableName(path);
    dbf.Open();
    TJsonLine line(out);
    PrintRecords(dbf, line, true, valuePath);
  } catch (...) {
    std::fclose(out);
    std::free(text);
    throw;
  }
  std::fclose(out);
  std::string printed(text, size);
  std::free(text);
  return printed;
}

// The first line where two printouts differ, both ways, or "" when they
// are the same.
std::string FirstDifference(const std::string& expected, const std::string& actual) {
  if (expected == actual) return "";
  const std::vector<std::string> a = Lines(expected), b = Lines(actual);
  for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    const std::string x = i < a.size() ? a[i] : "(none)", y = i < b.size() ? b[i] : "(none)";
    if (x != y) return "line " + std::to_string(i + 1) + ":\n" + x + "\n" + y;
  }
  return "differs after the last line";
}

// Number text of every shape a field may hold: plain, zero-padded, signed,
// negative zero, whole numbers with a point, tiny and huge magnitudes, more
// digits than a double keeps, mostly zeros (where the shortest text turns
// scientific), and text that is no number; aligned right, left or neither.
std::string NumberText(std::mt19937& random, int width, int decimals) {
  static const char* const kOdd[] = {"-0",
                                     "-0.00",
                                     "0.000",
                                     "100.00",
                                     "100000.00",
                                     "00012.50",
                                     ".5",
                                     "-.5",
                                     "12.",
                                     "+7",
                                     "1e5",
                                     "-1.5E-3",
                                     "*****",
                                     ".",
                                     "-",
                                     "--1",
                                     "1.2.3",
                                     "1 2",
                                     "0.0001",
                                     "0000.0001",
                                     "1000000000000000000000",
                                     "123456789012345678",
                                     "9007199254740993",
                                     "1234567890.12345678",
                                     "\0\0\0",
                                     "12\0",
                                     "00000000",
                                     "-00000001",
                                     "+.5",
                                     "1,234.5",
                                     "1 234",
                                     "- 5",
                                     "5-",
                                     "1.5e",
                                     "0x1F",
                                     "\t5",
                                     "5.",
                                     "-5.",
                                     ".05",
                                     "-0.05",
                                     "0.00012",
                                     "0.000123",
                                     "-0.0001",
                                     "10000.0",
                                     "120000",
                                     "1200000.000",
                                     "-100000",
                                     "123456789012345",
                                     "-123456789012345",
                                     "1234567890123456",
                                     "12345678901234.5",
                                     "99999",
                                     "-9999",
                                     "32768",
                                     "2147483648",
                                     "-2147483649"};
  std::string text;
  const auto pick = random() % 10;
  if (pick < 3) {
    text = kOdd[random() % std::size(kOdd)];
    if (text.empty()) text.assign("\0\0\0", 3);
  } else if (pick == 3) {
    // Mostly zeros around a point.
    const int digits = 1 + static_cast<int>(random() % 12);
    for (int i = 0; i < digits; ++i)
      text += random() % 4 == 0 ? static_cast<char>('1' + random() % 9) : '0';
    if (decimals > 0) text.insert(random() % (text.size() + 1), 1, '.');
    if (random() % 3 == 0) text.insert(0, "-");
  } else {
    // A random fixed-point value with up to 17 digits.
    const int digits = 1 + static_cast<int>(random() % 17);
    for (int i = 0; i < digits; ++i) text += static_cast<char>('0' + random() % 10);
    const int point = decimals > 0 ? static_cast<int>(random() % (digits + 1)) : -1;
    if (point >= 0) text.insert(static_cast<size_t>(point), ".");
    if (random() % 3 == 0) text.insert(0, "-");
  }
  if (static_cast<int>(text.size()) > width) text.resize(static_cast<size_t>(width));
  const size_t blanks = static_cast<size_t>(width) - text.size();
  const size_t before = random() % 4 != 0 ? blanks : random() % (blanks + 1);
  return std::string(before, ' ') + text + std::string(blanks - before, ' ');
}

// Random bytes for a character field: ASCII words, blanks, quotes and
// backslashes, control bytes, NULs, bytes above 0x7F and UTF-8 sequences
// (valid, cut short, and the edges of well-formed UTF-8: overlong forms,
// surrogates, beyond U+10FFFF).
std::string CharacterText(std::mt19937& random, int width) {
  static const char* const kUtf8Edges[] = {
      "\xE2\x82\xAC",     "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBD",
      "\xC0\xAF",         "\xC1\xBF",         "\xE0\x80\xAF",     "\xE0\xA0\x80",
      "\xED\x9F\xBF",     "\xED\xA0\x80",     "\xF0\x8F\xBF\xBF", "\xF0\x90\x80\x80",
      "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xC2\x41",         "\xE2\x82\x41"};
  std::string text;
  while (static_cast<int>(text.size()) < width && random() % 8 != 0) {
    switch (random() % 9) {
      case 8:
        text += kUtf8Edges[random() % std::size(kUtf8Edges)];
        break;
      case 0:
        text += "SMITH";
        break;
      case 1:
        text += ' ';
        break;
      case 2:
        text += "\"\\";
        break;
      case 3:
        text += static_cast<char>(random() % 0x20);
        break;
      case 4:
        text += static_cast<char>(0x80 + random() % 0x80);
        break;
      case 5:
        text += "\xC5\x9E\xC4\xB0";  // ŞI in UTF-8
        break;
      case 6:
        text += "\xE2\x82";  // the start of a three-byte sequence
        break;
      default:
        text += static_cast<char>(0x20 + random() % 0x5F);
    }
  }
  text.resize(static_cast<size_t>(width), ' ');
  return text;
}

std::string DateText(std::mt19937& random) {
  static const char* const kOdd[] = {"        ",
                                     "00000000",
                                     "20201301",
                                     "2020023 ",
                                     " 2020101",
                                     "abcdefgh",
                                     "20200230",
                                     "20000229",
                                     "19000229",
                                     "00010101",
                                     "99991231",
                                     "2020-1-1",
                                     "20240229",
                                     "20230229",
                                     "21000229",
                                     "99990229",
                                     "00000101",
                                     "00040229",
                                     "20200000",
                                     "20200100",
                                     "20201232",
                                     "20200431",
                                     "20200630",
                                     "2020 101",
                                     "2020010:",
                                     "2020/1/1",
                                     "20200\x80"
                                     "\x80"
                                     "1",
                                     "       1"};
  if (random() % 4 == 0) return kOdd[random() % std::size(kOdd)];
  char text[9];
  std::snprintf(text, sizeof text, "%04d%02d%02d", static_cast<int>(1 + random() % 9999),
                static_cast<int>(1 + random() % 12), static_cast<int>(1 + random() % 31));
  return text;
}

}  // namespace

// dbfcat reads character, numeric, date and logical values straight from
// the record; every value must come out as the fields read it.
TEST_F(TDbfcatTest, DirectValuesMatchTheFieldsByteForByte) {
  TTempDir dir;
  std::mt19937 random(20201015);
  TDbfImage image;
  // Text fields of up to 16, of 17 to 32 and of more bytes; number fields
  // up to 16 bytes wide and wider; a short text and a number at the
  // record's end.
  image.fields = {
      {"AMOUNT", 'N', 12, 2}, {"ID", 'N', 10},     {"SMALL", 'N', 4},   {"WIDE", 'N', 20, 5},
      {"RATE", 'F', 19, 11},  {"BIG", 'N', 19},    {"NAME", 'C', 12},   {"SHORT", 'C', 5},
      {"DUE", 'D', 8},        {"OK", 'L', 1},      {"TINY", 'N', 3, 1}, {"COUNT", 'N', 8},
      {"PRICE", 'N', 16, 4},  {"EDGE", 'C', 16},   {"TITLE", 'C', 17},  {"CITY", 'C', 32},
      {"REMARK", 'C', 40},    {"SERIAL", 'N', 16}, {"TAIL", 'C', 6},    {"LAST", 'N', 5, 1}};
  for (int r = 0; r < 4000; ++r) {
    std::string record;
    for (const TDbfImageField& field : image.fields) {
      switch (field.type) {
        case 'N':
        case 'F':
          record += NumberText(random, field.width, field.decimals);
          break;
        case 'C':
          record += CharacterText(random, field.width);
          break;
        case 'D':
          record += DateText(random);
          break;
        default:
          record += "TtFfYyNn? \0x"[random() % 12];
      }
    }
    image.records.push_back(record);
    image.deleted.push_back(random() % 5 == 0);
  }
  // Code pages 850, 1252 and 866 from the language byte, UTF-8 from a .cpg
  // file, and 932 (two bytes a character) chosen at the open.
  struct TCase {
    const char* name;
    uint8_t languageId;
    const char* cpg;
    int codePage;
  } cases[] = {{"oem.dbf", 0x02, nullptr, 0},
               {"ansi.dbf", 0x03, nullptr, 0},
               {"russian.dbf", 0x65, nullptr, 0},
               {"unicode.dbf", 0x00, "UTF-8", 0},
               {"japanese.dbf", 0x00, nullptr, 932}};
  for (const TCase& c : cases) {
    image.languageId = c.languageId;
    const std::string path = dir.File(c.name);
    WriteWholeFile(path, image.Bytes());
    if (c.cpg != nullptr) WriteWholeFile(ChangeFileExt(path, ".cpg"), c.cpg);
    // Whole numbers as floats (as dbfcat reads them) and as integers.
    for (const bool floatFields : {true, false}) {
      const std::string direct = PrintedRecords(path, vpDirect, c.codePage, floatFields);
      EXPECT_EQ(4000, std::count(direct.begin(), direct.end(), '\n')) << c.name;
      EXPECT_EQ("",
                FirstDifference(PrintedRecords(path, vpFields, c.codePage, floatFields), direct))
          << c.name << (floatFields ? "" : " (integer fields)");
    }
  }

  // And every real table the engine opens, memos and all.
  int tables = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(TestDataPath("real"))) {
    const std::string ext = UpperCase(entry.path().extension().string());
    if (ext != ".DBF") continue;
    std::string direct;
    try {
      direct = PrintedRecords(entry.path().string(), vpDirect);
    } catch (const Exception&) {
      continue;
    }
    EXPECT_EQ("", FirstDifference(PrintedRecords(entry.path().string(), vpFields), direct))
        << entry.path();
    ++tables;
  }
  EXPECT_GE(tables, 90);
}
