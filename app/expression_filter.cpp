#include "app/expression_filter.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/application.h"
#include "app/qt_text.h"
#include "runtime/exceptions.h"
#include "tdbf/dbf.h"
#include "tdbf/dbf_parser.h"

TExpressionFilter::TExpressionFilter(TDbf* table, QWidget* parent)
    : QDialog(parent), table_(table) {
  setObjectName(QStringLiteral("frExpressionFilter"));
  setWindowTitle(QStringLiteral("Filtre ifadesi"));
  edExpression_ = new QLineEdit(this);
  edExpression_->setObjectName(QStringLiteral("edExpression"));
  edExpression_->setMinimumWidth(420);
  lbMessage_ = new QLabel(this);
  lbMessage_->setObjectName(QStringLiteral("lbMessage"));
  lbMessage_->setWordWrap(true);
  lbMessage_->setStyleSheet(QStringLiteral("color: maroon"));
  btApply_ = new QPushButton(QStringLiteral("Filtrele"), this);
  btApply_->setObjectName(QStringLiteral("btApply"));
  btApply_->setDefault(true);
  btClear_ = new QPushButton(QStringLiteral("Temizle"), this);
  btClear_->setObjectName(QStringLiteral("btClear"));

  auto* layout = new QGridLayout(this);
  layout->addWidget(edExpression_, 0, 0, 1, 3);
  layout->addWidget(lbMessage_, 1, 0, 1, 3);
  layout->addWidget(btApply_, 2, 1);
  layout->addWidget(btClear_, 2, 2);
  layout->setColumnStretch(0, 1);

  connect(btApply_, &QPushButton::clicked, this, [this] { Guarded([this] { Apply(); }); });
  connect(edExpression_, &QLineEdit::returnPressed, this, [this] { Guarded([this] { Apply(); }); });
  connect(btClear_, &QPushButton::clicked, this, [this] { Guarded([this] { Clear(); }); });
  connect(edExpression_, &QLineEdit::textEdited, lbMessage_, &QLabel::clear);
}

void TExpressionFilter::Open() {
  edExpression_->setText(Utf8ToQString(table_->Filter()));
  lbMessage_->clear();
  show();
  raise();
  activateWindow();
  edExpression_->setFocus();
}

bool TExpressionFilter::Apply() {
  const std::string text = QStringToUtf8(edExpression_->text());
  lbMessage_->clear();
  if (text.find_first_not_of(" \t") == std::string::npos) {
    Clear();
    return true;
  }
  // The text is compiled on its own first, so that a text that does not
  // compile changes nothing and one that does costs a single refill.
  if (table_->Active()) {
    try {
      TDbfParser(table_->DbfFile()).ParseFilter(text);
    } catch (const EParserException& e) {
      lbMessage_->setText(Utf8ToQString(e.Message()));
      if (e.Position() > 0) edExpression_->setCursorPosition(e.Position() - 1);
      edExpression_->setFocus();
      return false;
    } catch (const EDbfError& e) {
      lbMessage_->setText(Utf8ToQString(e.Message()));
      return false;
    }
  }
  table_->SetOnFilterRecord(nullptr);
  table_->SetFilter(text);
  if (!table_->Filtered()) table_->SetFiltered(true);
  if (onApplied_) onApplied_();
  return true;
}

void TExpressionFilter::Clear() {
  edExpression_->clear();
  lbMessage_->clear();
  table_->SetFiltered(false);
  if (onApplied_) onApplied_();
}
