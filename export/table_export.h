#pragma once
// Writes the records a record set shows (from its first record, in its
// order, through its filter) to a file: CSV (UTF-8, RFC 4180 quoting with
// CR LF line ends, a header row of field names), JSON Lines (one object per
// record, field name to value) or a SQLite database file (one table with a
// column per field, typed INTEGER, REAL or TEXT, through the SQLite
// library). Text values come from the set in textCodePage and are written
// as UTF-8. Knows no widgets: the window and dbfcat both call it.

#include <cstdint>
#include <functional>
#include <string>

class TDataSet;

enum TExportFormat { efCsv, efJsonLines, efSqlite };

// Told after every block of records: the records written so far and the
// set's record count (an upper bound with a filter). Returns false to stop
// the export, which then removes the half-written file.
using TExportProgress = std::function<bool(int64_t written, int64_t total)>;

struct TExportRequest {
  TExportFormat format = efCsv;
  // "-" writes CSV or JSON Lines to standard output.
  std::string fileName;
  // The SQLite table's name.
  std::string tableName = "records";
  // The code page of the set's text values: a table set gives UTF-8.
  int textCodePage = 65001;
  TExportProgress progress;
};

// Returns the number of records written; raises Exception with a message
// naming the file when it cannot be written (the file is then removed),
// and EAbort when progress stopped it. The set is left on its last record.
int64_t ExportRecords(TDataSet& set, const TExportRequest& request);

// Guesses the format from a file name's extension: ".csv", ".jsonl" /
// ".json", ".db" / ".sqlite" / ".sqlite3"; CSV for anything else.
TExportFormat ExportFormatFor(const std::string& fileName);

// A native date (day number, 1 January of year 1 is day 1) as YYYY-MM-DD,
// and a native date-time (milliseconds on the same days) as
// YYYY-MM-DDTHH:MM:SS, with .mmm000 when it has milliseconds.
std::string IsoDateText(int32_t dayNumber);
std::string IsoDateTimeText(double milliseconds);
