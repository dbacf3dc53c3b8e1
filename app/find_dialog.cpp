#include "app/find_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>

#include "app/app_str.h"
#include "app/application.h"
#include "app/qt_text.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/file/dbf_fields.h"

namespace {

// A text literal of the expression language for any text: the language
// has no escapes, so the text is quoted in pieces between its apostrophes.
std::string TextLiteral(const std::string& text) {
  std::string literal;
  size_t start = 0;
  for (;;) {
    const size_t quote = text.find('\'', start);
    const std::string piece = text.substr(start, quote - start);
    if (!piece.empty()) literal += (literal.empty() ? "'" : "+'") + piece + "'";
    if (quote == std::string::npos) break;
    literal += literal.empty() ? "\"'\"" : "+\"'\"";
    start = quote + 1;
  }
  return "(" + literal + ")";
}

// The text of a field a search compares, as an expression (empty for a
// field that shows no searchable text: logical, memo, binary), and whether
// it holds letters whose case may be folded, and whether a blank field
// would read as a value (a blank number as 0) and so must be passed over.
struct TFieldText {
  std::string expression;
  bool letters = false;
  bool blankReadsAsValue = false;
};

TFieldText FieldText(TDbf& table, const TField& field) {
  const std::string& name = field.FieldName();
  switch (field.DataType()) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
      return {name, true};
    case ftFloat:
    case ftSmallint:
    case ftInteger:
    case ftAutoInc: {
      // The digits as the table holds them, without the leading blanks.
      const TDbfFieldDef& def = table.DbfFile()->FieldDefs()[field.FieldNo() - 1];
      return {"LTRIM(STR(" + name + "," + std::to_string(def.Size()) + "," +
                  std::to_string(def.Precision()) + "))",
              false, true};
    }
    case ftDate:
      return {"DTOC(" + name + ")", false, true};
    default:
      return {};
  }
}

}  // namespace

std::string FindCondition(TDbf& table, const TFindRequest& request) {
  if (request.text.empty() || !table.Active() || table.FieldCount() == 0) return std::string();
  // A text with characters the table's code page lacks is in no record.
  std::string stored;
  try {
    table.TextToStorage(*table.Fields(0), request.text, stored, std::string::npos);
  } catch (const EDatabaseError&) {
    return std::string();
  }
  const bool hasLetters = std::any_of(request.text.begin(), request.text.end(), [](char c) {
    return (static_cast<unsigned char>(c) >= 0x80) || std::isalpha(static_cast<unsigned char>(c));
  });
  const std::string literal = TextLiteral(request.text);
  const std::string folded = "UPPER" + literal;
  // Text fields first: the engine runs searches for one text in several
  // text fields as one when they follow each other, joined by OR.
  std::string textTests;
  std::string otherTests;
  for (int i = 0; i < table.FieldCount(); ++i) {
    TField& field = *table.Fields(i);
    if (field.FieldNo() <= 0) continue;
    if (!request.fieldName.empty() && UpperCase(field.FieldName()) != UpperCase(request.fieldName))
      continue;
    const TFieldText shown = FieldText(table, field);
    if (shown.expression.empty()) continue;
    // Numbers and dates show digits and signs only: a text with a letter
    // (or any character beyond ASCII) is in none of them, and leaving
    // them out saves their conversion to text in every record.
    if (!shown.letters && hasLetters) continue;
    const bool fold = shown.letters && !request.matchCase;
    const std::string text = fold ? "UPPER(" + shown.expression + ")" : shown.expression;
    const std::string& value = fold ? folded : literal;
    std::string test =
        request.match == fmContains ? value + " $ " + text : "AT(" + value + "," + text + ") = 1";
    if (shown.blankReadsAsValue)
      test = "(.NOT. ISBLANK(" + field.FieldName() + ") .AND. " + test + ")";
    std::string& tests = shown.letters ? textTests : otherTests;
    tests += (tests.empty() ? "" : " .OR. ") + test;
  }
  if (textTests.empty() || otherTests.empty()) return textTests + otherTests;
  return textTests + " .OR. " + otherTests;
}

TFindDialog::TFindDialog(TDbf* table, QWidget* parent) : QDialog(parent), table_(table) {
  setObjectName(QStringLiteral("dlgFind"));
  setWindowTitle(QStringLiteral("Find"));
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  edText_ = new QLineEdit(this);
  edText_->setObjectName(QStringLiteral("edFindText"));
  form->addRow(QStringLiteral("Find &what:"), edText_);
  cbField_ = new QComboBox(this);
  cbField_->setObjectName(QStringLiteral("cbFindField"));
  form->addRow(QStringLiteral("&In:"), cbField_);
  layout->addLayout(form);

  auto* options = new QHBoxLayout;
  rbContains_ = new QRadioButton(QStringLiteral("&Contains"), this);
  rbContains_->setChecked(true);
  rbBeginsWith_ = new QRadioButton(QStringLiteral("&Begins with"), this);
  chMatchCase_ = new QCheckBox(QStringLiteral("Match &case"), this);
  options->addWidget(rbContains_);
  options->addWidget(rbBeginsWith_);
  options->addWidget(chMatchCase_);
  layout->addLayout(options);

  lbNotice_ = new QLabel(this);
  lbNotice_->setObjectName(QStringLiteral("lbFindNotice"));
  layout->addWidget(lbNotice_);

  auto* buttons = new QHBoxLayout;
  btNext_ = new QPushButton(QStringLiteral("Find &next"), this);
  btNext_->setDefault(true);
  btPrevious_ = new QPushButton(QStringLiteral("Find &previous"), this);
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  buttons->addWidget(btNext_);
  buttons->addWidget(btPrevious_);
  buttons->addStretch();
  buttons->addWidget(close);
  layout->addLayout(buttons);

  connect(btNext_, &QPushButton::clicked, this, [this] { Guarded([this] { Find(true); }); });
  connect(btPrevious_, &QPushButton::clicked, this, [this] { Guarded([this] { Find(false); }); });
  connect(close, &QPushButton::clicked, this, &QDialog::hide);
  connect(edText_, &QLineEdit::textChanged, this, [this](const QString& text) {
    lbNotice_->clear();
    btNext_->setEnabled(!text.isEmpty());
    btPrevious_->setEnabled(!text.isEmpty());
  });
  btNext_->setEnabled(false);
  btPrevious_->setEnabled(false);
}

void TFindDialog::FillFields() {
  const QString chosen = cbField_->currentIndex() > 0 ? cbField_->currentText() : QString();
  cbField_->clear();
  cbField_->addItem(QStringLiteral("All fields"));
  if (!table_->Active()) return;
  for (int i = 0; i < table_->FieldCount(); ++i) {
    TField& field = *table_->Fields(i);
    // Only the fields a search can look into are offered.
    if (field.FieldNo() > 0 && !FieldText(*table_, field).expression.empty())
      cbField_->addItem(Utf8ToQString(field.FieldName()));
  }
  const int index = chosen.isEmpty() ? 0 : cbField_->findText(chosen);
  cbField_->setCurrentIndex(index > 0 ? index : 0);
}

void TFindDialog::Open() {
  FillFields();
  lbNotice_->clear();
  show();
  raise();
  activateWindow();
  edText_->setFocus(Qt::ShortcutFocusReason);
  edText_->selectAll();
}

TFindRequest TFindDialog::RequestInBoxes() const {
  TFindRequest request;
  request.text = QStringToUtf8(edText_->text());
  if (cbField_->currentIndex() > 0) request.fieldName = QStringToUtf8(cbField_->currentText());
  request.match = rbBeginsWith_->isChecked() ? fmBeginsWith : fmContains;
  request.matchCase = chMatchCase_->isChecked();
  return request;
}

bool TFindDialog::Find(bool forward) { return Run(RequestInBoxes(), forward); }

bool TFindDialog::FindAgain(bool forward) {
  if (lastRequest_.text.empty()) {
    Open();
    return false;
  }
  return Run(lastRequest_, forward);
}

bool TFindDialog::Run(const TFindRequest& request, bool forward) {
  lbNotice_->clear();
  if (!table_->Active() || request.text.empty()) return false;
  lastRequest_ = request;
  const std::string condition = FindCondition(*table_, request);
  bool found = false;
  if (!condition.empty()) found = table_->FindRecord(condition, forward);
  if (!found) lbNotice_->setText(QString::fromLatin1(appmsg::kFindNotFound));
  if (onSearched_) onSearched_(found);
  return found;
}
