#include "app/structure_dialog.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/qt_text.h"
#include "app/status_bar.h"
#include "recordset/fields.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/file/dbf_fields.h"
#include "tdbf/index/dbf_idxdef.h"

namespace {

// What each type letter stands for.
QString TypeName(char letter) {
  switch (letter) {
    case 'C':
      return QStringLiteral("Character");
    case 'N':
      return QStringLiteral("Numeric");
    case 'F':
      return QStringLiteral("Float");
    case 'L':
      return QStringLiteral("Logical");
    case 'D':
      return QStringLiteral("Date");
    case 'M':
      return QStringLiteral("Memo");
    case 'B':
      return QStringLiteral("Binary");
    case 'G':
      return QStringLiteral("General");
    case 'P':
      return QStringLiteral("Picture");
    case 'I':
      return QStringLiteral("Integer");
    case '+':
      return QStringLiteral("Autoincrement");
    case 'O':
      return QStringLiteral("Double");
    case '@':
      return QStringLiteral("Timestamp");
    case 'T':
      return QStringLiteral("DateTime");
    case 'Y':
      return QStringLiteral("Currency");
    case 'V':
      return QStringLiteral("Varchar");
    case 'Q':
      return QStringLiteral("Varbinary");
    case 'W':
      return QStringLiteral("Blob");
    default:
      return QStringLiteral("Unknown");
  }
}

QString Bytes(long long count) { return GroupedNumber(count) + QStringLiteral(" bytes"); }

QString FileName(const std::string& path) {
  return QFileInfo(QFile::decodeName(QByteArray::fromStdString(path))).fileName();
}

// Header bytes 1-3: the year since 1900, the month and the day.
QString LastUpdate(const char* header) {
  const auto byte = [header](int at) { return static_cast<uint8_t>(header[at]); };
  return QStringLiteral("%1-%2-%3")
      .arg(1900 + byte(1))
      .arg(byte(2), 2, 10, QLatin1Char('0'))
      .arg(byte(3), 2, 10, QLatin1Char('0'));
}

QString MemoFact(TDbf& table) {
  TDbfFile& file = *table.DbfFile();
  if (!file.HasMemoFields()) return QStringLiteral("none");
  const TPagedFile* memo = file.MemoFile();
  if (memo == nullptr) return QStringLiteral("missing");
  return FileName(memo->FileName()) + QStringLiteral(", blocks of ") + Bytes(memo->RecordSize());
}

// Null flags exist in Visual FoxPro tables, counting fields there and at
// level 7.
bool HasNullable(const TDbfFile& file) { return file.TableFormat() == tfVisualFoxPro; }
bool HasAutoInc(const TDbfFile& file) {
  return file.TableFormat() == tfVisualFoxPro || file.TableFormat() == tfDBase7;
}

}  // namespace

std::vector<TTableFact> TableFacts(TDbf& table) {
  std::vector<TTableFact> facts;
  if (!table.Active() || !table.DbfFile()) return facts;
  TDbfFile& file = *table.DbfFile();
  const char* header = file.Header();
  facts.emplace_back(QStringLiteral("File"),
                     QFile::decodeName(QByteArray::fromStdString(table.FullTableName())));
  facts.emplace_back(QStringLiteral("Kind"), TableKindText(table));
  facts.emplace_back(QStringLiteral("Version byte"), VersionByteText(table));
  facts.emplace_back(QStringLiteral("Last update"), LastUpdate(header));
  facts.emplace_back(QStringLiteral("Code page"), CodePageName(table.TableCodePage()) +
                                                      QStringLiteral(", from the ") +
                                                      CodePageSourceText(table.CodePageSource()));
  const std::string driver = file.LanguageDriverName();
  facts.emplace_back(
      QStringLiteral("Language driver"),
      driver.empty()
          ? QStringLiteral("0x") +
                QString::number(file.LanguageId(), 16).toUpper().rightJustified(2, QLatin1Char('0'))
          : Utf8ToQString(driver));
  facts.emplace_back(QStringLiteral("Records"), GroupedNumber(table.RecordCount()));
  facts.emplace_back(QStringLiteral("Fields"), GroupedNumber(table.FieldCount()));
  facts.emplace_back(QStringLiteral("Header size"), Bytes(file.HeaderSize()));
  facts.emplace_back(QStringLiteral("Record size"), Bytes(file.RecordSize()));
  facts.emplace_back(QStringLiteral("Memo file"), MemoFact(table));
  // The indexes opened with the table (the production index's tags and
  // index files), each with its key expression.
  QStringList indexes;
  for (int i = 0; i < table.Indexes().Count(); ++i) {
    const TDbfIndexDef& index = table.Indexes().Items(i);
    indexes << Utf8ToQString(index.IndexFile()) + QStringLiteral(": ") +
                   Utf8ToQString(index.SortField());
  }
  facts.emplace_back(QStringLiteral("Indexes"), indexes.isEmpty()
                                                    ? QStringLiteral("none")
                                                    : indexes.join(QStringLiteral("; ")));
  return facts;
}

TFieldStructure FieldStructure(TDbf& table) {
  TFieldStructure structure;
  if (!table.Active() || !table.DbfFile()) return structure;
  TDbfFile& file = *table.DbfFile();
  const bool nullable = HasNullable(file);
  const bool autoInc = HasAutoInc(file);
  structure.columns = {QStringLiteral("#"), QStringLiteral("Name"), QStringLiteral("Type"),
                       QStringLiteral("Length"), QStringLiteral("Decimals")};
  if (nullable) structure.columns << QStringLiteral("Null");
  if (autoInc) structure.columns << QStringLiteral("Autoincrement");
  for (int i = 0; i < table.FieldCount(); ++i) {
    const TField& field = *table.Fields(i);
    if (field.FieldNo() <= 0 || field.FieldNo() > file.FieldDefs().Count()) continue;
    const TDbfFieldDef& def = file.FieldDefs()[field.FieldNo() - 1];
    const char letter = def.NativeFieldType();
    QStringList row = {QString::number(structure.rows.size() + 1), Utf8ToQString(field.FieldName()),
                       QLatin1Char(letter) + QStringLiteral(" ") + TypeName(letter),
                       QString::number(def.Size()), QString::number(def.Precision())};
    if (nullable) row << (def.IsNullable() ? QStringLiteral("yes") : QString());
    if (autoInc) row << (def.IsAutoInc() ? QStringLiteral("yes") : QString());
    structure.rows.push_back(row);
  }
  return structure;
}

namespace {

QTableWidget* NewTable(QWidget* parent, const char* name, const QStringList& columns) {
  auto* table = new QTableWidget(parent);
  table->setObjectName(QString::fromLatin1(name));
  table->setColumnCount(static_cast<int>(columns.size()));
  table->setHorizontalHeaderLabels(columns);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->verticalHeader()->hide();
  table->horizontalHeader()->setStretchLastSection(true);
  return table;
}

void SetRow(QTableWidget* table, int row, const QStringList& cells) {
  for (int column = 0; column < cells.size(); ++column)
    table->setItem(row, column, new QTableWidgetItem(cells[column]));
}

}  // namespace

TStructureDialog::TStructureDialog(TDbf& table, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("dlgStructure"));
  setWindowTitle(QStringLiteral("Structure of ") + FileName(table.TableName()));
  resize(560, 520);
  auto* layout = new QVBoxLayout(this);

  const std::vector<TTableFact> facts = TableFacts(table);
  facts_ = NewTable(this, "tbFacts", {QStringLiteral("Table"), QString()});
  facts_->horizontalHeader()->hide();
  facts_->setRowCount(static_cast<int>(facts.size()));
  for (size_t i = 0; i < facts.size(); ++i)
    SetRow(facts_, static_cast<int>(i), {facts[i].first, facts[i].second});
  facts_->resizeColumnToContents(0);
  layout->addWidget(facts_);

  const TFieldStructure structure = FieldStructure(table);
  fields_ = NewTable(this, "tbFields", structure.columns);
  fields_->setRowCount(static_cast<int>(structure.rows.size()));
  for (size_t i = 0; i < structure.rows.size(); ++i)
    SetRow(fields_, static_cast<int>(i), structure.rows[i]);
  fields_->resizeColumnsToContents();
  layout->addWidget(fields_, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}
