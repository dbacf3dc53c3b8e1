#include "app/status_bar.h"

#include <QLabel>

#include "app/qt_text.h"
#include "runtime/sysutils.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/file/dbf_dbffile.h"

QString GroupedNumber(long long value) {
  QString digits = QString::number(value < 0 ? -value : value);
  for (qsizetype at = digits.size() - 3; at > 0; at -= 3) digits.insert(at, QLatin1Char(','));
  return value < 0 ? QLatin1Char('-') + digits : digits;
}

QString TableKindText(const TDbf& table) {
  const TDbfFile* file = table.DbfFile();
  if (!file) return QString();
  switch (file->TableFormat()) {
    case tfDBase3:
      return QStringLiteral("dBase III");
    case tfDBase4:
      return QStringLiteral("dBase IV");
    case tfDBase7:
      return QStringLiteral("dBase VII");
    case tfFoxPro:
      return QStringLiteral("FoxPro");
    case tfVisualFoxPro:
      return QStringLiteral("Visual FoxPro");
  }
  return QString();
}

namespace {

// Texts that name files can be long: the section shows the start and the
// end, the whole text shows on hover.
constexpr int kLongTextWidth = 320;

void SetLongText(QLabel* label, const QString& text) {
  label->setText(label->fontMetrics().elidedText(text, Qt::ElideMiddle, kLongTextWidth));
  label->setToolTip(text);
}

}  // namespace

QString CodePageName(int codePage) {
  if (codePage == 0) return QString();
  return codePage == 65001 ? QStringLiteral("UTF-8") : QStringLiteral("cp%1").arg(codePage);
}

QString CodePageSourceText(TCodePageSource source) {
  switch (source) {
    case cpsUser:
      return QStringLiteral("user's choice");
    case cpsCpgFile:
      return QStringLiteral(".cpg file");
    case cpsLanguageDriver:
      return QStringLiteral("table's language driver");
    case cpsSystemDefault:
      return QStringLiteral("system default");
  }
  return QString();
}

QString VersionByteText(const TDbf& table) {
  const TDbfFile* file = table.DbfFile();
  if (!file || !file->Header()) return QString();
  const auto version = static_cast<uint8_t>(file->Header()[0]);
  return QStringLiteral("0x") +
         QString::number(version, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

std::string FieldOrderText(const std::string& fieldName, bool descending) {
  return fieldName + (descending ? " descending" : " ascending");
}

std::string IndexOrderText(const std::string& indexName) {
  return (ExtractFileExt(indexName).empty() ? "tag " : "index ") + indexName;
}

TStatusBar::TStatusBar(QWidget* parent) : QStatusBar(parent) {
  setSizeGripEnabled(false);
  position_ = AddSection("lbPosition");
  filter_ = AddSection("lbFilter");
  readOnly_ = AddSection("lbReadOnly");
  codePage_ = AddSection("lbCodePage");
  kind_ = AddSection("lbKind");
  order_ = AddSection("lbOrder");
  notice_ = AddSection("lbNotice");
}

QLabel* TStatusBar::AddSection(const char* name) {
  auto* label = new QLabel(this);
  label->setObjectName(QString::fromLatin1(name));
  addPermanentWidget(label);
  return label;
}

void TStatusBar::ShowTable(TDbf& table, const std::string& filterDescription) {
  const bool open = table.Active() && table.DbfFile() != nullptr;
  for (QLabel* label : {position_, filter_, readOnly_, codePage_, kind_, order_, notice_}) {
    label->clear();
    label->setToolTip(QString());
  }
  if (!open) return;
  TDbfFile& file = *table.DbfFile();

  const int count = table.RecordCount();
  const int number = table.IsEmpty() ? 0 : table.RecordNumber();
  position_->setText(number > 0
                         ? GroupedNumber(number) + QStringLiteral(" of ") + GroupedNumber(count)
                         : QStringLiteral("no record of ") + GroupedNumber(count));
  if (table.Filtered() && !filterDescription.empty())
    filter_->setText(QStringLiteral("filtered: ") + Utf8ToQString(filterDescription));

  // Why the table cannot be changed: the user asked for it, the engine
  // fell back to reading (no permission, memo file missing), or the text
  // cannot be converted.
  QString readOnly;
  if (table.ReadOnly())
    readOnly = QStringLiteral("opened read-only");
  else if (const std::string reason = table.ReadOnlyReason(); !reason.empty())
    readOnly = Utf8ToQString(reason);
  else if (table.TranslationMode() == tmReadOnly)
    readOnly = QStringLiteral("code page %1 cannot be converted").arg(file.UseCodePage());
  if (!readOnly.isEmpty()) SetLongText(readOnly_, QStringLiteral("read-only: ") + readOnly);

  codePage_->setText(CodePageName(table.TableCodePage()));
  codePage_->setToolTip(QStringLiteral("Code page from the ") +
                        CodePageSourceText(table.CodePageSource()));
  // The kind as the engine reads it, with the version byte it read it from.
  kind_->setText(TableKindText(table) + QStringLiteral(" (") + VersionByteText(table) +
                 QLatin1Char(')'));
  const std::string index = table.IndexName();
  if (!table.SortField().empty()) {
    order_->setText(Utf8ToQString(FieldOrderText(table.SortField(), table.SortDescending())));
    order_->setToolTip(QStringLiteral(
        "An edited record keeps its place until the order is chosen again (View > Order)"));
  } else {
    order_->setText(index.empty() ? QStringLiteral("record order")
                                  : Utf8ToQString(IndexOrderText(index)));
  }

  // What the open found: the first notice, all of them on hover.
  const std::vector<std::string>& warnings = table.OpenWarnings();
  if (!warnings.empty()) {
    QString all;
    for (const std::string& warning : warnings)
      all += (all.isEmpty() ? QString() : QStringLiteral("\n")) + Utf8ToQString(warning);
    SetLongText(notice_, warnings.size() == 1
                             ? all
                             : Utf8ToQString(warnings.front()) +
                                   QStringLiteral(" (%1 more)").arg(warnings.size() - 1));
    notice_->setToolTip(all);
  }
}
