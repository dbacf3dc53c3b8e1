// The order of the window's records: a click on a column title orders them
// by that field (again: descending, a third time: record order), View >
// Order lists the orders to choose from, and the title of the column in
// force shows an arrow.

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QProgressDialog>

#include "app/application.h"
#include "app/db_grid.h"
#include "app/main.h"
#include "app/qt_text.h"
#include "app/status_bar.h"
#include "recordset/fields.h"
#include "runtime/sysutils.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/index/dbf_idxdef.h"
#include "tdbf/index/dbf_idxfile.h"

namespace {

// An open index whose key is exactly the field, in the direction asked,
// that keeps every record (a unique index shows one record per key).
const TDbfIndexDef* IndexOnField(TDbf& table, const std::string& fieldName, bool descending) {
  for (int i = 0; i < table.Indexes().Count(); ++i) {
    const TDbfIndexDef& def = table.Indexes().Items(i);
    const TIndexOptions options = def.Options();
    if (UpperCase(Trim(def.SortField())) != UpperCase(fieldName)) continue;
    if ((options & (IndexOpt(ixUnique) | IndexOpt(ixPrimary))) != 0) continue;
    if (((options & IndexOpt(ixDescending)) != 0) != descending) continue;
    return &def;
  }
  return nullptr;
}

// The field the records are in the order of, and the direction; empty in
// record order and in the order of an index on an expression.
std::string OrderField(TDbf& table, bool& descending) {
  descending = table.SortDescending();
  if (!table.SortField().empty()) return table.SortField();
  if (table.IndexName().empty()) return std::string();
  const TDbfIndexDef* def = table.Indexes().GetIndexByName(UpperCase(Trim(table.IndexName())));
  if (def == nullptr || table.FindFieldNamed(Trim(def->SortField())) == nullptr)
    return std::string();
  descending = (def->Options() & IndexOpt(ixDescending)) != 0;
  return Trim(def->SortField());
}

}  // namespace

void TfrMain::SortByColumn(int column) {
  TField* field = grMain_->ColumnField(column);
  if (field == nullptr || !tbMain_->Active()) return;
  const std::string name = field->FieldName();
  if (!tbMain_->CanSortByField(name)) {
    sbMain_->showMessage(QStringLiteral("The records cannot be ordered by ") + Utf8ToQString(name),
                         5000);
    return;
  }
  bool descending = false;
  const std::string current = OrderField(*tbMain_, descending);
  if (!SameText(current, name))
    OrderByField(name, false);
  else if (!descending)
    OrderByField(name, true);
  else
    OrderByIndex(std::string());
}

void TfrMain::OrderByField(const std::string& fieldName, bool descending) {
  if (!tbMain_->Active()) return;
  if (const TDbfIndexDef* def = IndexOnField(*tbMain_, fieldName, descending)) {
    OrderByIndex(def->IndexFile());
    return;
  }
  QProgressDialog progress(QStringLiteral("Ordering records..."), QStringLiteral("Cancel"), 0, 100,
                           this);
  progress.setWindowModality(Qt::WindowModal);
  // Shown only when ordering takes longer than a moment.
  progress.setMinimumDuration(500);
  tbMain_->SortByField(fieldName, descending, [&progress](int32_t done, int32_t total) {
    progress.setValue(total > 0 ? static_cast<int>(static_cast<int64_t>(done) * 100 / total) : 0);
    QApplication::processEvents();
    return !progress.wasCanceled();
  });
  ShowOrder();
}

void TfrMain::OrderByIndex(const std::string& indexName) {
  if (!tbMain_->Active()) return;
  tbMain_->SetIndexName(indexName);
  ShowOrder();
}

void TfrMain::ShowOrder() {
  bool descending = false;
  const std::string field = tbMain_->Active() ? OrderField(*tbMain_, descending) : std::string();
  int column = -1;
  for (int i = 0; i < grMain_->ColumnCount() && !field.empty(); ++i)
    if (grMain_->ColumnField(i) != nullptr && SameText(grMain_->ColumnField(i)->FieldName(), field))
      column = i;
  grMain_->SetSortIndicator(column, descending);
  UpdateStatus();
}

void TfrMain::FillOrderMenu(QMenu* menu) {
  TDbf& table = *tbMain_;
  auto add = [&](const QString& text, bool checked, std::function<void()> choose) {
    QAction* action = menu->addAction(text);
    action->setCheckable(true);
    action->setChecked(checked);
    QObject::connect(action, &QAction::triggered, menu,
                     [choose = std::move(choose)] { Guarded(choose); });
  };
  const bool inMemory = !table.SortField().empty();
  add(QStringLiteral("Record order"), table.IndexName().empty() && !inMemory,
      [this] { OrderByIndex(std::string()); });
  for (int i = 0; i < table.Indexes().Count(); ++i) {
    const TDbfIndexDef& def = table.Indexes().Items(i);
    const std::string name = def.IndexFile();
    add(Utf8ToQString(IndexOrderText(name)) + QStringLiteral(" (") +
            Utf8ToQString(def.SortField()) + QLatin1Char(')'),
        !inMemory && UpperCase(table.IndexName()) == name, [this, name] { OrderByIndex(name); });
  }
  // The order by a field, chosen again, is made again: edited records
  // move to where their values now belong.
  if (inMemory) {
    const std::string field = table.SortField();
    const bool descending = table.SortDescending();
    add(Utf8ToQString(FieldOrderText(field, descending)), true,
        [this, field, descending] { OrderByField(field, descending); });
  }
}
