#pragma once
// The structure of the open table (View > Structure): its fields (name,
// type, length, decimals, and whether a field may be null or counts up by
// itself where the table's kind has these) and the facts of the file: its
// kind and version byte, code page and where it came from, records, header
// and record size, memo file and its block size, index files and their
// keys. Reads what the engine holds for the open table; writes nothing.

#include <QDialog>
#include <QString>
#include <utility>
#include <vector>

class QTableWidget;
class TDbf;

// One line of the facts: a label and its value.
using TTableFact = std::pair<QString, QString>;
std::vector<TTableFact> TableFacts(TDbf& table);

// The columns of the field list, and a row per field the user sees.
struct TFieldStructure {
  QStringList columns;
  std::vector<QStringList> rows;
};
TFieldStructure FieldStructure(TDbf& table);

// Shows the structure of the open table in a modal dialog.
class TStructureDialog : public QDialog {
  Q_OBJECT

 public:
  TStructureDialog(TDbf& table, QWidget* parent);
  QTableWidget* Facts() const { return facts_; }
  QTableWidget* Fields() const { return fields_; }

 private:
  QTableWidget* facts_;
  QTableWidget* fields_;
};
