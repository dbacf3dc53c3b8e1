#include "app/status_bar.h"

#include <QLabel>

#include "app/qt_text.h"
#include "tdbf/dbf.h"
#include "tdbf/dbf_dbffile.h"

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
  for (QLabel* label : {position_, filter_, readOnly_, codePage_, kind_, order_, notice_})
    label->clear();
  if (!open) return;
  TDbfFile& file = *table.DbfFile();

  const int count = table.RecordCount();
  const int number = table.IsEmpty() ? 0 : table.RecordNumber();
  position_->setText(number > 0
                         ? GroupedNumber(number) + QStringLiteral(" of ") + GroupedNumber(count)
                         : QStringLiteral("no record of ") + GroupedNumber(count));
  if (table.Filtered() && !filterDescription.empty())
    filter_->setText(QStringLiteral("filtered: ") + Utf8ToQString(filterDescription));

  // Why the table cannot be changed, as far as the engine tells today.
  if (table.ReadOnly())
    readOnly_->setText(QStringLiteral("read-only: opened read-only"));
  else if (table.TranslationMode() == tmReadOnly)
    readOnly_->setText(
        QStringLiteral("read-only: code page %1 cannot be converted").arg(file.UseCodePage()));

  codePage_->setText(QStringLiteral("cp%1").arg(file.UseCodePage()));
  // The kind as the engine reads it, with the version byte it read it from.
  const auto version = static_cast<uint8_t>(file.Header()[0]);
  kind_->setText(TableKindText(table) + QStringLiteral(" (0x") +
                 QString::number(version, 16).toUpper().rightJustified(2, QLatin1Char('0')) +
                 QLatin1Char(')'));
  const std::string index = table.IndexName();
  order_->setText(index.empty() ? QStringLiteral("record order")
                                : QStringLiteral("order: ") + Utf8ToQString(index));
  if (file.HasMemoFields() && file.MemoFile() == nullptr)
    notice_->setText(QStringLiteral("memo file missing: memo fields read empty"));
}
