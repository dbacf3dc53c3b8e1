// dbfcat: prints a dBase table as JSON Lines. Line 1 describes the table
// (version, language driver, record count, fields, code page, sizes, memo
// file, and a Visual FoxPro table's database container as "backlink" when it
// names one); then one line per record, {"deleted": bool, "values": {...}}, with
// text decoded from the table's own code page to UTF-8. The table is opened
// read-only through TDbf; nothing is written.
//
//   dbfcat [--deleted] [--codepage CP] [--index NAME] [--filter EXPR]
//          [--locate FIELDS=VALUE [--partial] [--nocase]]
//          [--format csv|jsonl | --sqlite OUT.db] TABLE
//
// --deleted also prints the records flagged as deleted. --codepage reads
// the text in code page CP (cp866, 866, windows-1251, utf-8, ...) whatever
// the table says. --index prints the records in the order of an index: NAME
// is a tag of the table's production index or an index file (a name with an
// extension, relative to the table's folder). --filter prints
// only the records the dBase expression EXPR accepts. --locate prints just
// the first (visible) record whose fields hold the values: FIELDS names one
// field or several separated by ";", VALUE then holds as many values
// separated by ";"; --partial lets the last text value match the start of
// its field, --nocase folds the letters A-Z. Texts on the command line are
// UTF-8. Exit status 0 on success, 1 when the table cannot be read or no
// record matches the locate, 2 for a bad command line or filter
// expression.
//
// --format csv prints the records (after --deleted and --filter) as CSV,
// UTF-8 with a header row; --format jsonl as one JSON object per record,
// field name to value, with no table line; --sqlite OUT.db writes them into
// a new SQLite database file, table "records" with a typed column per
// field.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "export/table_export.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf.h"
#include "tdbf/dbf_codepage.h"
#include "tdbf/dbf_dbffile.h"
#include "tdbf/dbf_idxdef.h"

namespace {

constexpr const char* kUsage =
    "usage: dbfcat [--deleted] [--codepage CP] [--index NAME] [--filter EXPR]\n"
    "              [--locate FIELDS=VALUE [--partial] [--nocase]]\n"
    "              [--format csv|jsonl | --sqlite OUT.db] TABLE\n";
constexpr size_t kOutputBlock = 64 * 1024;
constexpr char kHexDigits[] = "0123456789abcdef";

// Collects one output line.
class TJsonLine {
 public:
  void Raw(std::string_view text) { line_ += text; }
  void Raw(char c) { line_ += c; }
  // Starts a member of an object: its name, after a comma when it is not
  // the first.
  void Key(const std::string& name) {
    Separate();
    String(name);
    line_ += ": ";
  }
  // A comma before the next item of an array or object, unless it is the
  // first or follows a member's name.
  void Separate() {
    if (!line_.empty() && line_.back() != '{' && line_.back() != '[' && line_.back() != ' ')
      line_ += ", ";
  }
  // A JSON string of UTF-8 text.
  void String(std::string_view text) {
    line_ += '"';
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c >= 0x20 && c != '"' && c != '\\') continue;
      line_.append(text.data() + run, i - run);
      run = i + 1;
      switch (c) {
        case '"':
          line_ += "\\\"";
          break;
        case '\\':
          line_ += "\\\\";
          break;
        case '\n':
          line_ += "\\n";
          break;
        case '\r':
          line_ += "\\r";
          break;
        case '\t':
          line_ += "\\t";
          break;
        default:
          line_ += "\\u00";
          line_ += kHexDigits[c >> 4];
          line_ += kHexDigits[c & 15];
      }
    }
    line_.append(text.data() + run, text.size() - run);
    line_ += '"';
  }
  void Integer(int64_t value) {
    char text[24];
    line_.append(text, std::to_chars(text, text + sizeof text, value).ptr);
  }
  // The shortest text that reads back as the same double, with a ".0" for
  // whole numbers so that it stays a float; null for NaN and infinities.
  void Float(double value) {
    if (!std::isfinite(value)) {
      line_ += "null";
      return;
    }
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    std::string s(text, result.ptr);
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    line_ += s;
  }
  void Bool(bool value) { line_ += value ? "true" : "false"; }
  const std::string& Text() const { return line_; }
  void Null() { line_ += "null"; }
  // Ends the line; lines go out in blocks of about 64 KiB.
  void Print() {
    line_ += '\n';
    if (line_.size() >= kOutputBlock) Flush();
  }
  void Flush() {
    std::fwrite(line_.data(), 1, line_.size(), stdout);
    line_.clear();
  }

 private:
  std::string line_;
};

std::string Hex(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kHexDigits[c >> 4];
    out += kHexDigits[c & 15];
  }
  return out;
}

// Writes value as width decimal digits, zero-padded, and returns the end.
char* PutDigits(char* at, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    at[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return at + width;
}

// A currency value (a count of ten-thousandths) as its exact decimal text,
// without trailing zeros: 185000 is "18.5", -5 is "-0.0005".
std::string CurrencyText(int64_t units) {
  const bool negative = units < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(units) : units;
  std::string text = (negative ? "-" : "") + std::to_string(magnitude / 10000);
  std::string fraction = std::to_string(magnitude % 10000 + 10000).substr(1);
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (!fraction.empty()) text += "." + fraction;
  return text;
}

std::string DateText(int32_t dayNumber) {
  int year, month, day;
  DecodeDayNumber(dayNumber, year, month, day);
  char text[16];
  if (year < 0 || year > 9999) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    return text;
  }
  char* at = PutDigits(text, year, 4);
  *at++ = '-';
  at = PutDigits(at, month, 2);
  *at++ = '-';
  PutDigits(at, day, 2);
  return std::string(text, 10);
}

void PrintHeader(TDbf& dbf) {
  TDbfFile& file = *dbf.DbfFile();
  const auto* header = reinterpret_cast<const uint8_t*>(file.Header());
  TJsonLine line;
  line.Raw('{');
  line.Key("version");
  line.Integer(header[0]);
  line.Key("lang_id");
  line.Integer(file.LanguageId());
  line.Key("record_count");
  line.Integer(dbf.RecordCount());
  line.Key("fields");
  line.Raw('[');
  for (int i = 0; i < file.FieldDefs().Count(); ++i) {
    const TDbfFieldDef& def = file.FieldDefs()[i];
    // Visual FoxPro's "_NullFlags" is no column of the table.
    if (def.IsSystemField()) continue;
    line.Separate();
    line.Raw('{');
    line.Key("name");
    line.String(dbf.FieldDefs()[i].Name());
    line.Key("type");
    line.String(std::string(1, def.NativeFieldType()));
    line.Key("length");
    line.Integer(def.Size());
    line.Key("decimals");
    line.Integer(def.Precision());
    line.Raw('}');
  }
  line.Raw(']');
  line.Key("encoding");
  line.String("cp" + std::to_string(file.UseCodePage()));
  line.Key("header_length");
  line.Integer(file.HeaderSize());
  line.Key("record_length");
  line.Integer(file.RecordSize());
  line.Key("memo_file");
  if (file.MemoFile() != nullptr) {
    const std::string& memoName = file.MemoFile()->FileName();
    line.String(memoName.substr(memoName.rfind(platform::kPathDelimiter) + 1));
  } else {
    line.Null();
  }
  const std::string backlink = file.Backlink();
  if (!backlink.empty()) {
    line.Key("backlink");
    std::string text;
    dbf.TextFromStorage(backlink, text);
    line.String(text);
  }
  line.Key("warnings");
  line.Raw('[');
  if (!platform::IsValidCodePage(static_cast<uint32_t>(file.UseCodePage())))
    line.String("code page " + std::to_string(file.UseCodePage()) +
                " cannot be converted; text is shown as Latin-1");
  line.Raw("]}");
  line.Print();
  line.Flush();
}

// How one field of the output is printed; worked out once per table.
struct TColumn {
  TField* field;
  const TDbfFieldDef* def;
  TStringField* text;  // text fields, read without a copy per value
  std::string key;     // the field's name as a JSON member name
  bool wholeNumber;    // a float field printed as an integer when it is one
};

void PrintValue(TJsonLine& line, TColumn& column, const char* image, std::string& scratch) {
  const TDbfFieldDef& def = *column.def;
  // A field whose null bit is set has no value, whatever its bytes hold.
  if (def.NullFlagMask() != 0 && (image[def.NullFlagAt()] & def.NullFlagMask()) != 0) {
    line.Null();
    return;
  }
  TField& field = *column.field;
  if (column.text != nullptr) {
    // Blank text is the empty string.
    column.text->ReadText(scratch);
    line.String(scratch);
    return;
  }
  // Currency is exact in the record; a double would round its last digits.
  if (def.NativeFieldType() == 'Y' && def.Size() == 8) {
    uint64_t units = 0;
    for (int i = 7; i >= 0; --i)
      units = (units << 8) | static_cast<uint8_t>(image[def.Offset() + i]);
    line.String(CurrencyText(static_cast<int64_t>(units)));
    return;
  }
  // Varbinary bytes are no text.
  if (def.NativeFieldType() == 'Q') {
    if (field.ValueIsNull()) {
      line.Null();
    } else {
      line.Raw("{\"$hex\": ");
      line.String(Hex(field.ValueAsString()));
      line.Raw('}');
    }
    return;
  }
  // Each value is decoded once: a field without one reads as false.
  switch (field.DataType()) {
    case ftSmallint: {
      int16_t value = 0;
      field.GetData(&value) ? line.Integer(value) : line.Null();
      return;
    }
    case ftInteger:
    case ftAutoInc: {
      int32_t value = 0;
      field.GetData(&value) ? line.Integer(value) : line.Null();
      return;
    }
    case ftLargeint: {
      int64_t value = 0;
      field.GetData(&value) ? line.Integer(value) : line.Null();
      return;
    }
    case ftWord:
      if (field.ValueIsNull())
        line.Null();
      else
        line.Integer(field.ValueAsLargeInt());
      return;
    case ftFloat:
    case ftCurrency: {
      double value = 0;
      if (!field.GetData(&value)) {
        line.Null();
      } else if (column.wholeNumber && std::fabs(value) < 1e18 && value == std::trunc(value)) {
        line.Integer(static_cast<int64_t>(value));
      } else {
        line.Float(value);
      }
      return;
    }
    case ftBoolean: {
      int16_t value = 0;
      field.GetData(&value) ? line.Bool(value != 0) : line.Null();
      return;
    }
    case ftDate: {
      int32_t dayNumber = 0;
      field.GetData(&dayNumber) ? line.String(DateText(dayNumber)) : line.Null();
      return;
    }
    case ftDateTime: {
      double milliseconds = 0;
      field.GetData(&milliseconds) ? line.String(IsoDateTimeText(milliseconds)) : line.Null();
      return;
    }
    default:
      break;
  }
  if (field.ValueIsNull()) {
    line.Null();
  } else if (field.IsBlob() && field.DataType() != ftMemo) {
    line.Raw("{\"$hex\": ");
    line.String(Hex(field.ValueAsString()));
    line.Raw('}');
  } else {
    line.String(field.ValueAsString());
  }
}

// Prints the current record, or with all every record the set shows.
void PrintRecords(TDbf& dbf, bool all = true) {
  TDbfFile& file = *dbf.DbfFile();
  std::vector<TColumn> columns;
  for (int i = 0; i < dbf.FieldCount(); ++i) {
    TField* field = dbf.Fields(i);
    const TDbfFieldDef& def = file.FieldDefs()[field->FieldNo() - 1];
    TJsonLine key;
    key.String(field->FieldName());
    const bool text = field->DataType() == ftString || field->DataType() == ftFixedChar;
    columns.push_back({field, &def, text ? dynamic_cast<TStringField*>(field) : nullptr,
                       key.Text() + ": ", def.Precision() == 0 && def.NativeFieldType() != 'O'});
  }
  TJsonLine line;
  std::string scratch;
  if (all) dbf.First();
  for (; !dbf.AtEnd(); dbf.Next()) {
    const char* image = TDbf::RecordImage(dbf.ActiveBuffer());
    line.Raw(image[0] == '*' ? "{\"deleted\": true, \"values\": {"
                             : "{\"deleted\": false, \"values\": {");
    for (size_t i = 0; i < columns.size(); ++i) {
      if (i > 0) line.Raw(", ");
      line.Raw(columns[i].key);
      PrintValue(line, columns[i], image, scratch);
    }
    line.Raw("}}");
    line.Print();
    if (!all) break;
  }
  line.Flush();
}

std::vector<std::string> SplitAtSemicolons(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(';', start)) != std::string::npos; start = end + 1)
    parts.push_back(text.substr(start, end - start));
  parts.push_back(text.substr(start));
  return parts;
}

// What the command line asks of the records.
struct TRequest {
  bool showDeleted = false;
  int codePage = 0;
  std::string index;
  bool filtered = false;
  std::string filter;
  bool locate = false;
  std::string locateFields;
  std::string locateValues;
  TSearchOptions locateOptions = 0;
  // An export instead of the table's own listing.
  bool exportRecords = false;
  TExportFormat exportFormat = efCsv;
  std::string exportFile = "-";
};

// Applies the filter and the locate. Returns the exit status when the
// records are not to be printed (a bad request, or no record found), else
// -1.
int SelectRecords(TDbf& dbf, const TRequest& request) {
  if (request.filtered) {
    try {
      dbf.SetFilter(request.filter);
    } catch (const Exception& e) {
      std::fprintf(stderr, "dbfcat: --filter %s: %s\n", request.filter.c_str(),
                   e.Message().c_str());
      // A caret under the place of the fault, where the text the user
      // typed has the same bytes as the one compiled (in the table's code
      // page): ASCII text.
      const auto* parse = dynamic_cast<const EParserException*>(&e);
      const bool ascii = std::all_of(request.filter.begin(), request.filter.end(),
                                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
      if (parse != nullptr && parse->Position() > 0 && ascii)
        std::fprintf(stderr, "  %s\n  %*s\n", request.filter.c_str(), parse->Position(), "^");
      return 2;
    }
    dbf.SetFiltered(true);
  }
  if (!request.locate) return -1;

  const size_t fieldCount = SplitAtSemicolons(request.locateFields).size();
  std::vector<std::string> texts = fieldCount > 1 ? SplitAtSemicolons(request.locateValues)
                                                  : std::vector<std::string>{request.locateValues};
  if (texts.size() != fieldCount) {
    std::fprintf(stderr, "dbfcat: --locate: %zu fields but %zu values\n", fieldCount, texts.size());
    return 2;
  }
  std::vector<TVariant> values;
  for (const std::string& text : texts) values.emplace_back(text);
  const TVariant keyValues = values.size() == 1 ? values[0] : TVariant(values);
  if (!dbf.LocateRecord(request.locateFields, keyValues, request.locateOptions)) {
    std::fprintf(stderr, "dbfcat: no record matches --locate %s=%s\n", request.locateFields.c_str(),
                 request.locateValues.c_str());
    return 1;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  TRequest request;
  bool searchOptions = false;
  std::string tableName;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--filter" || arg == "--locate" || arg == "--format" || arg == "--sqlite" ||
         arg == "--codepage" || arg == "--index") &&
        i + 1 == argc) {
      std::fprintf(stderr, "dbfcat: %s needs a value\n%s", arg.c_str(), kUsage);
      return 2;
    }
    if (arg == "--deleted") {
      request.showDeleted = true;
    } else if (arg == "--codepage") {
      const std::string name = argv[++i];
      request.codePage = CodePageFromName(name);
      if (request.codePage == 0) {
        std::fprintf(stderr,
                     "dbfcat: unknown code page '%s'; give one such as cp866, 866, "
                     "windows-1251, utf-8 or ISO-8859-9\n",
                     name.c_str());
        return 2;
      }
    } else if (arg == "--index") {
      request.index = argv[++i];
    } else if (arg == "--filter") {
      request.filtered = true;
      request.filter = argv[++i];
    } else if (arg == "--locate") {
      const std::string fieldsAndValue = argv[++i];
      const size_t equals = fieldsAndValue.find('=');
      if (equals == std::string::npos || equals == 0) {
        std::fprintf(stderr, "dbfcat: --locate needs FIELDS=VALUE\n%s", kUsage);
        return 2;
      }
      request.locate = true;
      request.locateFields = fieldsAndValue.substr(0, equals);
      request.locateValues = fieldsAndValue.substr(equals + 1);
    } else if (arg == "--format" || arg == "--sqlite") {
      if (request.exportRecords) {
        std::fprintf(stderr, "dbfcat: one of --format and --sqlite\n%s", kUsage);
        return 2;
      }
      const std::string value = argv[++i];
      request.exportRecords = true;
      if (arg == "--sqlite") {
        request.exportFormat = efSqlite;
        request.exportFile = value;
      } else if (value == "csv" || value == "jsonl") {
        request.exportFormat = value == "csv" ? efCsv : efJsonLines;
      } else {
        std::fprintf(stderr, "dbfcat: --format takes csv or jsonl\n%s", kUsage);
        return 2;
      }
    } else if (arg == "--partial") {
      request.locateOptions |= SearchOpt(soPartialKey);
      searchOptions = true;
    } else if (arg == "--nocase") {
      request.locateOptions |= SearchOpt(soCaseInsensitive);
      searchOptions = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      std::fprintf(stderr, "dbfcat: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    } else if (tableName.empty()) {
      tableName = arg;
    } else {
      std::fprintf(stderr, "dbfcat: more than one table given\n%s", kUsage);
      return 2;
    }
  }
  if (tableName.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (searchOptions && !request.locate) {
    std::fprintf(stderr, "dbfcat: --partial and --nocase go with --locate\n%s", kUsage);
    return 2;
  }

  // A name on the command line is relative to the current directory.
  const std::string current = platform::TEnv::Default()->CurrentFolder();
  if (current.empty() && !platform::IsAbsolutePath(tableName)) {
    std::fprintf(stderr, "dbfcat: %s: the current folder cannot be read\n", tableName.c_str());
    return 1;
  }
  const std::string path = platform::ExpandPath(tableName, current);
  try {
    TDbf dbf;
    dbf.SetReadOnly(true);
    dbf.SetShowDeleted(request.showDeleted);
    dbf.SetCodePage(request.codePage);
    dbf.SetTableName(path);
    if (!request.index.empty()) {
      // An index file given by name is opened with the table.
      if (!ExtractFileExt(request.index).empty()) {
        TDbfIndexDef& def = dbf.Indexes().Add();
        def.SetIndexFile(request.index);
      }
      dbf.SetIndexName(request.index);
    }
    dbf.Open();
    if (!request.index.empty() && dbf.IndexName().empty()) {
      std::fprintf(stderr, "dbfcat: %s: no index %s\n", tableName.c_str(), request.index.c_str());
      return 1;
    }
    // What the user should know about the table goes to standard error;
    // the table is still printed.
    for (const std::string& warning : dbf.OpenWarnings())
      std::fprintf(stderr, "dbfcat: warning: %s\n", warning.c_str());
    const int status = SelectRecords(dbf, request);
    if (status >= 0) return status;
    if (request.exportRecords) {
      TExportRequest exportRequest;
      exportRequest.format = request.exportFormat;
      exportRequest.fileName = request.exportFile;
      ExportRecords(dbf, exportRequest);
      dbf.Close();
      return 0;
    }
    PrintHeader(dbf);
    PrintRecords(dbf, !request.locate);
    dbf.Close();
  } catch (const EAbort&) {
    std::fprintf(stderr, "dbfcat: %s: the table cannot be opened\n", tableName.c_str());
    return 1;
  } catch (const Exception& e) {
    std::fprintf(stderr, "dbfcat: %s: %s\n", tableName.c_str(), e.Message().c_str());
    return 1;
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "dbfcat: cannot write the output\n");
    return 1;
  }
  return 0;
}
