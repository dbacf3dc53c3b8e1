// dbfcat: prints a dBase table as JSON Lines. Line 1 describes the table
// (version, language driver, record count, fields, code page, sizes, memo
// file); then one line per record, {"deleted": bool, "values": {...}}, with
// text decoded from the table's own code page to UTF-8. The table is opened
// read-only through TDbf; nothing is written.
//
//   dbfcat [--deleted] [--index NAME] [--filter EXPR]
//          [--locate FIELDS=VALUE [--partial] [--nocase]] TABLE
//
// --index prints the records in the order of an index: NAME is a tag of
// the table's production index or an index file (a name with an
// extension, relative to the table's folder).
// --deleted also prints the records flagged as deleted. --filter prints
// only the records the dBase expression EXPR accepts. --locate prints just
// the first (visible) record whose fields hold the values: FIELDS names one
// field or several separated by ";", VALUE then holds as many values
// separated by ";"; --partial lets the last text value match the start of
// its field, --nocase folds the letters A-Z. Texts on the command line are
// UTF-8. Exit status 0 on success, 1 when the table cannot be read or no
// record matches the locate, 2 for a bad command line or filter
// expression.

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "platform/codepage.h"
#include "platform/env.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf.h"
#include "tdbf/dbf_dbffile.h"
#include "tdbf/dbf_idxdef.h"

namespace {

constexpr const char* kUsage =
    "usage: dbfcat [--deleted] [--index NAME] [--filter EXPR] [--locate FIELDS=VALUE [--partial] "
    "[--nocase]] TABLE\n";
constexpr int64_t kMillisecondsPerDay = 86400000;

// Collects one output line.
class TJsonLine {
 public:
  void Raw(const std::string& text) { line_ += text; }
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
  void String(const std::string& text) {
    line_ += '"';
    for (unsigned char c : text) {
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
          if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            line_ += escape;
          } else {
            line_ += static_cast<char>(c);
          }
      }
    }
    line_ += '"';
  }
  void Integer(int64_t value) { line_ += std::to_string(value); }
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
  void Null() { line_ += "null"; }
  void Print() {
    line_ += '\n';
    std::fwrite(line_.data(), 1, line_.size(), stdout);
    line_.clear();
  }

 private:
  std::string line_;
};

// Decodes the table's text to UTF-8.
class TTextDecoder {
 public:
  explicit TTextDecoder(int codePage) : codePage_(codePage) {
    std::string probe;
    usable_ = platform::ConvertCodePage(static_cast<uint32_t>(codePage), platform::kCodePageUtf8,
                                        "A", probe);
  }
  bool Usable() const { return usable_; }
  // Text the platform cannot convert is taken as Latin-1, byte by byte.
  std::string Decode(const std::string& bytes) const {
    std::string out;
    if (usable_ && platform::ConvertCodePage(static_cast<uint32_t>(codePage_),
                                             platform::kCodePageUtf8, bytes, out))
      return out;
    out.clear();
    for (unsigned char c : bytes) {
      if (c < 0x80) {
        out += static_cast<char>(c);
      } else {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    return out;
  }

 private:
  int codePage_;
  bool usable_ = false;
};

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string DateText(int32_t dayNumber) {
  int year, month, day;
  DecodeDayNumber(dayNumber, year, month, day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  return text;
}

std::string DateTimeText(double milliseconds) {
  const int64_t total = static_cast<int64_t>(std::llround(milliseconds));
  int64_t day = total / kMillisecondsPerDay;
  int64_t ms = total % kMillisecondsPerDay;
  if (ms < 0) {
    ms += kMillisecondsPerDay;
    --day;
  }
  std::string text = DateText(static_cast<int32_t>(day));
  char time[32];
  std::snprintf(time, sizeof time, "T%02d:%02d:%02d", static_cast<int>(ms / 3600000),
                static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60));
  text += time;
  if (ms % 1000 != 0) {
    std::snprintf(time, sizeof time, ".%03d000", static_cast<int>(ms % 1000));
    text += time;
  }
  return text;
}

void PrintHeader(TDbf& dbf, const TTextDecoder& decoder) {
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
    line.Separate();
    line.Raw('{');
    line.Key("name");
    line.String(decoder.Decode(def.FieldName()));
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
  line.Key("warnings");
  line.Raw('[');
  if (!decoder.Usable())
    line.String("code page " + std::to_string(file.UseCodePage()) +
                " cannot be converted; text is shown as Latin-1");
  line.Raw("]}");
  line.Print();
}

void PrintValue(TJsonLine& line, TField& field, const TDbfFieldDef& def,
                const TTextDecoder& decoder) {
  if (field.ValueIsNull()) {
    // Blank text is the empty string; other blank values have no value.
    if (field.DataType() == ftString || field.DataType() == ftFixedChar)
      line.String(std::string());
    else
      line.Null();
    return;
  }
  switch (field.DataType()) {
    case ftString:
    case ftFixedChar:
    case ftMemo:
      line.String(decoder.Decode(field.ValueAsString()));
      break;
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
      line.Integer(field.ValueAsLargeInt());
      break;
    case ftFloat:
    case ftCurrency: {
      const double value = field.ValueAsFloat();
      // Numbers stored without decimals print as integers.
      if (def.Precision() == 0 && def.NativeFieldType() != 'O' && std::fabs(value) < 1e18 &&
          value == std::trunc(value)) {
        line.Integer(static_cast<int64_t>(value));
      } else {
        line.Float(value);
      }
      break;
    }
    case ftBoolean:
      line.Bool(field.ValueAsBoolean());
      break;
    case ftDate: {
      int32_t dayNumber = 0;
      field.GetData(&dayNumber);
      line.String(DateText(dayNumber));
      break;
    }
    case ftDateTime: {
      double milliseconds = 0;
      field.GetData(&milliseconds);
      line.String(DateTimeText(milliseconds));
      break;
    }
    default:
      if (field.IsBlob()) {
        line.Raw("{\"$hex\": ");
        line.String(Hex(field.ValueAsString()));
        line.Raw('}');
      } else {
        line.String(decoder.Decode(field.ValueAsString()));
      }
  }
}

// Prints the current record, or with all every record the set shows.
void PrintRecords(TDbf& dbf, const TTextDecoder& decoder, bool all = true) {
  TDbfFile& file = *dbf.DbfFile();
  std::vector<const TDbfFieldDef*> defs;
  for (int i = 0; i < dbf.FieldCount(); ++i)
    defs.push_back(&file.FieldDefs()[dbf.Fields(i)->FieldNo() - 1]);
  TJsonLine line;
  if (all) dbf.First();
  for (; !dbf.AtEnd(); dbf.Next()) {
    const char* image = TDbf::RecordImage(dbf.ActiveBuffer());
    line.Raw('{');
    line.Key("deleted");
    line.Bool(image[0] == '*');
    line.Key("values");
    line.Raw('{');
    for (int i = 0; i < dbf.FieldCount(); ++i) {
      TField& field = *dbf.Fields(i);
      line.Key(decoder.Decode(field.FieldName()));
      PrintValue(line, field, *defs[static_cast<size_t>(i)], decoder);
    }
    line.Raw("}}");
    line.Print();
    if (!all) break;
  }
}

// A text of the command line (UTF-8) in the table's code page; false when
// the code page lacks one of its characters.
bool ToTableText(const std::string& text, int codePage, const TTextDecoder& decoder,
                 std::string& out) {
  if (!decoder.Usable()) {
    out = text;
    return true;
  }
  return platform::ConvertCodePage(platform::kCodePageUtf8, static_cast<uint32_t>(codePage), text,
                                   out) &&
         decoder.Decode(out) == text;
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
  std::string index;
  bool filtered = false;
  std::string filter;
  bool locate = false;
  std::string locateFields;
  std::string locateValues;
  TSearchOptions locateOptions = 0;
};

// Applies the filter and the locate. Returns the exit status when the
// records are not to be printed (a bad request, or no record found), else
// -1.
int SelectRecords(TDbf& dbf, const TRequest& request, const TTextDecoder& decoder) {
  const int codePage = dbf.DbfFile()->UseCodePage();
  if (request.filtered) {
    std::string expression;
    if (!ToTableText(request.filter, codePage, decoder, expression)) {
      std::fprintf(stderr, "dbfcat: --filter: the text cannot be written in code page %d\n",
                   codePage);
      return 2;
    }
    try {
      dbf.SetFilter(expression);
    } catch (const Exception& e) {
      std::fprintf(stderr, "dbfcat: --filter %s: %s\n", request.filter.c_str(),
                   e.Message().c_str());
      // A caret under the place of the fault, where the text the user
      // typed has the same bytes as the one compiled.
      const auto* parse = dynamic_cast<const EParserException*>(&e);
      if (parse != nullptr && parse->Position() > 0 && expression == request.filter)
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
  for (const std::string& text : texts) {
    std::string value;
    if (!ToTableText(text, codePage, decoder, value)) {
      std::fprintf(stderr, "dbfcat: --locate: the text cannot be written in code page %d\n",
                   codePage);
      return 2;
    }
    values.emplace_back(value);
  }
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
    if ((arg == "--filter" || arg == "--locate" || arg == "--index") && i + 1 == argc) {
      std::fprintf(stderr, "dbfcat: %s needs a value\n%s", arg.c_str(), kUsage);
      return 2;
    }
    if (arg == "--deleted") {
      request.showDeleted = true;
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
    dbf.SetTableName(path);
    // Text stays in the table's code page; it is decoded to UTF-8 here.
    dbf.SetOnTranslate([](TDbf&, const char* src, char* dest, bool) {
      if (src != dest) std::memmove(dest, src, std::strlen(src) + 1);
      return -1;
    });
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
    const TTextDecoder decoder(dbf.DbfFile()->UseCodePage());
    const int status = SelectRecords(dbf, request, decoder);
    if (status >= 0) return status;
    PrintHeader(dbf, decoder);
    PrintRecords(dbf, decoder, !request.locate);
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
