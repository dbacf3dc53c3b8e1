#include "export/table_export.h"

#include <sqlite3.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/codepage.h"
#include "recordset/dataset.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"

namespace {

constexpr int64_t kMillisecondsPerDay = 86400000;
// Records between two progress reports.
constexpr int64_t kProgressBlock = 4096;

// How a field's values are written.
enum TValueKind { vkText, vkInteger, vkReal, vkBoolean, vkDate, vkDateTime, vkBinary };

TValueKind KindOf(const TField& field) {
  switch (field.DataType()) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
      return vkInteger;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
      return vkReal;
    case ftBoolean:
      return vkBoolean;
    case ftDate:
      return vkDate;
    case ftDateTime:
      return vkDateTime;
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftMemo:
    case ftFmtMemo:
      return vkText;
    default:
      return field.IsBlob() ? vkBinary : vkText;
  }
}

// The shortest text that reads back as the same double.
std::string RealText(double value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// One field's value of the current record, read once.
struct TValue {
  bool null = true;
  TValueKind kind = vkText;
  std::string text;  // text, date, date-time, binary (raw bytes)
  int64_t integer = 0;
  double real = 0;
};

class TValueReader {
 public:
  TValueReader(TDataSet& set, int codePage) : codePage_(static_cast<uint32_t>(codePage)) {
    for (int i = 0; i < set.FieldCount(); ++i) {
      fields_.push_back(set.Fields(i));
      kinds_.push_back(KindOf(*set.Fields(i)));
    }
  }
  const std::vector<TField*>& Fields() const { return fields_; }
  TValueKind Kind(size_t i) const { return kinds_[i]; }

  std::string Utf8(const std::string& bytes) const {
    if (codePage_ == platform::kCodePageUtf8) return bytes;
    std::string out;
    if (platform::ConvertCodePage(codePage_, platform::kCodePageUtf8, bytes, out)) return out;
    return bytes;
  }

  void Read(size_t i, TValue& value) const {
    TField& field = *fields_[i];
    value.kind = kinds_[i];
    value.null = field.ValueIsNull();
    value.text.clear();
    if (value.null) {
      // Blank text is the empty string; other blank values have none.
      value.null = value.kind != vkText;
      return;
    }
    switch (value.kind) {
      case vkInteger:
        value.integer = field.ValueAsLargeInt();
        break;
      case vkReal:
        value.real = field.ValueAsFloat();
        value.null = !std::isfinite(value.real);
        break;
      case vkBoolean:
        value.integer = field.ValueAsBoolean() ? 1 : 0;
        break;
      case vkDate: {
        int32_t dayNumber = 0;
        field.GetData(&dayNumber);
        value.text = IsoDateText(dayNumber);
        break;
      }
      case vkDateTime: {
        double milliseconds = 0;
        field.GetData(&milliseconds);
        value.text = IsoDateTimeText(milliseconds);
        break;
      }
      case vkBinary:
        value.text = field.ValueAsString();
        break;
      case vkText:
        value.text = Utf8(TrimRight(field.ValueAsString()));
        break;
    }
  }

 private:
  uint32_t codePage_;
  std::vector<TField*> fields_;
  std::vector<TValueKind> kinds_;
};

// The value as CSV and JSON write numbers, booleans and the rest.
std::string PlainText(const TValue& value) {
  switch (value.kind) {
    case vkInteger:
      return std::to_string(value.integer);
    case vkReal:
      return RealText(value.real);
    case vkBoolean:
      return value.integer ? "true" : "false";
    case vkBinary:
      return Hex(value.text);
    default:
      return value.text;
  }
}

void CsvField(std::string& line, const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) {
    line += text;
    return;
  }
  line += '"';
  for (char c : text) {
    if (c == '"') line += '"';
    line += c;
  }
  line += '"';
}

void JsonString(std::string& line, const std::string& text) {
  line += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        line += "\\\"";
        break;
      case '\\':
        line += "\\\\";
        break;
      case '\n':
        line += "\\n";
        break;
      case '\r':
        line += "\\r";
        break;
      case '\t':
        line += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          line += escape;
        } else {
          line += static_cast<char>(c);
        }
    }
  }
  line += '"';
}

// A file written through stdio that is removed unless it is finished.
class TOutputFile {
 public:
  explicit TOutputFile(const std::string& name) : name_(name) {
    if (name == "-") {
      file_ = stdout;
      return;
    }
    file_ = std::fopen(name.c_str(), "wb");
    if (!file_) throw EStreamError(Format("Cannot create file \"%s\"", name.c_str()));
  }
  ~TOutputFile() {
    if (file_ == stdout) return;
    if (file_) {
      std::fclose(file_);
      std::remove(name_.c_str());
    }
  }
  void Write(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) Fail();
  }
  void Finish() {
    if (file_ == stdout) {
      if (std::fflush(stdout) != 0) Fail();
      return;
    }
    const bool ok = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!ok) {
      std::remove(name_.c_str());
      throw EStreamError(Format("Cannot write file \"%s\"", name_.c_str()));
    }
  }

 private:
  [[noreturn]] void Fail() {
    throw EStreamError(Format("Cannot write file \"%s\"", name_.c_str()));
  }
  std::string name_;
  FILE* file_ = nullptr;
};

// Walks the set's records, reporting progress; write is called on each.
template <class F>
int64_t EachRecord(TDataSet& set, const TExportRequest& request, F&& write) {
  const int64_t total = std::max(0, set.RecordCount());
  int64_t written = 0;
  for (set.First(); !set.AtEnd(); set.Next()) {
    write();
    ++written;
    if (request.progress && written % kProgressBlock == 0 && !request.progress(written, total))
      throw EAbort();
  }
  if (request.progress) request.progress(written, total);
  return written;
}

int64_t ExportText(TDataSet& set, const TExportRequest& request) {
  TOutputFile out(request.fileName);
  const TValueReader reader(set, request.textCodePage);
  const size_t count = reader.Fields().size();
  std::string line;
  TValue value;
  if (request.format == efCsv) {
    for (size_t i = 0; i < count; ++i) {
      if (i > 0) line += ',';
      CsvField(line, reader.Utf8(reader.Fields()[i]->FieldName()));
    }
    line += "\r\n";
    out.Write(line);
  }
  const int64_t written = EachRecord(set, request, [&] {
    line.clear();
    if (request.format == efJsonLines) line += '{';
    for (size_t i = 0; i < count; ++i) {
      reader.Read(i, value);
      if (request.format == efCsv) {
        if (i > 0) line += ',';
        if (!value.null) CsvField(line, PlainText(value));
        continue;
      }
      if (i > 0) line += ", ";
      JsonString(line, reader.Utf8(reader.Fields()[i]->FieldName()));
      line += ": ";
      if (value.null)
        line += "null";
      else if (value.kind == vkInteger || value.kind == vkReal || value.kind == vkBoolean)
        line += PlainText(value);
      else
        JsonString(line, PlainText(value));
    }
    line += request.format == efCsv ? "\r\n" : "}\n";
    out.Write(line);
  });
  out.Finish();
  return written;
}

// ---- SQLite ----

struct TSqliteClose {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct TSqliteFinalize {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};

std::string QuotedName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

const char* SqlType(TValueKind kind) {
  switch (kind) {
    case vkInteger:
    case vkBoolean:
      return "INTEGER";
    case vkReal:
      return "REAL";
    case vkBinary:
      return "BLOB";
    default:
      return "TEXT";
  }
}

int64_t ExportSqlite(TDataSet& set, const TExportRequest& request) {
  std::remove(request.fileName.c_str());
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open(request.fileName.c_str(), &raw);
  std::unique_ptr<sqlite3, TSqliteClose> db(raw);
  bool finished = false;
  // The half-written file goes when the export does not finish.
  struct TRemover {
    const std::string& name;
    bool& finished;
    std::unique_ptr<sqlite3, TSqliteClose>& db;
    ~TRemover() {
      if (finished) return;
      db.reset();
      std::remove(name.c_str());
    }
  } remover{request.fileName, finished, db};
  auto check = [&](int result) {
    if (result != SQLITE_OK && result != SQLITE_DONE && result != SQLITE_ROW)
      throw EStreamError(Format("Cannot write file \"%s\": %s", request.fileName.c_str(),
                                db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(result)));
  };
  check(opened);

  const TValueReader reader(set, request.textCodePage);
  const size_t count = reader.Fields().size();
  std::string create = "CREATE TABLE " + QuotedName(request.tableName) + " (";
  std::string insert = "INSERT INTO " + QuotedName(request.tableName) + " VALUES (";
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) {
      create += ", ";
      insert += ", ";
    }
    create +=
        QuotedName(reader.Utf8(reader.Fields()[i]->FieldName())) + " " + SqlType(reader.Kind(i));
    insert += "?";
  }
  create += ")";
  insert += ")";
  check(sqlite3_exec(db.get(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF", nullptr, nullptr,
                     nullptr));
  check(sqlite3_exec(db.get(), create.c_str(), nullptr, nullptr, nullptr));
  check(sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr));
  sqlite3_stmt* rawStmt = nullptr;
  check(sqlite3_prepare_v2(db.get(), insert.c_str(), -1, &rawStmt, nullptr));
  std::unique_ptr<sqlite3_stmt, TSqliteFinalize> stmt(rawStmt);

  TValue value;
  const int64_t written = EachRecord(set, request, [&] {
    for (size_t i = 0; i < count; ++i) {
      reader.Read(i, value);
      const int column = static_cast<int>(i) + 1;
      if (value.null) {
        check(sqlite3_bind_null(stmt.get(), column));
      } else if (value.kind == vkInteger || value.kind == vkBoolean) {
        check(sqlite3_bind_int64(stmt.get(), column, value.integer));
      } else if (value.kind == vkReal) {
        check(sqlite3_bind_double(stmt.get(), column, value.real));
      } else if (value.kind == vkBinary) {
        check(sqlite3_bind_blob64(stmt.get(), column, value.text.data(), value.text.size(),
                                  SQLITE_TRANSIENT));
      } else {
        check(sqlite3_bind_text64(stmt.get(), column, value.text.data(), value.text.size(),
                                  SQLITE_TRANSIENT, SQLITE_UTF8));
      }
    }
    check(sqlite3_step(stmt.get()));
    check(sqlite3_reset(stmt.get()));
  });
  stmt.reset();
  check(sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr));
  check(sqlite3_close(db.release()));
  finished = true;
  return written;
}

}  // namespace

std::string IsoDateText(int32_t dayNumber) {
  int year, month, day;
  DecodeDayNumber(dayNumber, year, month, day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  return text;
}

std::string IsoDateTimeText(double milliseconds) {
  const auto total = static_cast<int64_t>(std::llround(milliseconds));
  int64_t day = total / kMillisecondsPerDay;
  int64_t ms = total % kMillisecondsPerDay;
  if (ms < 0) {
    ms += kMillisecondsPerDay;
    --day;
  }
  std::string text = IsoDateText(static_cast<int32_t>(day));
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

TExportFormat ExportFormatFor(const std::string& fileName) {
  const std::string lower = LowerCase(fileName);
  auto endsWith = [&](const char* tail) {
    const std::string t(tail);
    return lower.size() >= t.size() && lower.compare(lower.size() - t.size(), t.size(), t) == 0;
  };
  if (endsWith(".jsonl") || endsWith(".json")) return efJsonLines;
  if (endsWith(".db") || endsWith(".sqlite") || endsWith(".sqlite3")) return efSqlite;
  return efCsv;
}

int64_t ExportRecords(TDataSet& set, const TExportRequest& request) {
  set.CheckActive();
  set.SettlePendingEdit();
  return request.format == efSqlite ? ExportSqlite(set, request) : ExportText(set, request);
}
