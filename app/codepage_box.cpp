#include "app/codepage_box.h"

#include "app/application.h"
#include "tdbf/dbf.h"

namespace {

// The code pages offered, with the names users know them by.
constexpr struct {
  int codePage;
  const char* name;
} kCodePages[] = {
    {65001, "UTF-8"},          {1250, "1250 Central European"},
    {1251, "1251 Cyrillic"},   {1252, "1252 Western"},
    {1253, "1253 Greek"},      {1254, "1254 Turkish"},
    {1255, "1255 Hebrew"},     {1256, "1256 Arabic"},
    {1257, "1257 Baltic"},     {437, "437 DOS US"},
    {737, "737 DOS Greek"},    {850, "850 DOS Western"},
    {852, "852 DOS Central"},  {857, "857 DOS Turkish"},
    {866, "866 DOS Cyrillic"}, {874, "874 Thai"},
    {932, "932 Japanese"},     {936, "936 Chinese"},
    {949, "949 Korean"},       {950, "950 Chinese (Big5)"},
};

}  // namespace

TCodePageBox::TCodePageBox(TDbf* table, QWidget* parent) : QComboBox(parent), table_(table) {
  addItem(QString(), 0);
  for (const auto& entry : kCodePages) addItem(QString::fromLatin1(entry.name), entry.codePage);
  ShowCodePageInForce();
  connect(this, &QComboBox::activated, this,
          [this](int index) { Guarded([this, index] { Choose(itemData(index).toInt()); }); });
}

void TCodePageBox::ShowCodePageInForce() {
  const int inForce = table_->TableCodePage();
  setItemText(0, inForce != 0 && table_->CodePage() == 0
                     ? QStringLiteral("Table's own (%1)").arg(inForce)
                     : QStringLiteral("Table's own"));
  const int index = findData(table_->CodePage());
  setCurrentIndex(index >= 0 ? index : 0);
}

void TCodePageBox::Choose(int codePage) {
  if (codePage == table_->CodePage()) return;
  table_->SetCodePage(codePage);
  if (table_->Active()) {
    // The same record shows again, read in the new code page; an edit in
    // progress is posted first, as leaving the record would.
    table_->SettlePendingEdit();
    const int recNo = table_->RecordNumber();
    table_->Close();
    table_->Open();
    if (recNo > 0) table_->SetRecordNumber(recNo);
    if (onReopened_) onReopened_();
  }
  ShowCodePageInForce();
}
