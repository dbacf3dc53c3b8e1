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
#include "tdbf/dataset/dbf.h"
#include "tdbf/file/dbf_codepage.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/index/dbf_idxdef.h"
#include "tools/dbfcat/json_records.h"

namespace {

constexpr const char* kUsage =
    "usage: dbfcat [--deleted] [--codepage CP] [--index NAME] [--filter EXPR]\n"
    "              [--locate FIELDS=VALUE [--partial] [--nocase]]\n"
    "              [--format csv|jsonl | --sqlite OUT.db] TABLE\n";
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
    TJsonLine line;
    PrintRecords(dbf, line, !request.locate);
    dbf.Close();
  } catch (const EAbort&) {
    std::fprintf(stderr, "dbfcat: %s: the table cannot be opened\n", tableName.c_str());
    return 1;
  } catch (const Exception& e) {
    std::fprintf(stderr, "dbfcat: %s: %s\n", tableName.c_str(), e.Message().c_str());
    return 1;
  }
  // A write refused on the way has left the stream's error flag set.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "dbfcat: cannot write the output\n");
    return 1;
  }
  return 0;
}
