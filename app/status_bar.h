#pragma once
// The window's status bar: where the user is in the table ("1,204 of
// 1,000,000"), the filter in force, whether the table is read-only and
// why, its code page, its kind (dBase III, IV, VII, FoxPro), its order and
// notices about the open (a memo file that is missing). Each fact has its
// own section, empty while it does not apply; passing messages (a search
// that found nothing) show on the left.

#include <QStatusBar>
#include <string>

#include "tdbf/file/dbf_codepage.h"

class QLabel;
class TDbf;

// 1204 -> "1,204".
QString GroupedNumber(long long value);
// "dBase III", "dBase IV", "dBase VII" or "FoxPro", from the open table.
QString TableKindText(const TDbf& table);

// 1252 -> "cp1252", 65001 -> "UTF-8", 0 -> "".
QString CodePageName(int codePage);
// Where the code page in force came from: "table's language driver", ...
QString CodePageSourceText(TCodePageSource source);
// The table's first header byte, "0x83".
QString VersionByteText(const TDbf& table);
// How an order is named: "NAME ascending", "tag NAME", "index NAME.NDX".
std::string FieldOrderText(const std::string& fieldName, bool descending);
std::string IndexOrderText(const std::string& indexName);

class TStatusBar : public QStatusBar {
  Q_OBJECT

 public:
  explicit TStatusBar(QWidget* parent = nullptr);

  // Shows table's facts; filterDescription is the filter in force, empty
  // while none is.
  void ShowTable(TDbf& table, const std::string& filterDescription);

  QLabel* Position() const { return position_; }
  QLabel* FilterState() const { return filter_; }
  QLabel* ReadOnlyState() const { return readOnly_; }
  QLabel* CodePage() const { return codePage_; }
  QLabel* Kind() const { return kind_; }
  QLabel* Order() const { return order_; }
  QLabel* Notice() const { return notice_; }

 private:
  QLabel* AddSection(const char* name);

  QLabel* position_;
  QLabel* filter_;
  QLabel* readOnly_;
  QLabel* codePage_;
  QLabel* kind_;
  QLabel* order_;
  QLabel* notice_;
};
