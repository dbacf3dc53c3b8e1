#include "app/main.h"

#include <QAction>
#include <QCloseEvent>
#include <QFile>
#include <QFont>
#include <QFrame>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <cmath>
#include <regex>

#include "app/animated_image.h"
#include "app/app_str.h"
#include "app/application.h"
#include "app/check_list_box.h"
#include "app/codepage_box.h"
#include "app/db_grid.h"
#include "app/db_navigator.h"
#include "app/dialogs.h"
#include "app/expression_filter.h"
#include "app/filename_edit.h"
#include "app/find_dialog.h"
#include "app/main_menu.h"
#include "app/qt_text.h"
#include "app/status_bar.h"
#include "platform/env.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/classes.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dataset/dbf.h"

namespace {

// The field chosen in the field list; see SelectedFieldName().
std::string selectedFieldName;
uint8_t selectedFieldType = ftUnknown;

const QColor kMaroon(128, 0, 0);
const QColor kNavy(0, 0, 128);
// Character heights in pixels at 96 pixels per inch.
constexpr int kWindowFontHeight = 11;
constexpr int kTurkishFontHeight = 13;
constexpr int kPanel1Height = 42;
constexpr int kPanel2Width = 163;
// The controls' area as designed; the window never gets smaller, so that
// every control stays in view.
constexpr int kClientWidth = 772;
constexpr int kClientHeight = 527;
// The pause in typing after which the search box searches, in ms.
constexpr int kSearchPause = 250;
const QColor kNotFoundTint(255, 205, 205);

// The window was laid out for Windows fonts; on Linux their metric
// twins stand in.
void SubstituteWindowsFonts() {
  QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
  QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"));
}

QFont ArialFont() {
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(kTurkishFontHeight);
  return font;
}

// The font of the window's Turkish-captioned controls: Arial, 13 pixels,
// maroon. Qt text is Unicode, so the Turkish character set needs no
// setting of its own.
void SetTurkishFont(QWidget* widget) {
  widget->setFont(ArialFont());
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Text, kMaroon);
  palette.setColor(QPalette::WindowText, kMaroon);
  palette.setColor(QPalette::ButtonText, kMaroon);
  widget->setPalette(palette);
}

// A panel with a raised bevel of one pixel.
QFrame* NewPanel(QWidget* parent, const char* name) {
  auto* panel = new QFrame(parent);
  panel->setObjectName(QString::fromLatin1(name));
  panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel->setLineWidth(1);
  panel->setAutoFillBackground(true);
  return panel;
}

}  // namespace

const std::string& SelectedFieldName() { return selectedFieldName; }

uint8_t SelectedFieldType() { return selectedFieldType; }

void ResetSelectedField() {
  selectedFieldName.clear();
  selectedFieldType = ftUnknown;
}

std::string CharacterFilterText(const std::string& fieldName, const std::string& value) {
  // The expression language has no escape inside a string literal, so the
  // value is wrapped in a quote character it does not contain.
  char quote = '\'';
  if (value.find('\'') != std::string::npos) {
    if (value.find('"') != std::string::npos)
      throw EConvertError(Format(appmsg::kFilterValueBothQuotes, value.c_str()));
    quote = '"';
  }
  return fieldName + "=" + quote + value + quote;
}

bool LogicalFilterValue(const std::string& value) {
  const std::string word = UpperCase(Trim(value));
  if (word == "T" || word == "Y" || word == "TRUE" || word == "YES") return true;
  if (word == "F" || word == "N" || word == "FALSE" || word == "NO") return false;
  throw EConvertError(Format(appmsg::kNotALogicalValue, Trim(value).c_str()));
}

std::string FloatFilterText(const std::string& fieldName, const std::string& value) {
  // Trimmed of blanks and control characters; what remains must be one
  // number literal of the expression language (with an optional sign),
  // once the user's decimal separator is the expression's point.
  const std::string typed = Trim(value);
  std::string number = typed;
  for (char& c : number)
    if (c == FormatSettings().DecimalSeparator) c = '.';
  static const std::regex kNumber(R"([+-]?(\d+(\.\d*)?|\.\d+)(e[+-]?\d+)?)");
  if (!std::regex_match(number, kNumber))
    throw EConvertError(Format(appmsg::kFilterValueNotANumber, typed.c_str()));
  return fieldName + "=" + number;
}

TfrMain::TfrMain(QWidget* parent)
    : QWidget(parent), tbMain_(std::make_unique<TDbf>()), dsMain_(std::make_unique<TDataSource>()) {
  SubstituteWindowsFonts();
  setObjectName(QStringLiteral("frMain"));
  setWindowTitle(QStringLiteral("zozur"));
  QFont windowFont(QStringLiteral("MS Sans Serif"));
  windowFont.setPixelSize(kWindowFontHeight);
  setFont(windowFont);
  move(192, 138);

  tbMain_->SetName("tbMain");
  tbMain_->SetTableLevel(3);
  dsMain_->SetName("dsMain");
  dsMain_->SetDataSet(tbMain_.get());
  CreateControls();
  // The designed client area of 772 x 527, with the menu bar above it and
  // the status bar below.
  const QSize size(kClientWidth,
                   mnMain_->sizeHint().height() + kClientHeight + sbMain_->sizeHint().height());
  setMinimumSize(size);
  resize(size);
  setAcceptDrops(true);
  dsMain_->SetOnStateChange([this](TDataSource&) {
    UpdateTableControls();
    UpdateStatus();
  });
  dsMain_->SetOnDataChange([this](TDataSource&, TField*) { UpdateStatus(); });
  grMain_->SetOnTitleClicked([this](int column) { SortByColumn(column); });
  UpdateTableControls();
  UpdateStatus();
}

TfrMain::~TfrMain() {
  grMain_->SetDataSource(nullptr);
  nvMain_->SetDataSource(nullptr);
}

void TfrMain::CreateControls() {
  client_ = new QWidget(this);
  client_->setObjectName(QStringLiteral("ClientArea"));
  sbMain_ = new TStatusBar(this);
  sbMain_->setObjectName(QStringLiteral("sbMain"));
  mnMain_ = CreateMainMenu(*this);

  grMain_ = new TDBGrid(client_);
  grMain_->setObjectName(QStringLiteral("grMain"));
  grMain_->setFont(ArialFont());
  grMain_->SetFontColor(kNavy);
  grMain_->SetTitleFont(ArialFont());
  grMain_->SetTitleFontColor(kMaroon);
  grMain_->SetDataSource(dsMain_.get());
  grMain_->SetOnRowMarked([this] { return tbMain_->CurrentDeleted(); });

  panel1_ = NewPanel(client_, "Panel1");
  panel1_->setGeometry(0, 0, 772, kPanel1Height);

  flName_ = new TFilenameEdit(panel1_);
  flName_->setObjectName(QStringLiteral("flName"));
  flName_->setGeometry(8, 8, 337, 25);
  flName_->Edit()->setPlaceholderText(QString::fromLatin1(appmsg::kFileNameHint));
  flName_->SetFilter("All files (*.dbf)|*.dbf");
  SetTurkishFont(flName_);
  flName_->SetOnAfterDialog([this](TFilenameEdit& sender, std::string& name, bool& action) {
    flNameAfterDialog(sender, name, action);
  });
  connect(flName_->Edit(), &QLineEdit::returnPressed, this,
          [this] { Guarded([this] { OpenTypedName(); }); });

  nvMain_ = new TDBNavigator(panel1_);
  nvMain_->setObjectName(QStringLiteral("nvMain"));
  nvMain_->setGeometry(352, 8, 240, 25);
  nvMain_->SetDataSource(dsMain_.get());

  edSearch_ = new QLineEdit(panel1_);
  edSearch_->setObjectName(QStringLiteral("edSearch"));
  edSearch_->setGeometry(601, 9, 152, 24);
  SetTurkishFont(edSearch_);
  searchTimer_ = new QTimer(this);
  searchTimer_->setSingleShot(true);
  searchTimer_->setInterval(kSearchPause);
  connect(searchTimer_, &QTimer::timeout, this, [this] { Guarded([this] { edSearchChange(); }); });
  connect(edSearch_, &QLineEdit::textChanged, this, [this] { SearchTextChanged(); });

  panel2_ = NewPanel(client_, "Panel2");
  panel2_->setGeometry(0, kPanel1Height, kPanel2Width, 485);

  animatedImage1_ = new TAnimatedImage(panel2_);
  animatedImage1_->setObjectName(QStringLiteral("AnimatedImage1"));
  animatedImage1_->setGeometry(17, 396, 130, 80);
  animatedImage1_->SetGlyph(TAnimatedImage::Logo(QSize(130, 80)));

  lbMain_ = new TCheckListBox(panel2_);
  lbMain_->setObjectName(QStringLiteral("lbMain"));
  lbMain_->setGeometry(8, 8, 145, 257);
  lbMain_->SetCheckKind(ckRadioButtons);
  lbMain_->SetItemHeight(16);
  SetTurkishFont(lbMain_);
  lbMain_->SetOnClickCheck([this](TCheckListBox& sender) { lbMainClickCheck(sender); });

  edMain_ = new QLineEdit(panel2_);
  edMain_->setObjectName(QStringLiteral("edMain"));
  edMain_->setGeometry(9, 272, 143, 24);
  SetTurkishFont(edMain_);

  // The code page the table's text is read in: the table's own or one
  // the user chooses; choosing reopens the table at the same record.
  cbCodePage_ = new TCodePageBox(tbMain_.get(), panel2_);
  cbCodePage_->setObjectName(QStringLiteral("cbCodePage"));
  cbCodePage_->setGeometry(9, 298, 143, 20);
  cbCodePage_->SetOnReopened([this] { FillFieldList(); });

  btClear_ = new QPushButton(QStringLiteral("Temizle"), panel2_);
  btClear_->setObjectName(QStringLiteral("btClear"));
  btClear_->setGeometry(46, 352, 75, 25);
  SetTurkishFont(btClear_);
  connect(btClear_, &QPushButton::clicked, this, [this] { Guarded([this] { btClearClick(); }); });

  btFilter_ = new QPushButton(QStringLiteral("Filtrele"), panel2_);
  btFilter_->setObjectName(QStringLiteral("btFilter"));
  btFilter_->setGeometry(46, 320, 75, 25);
  SetTurkishFont(btFilter_);
  connect(btFilter_, &QPushButton::clicked, this, [this] { Guarded([this] { btFilterClick(); }); });

  frExpression_ = new TExpressionFilter(tbMain_.get(), this);
  frExpression_->SetOnApplied(
      [this] { filterDescription_ = tbMain_->Filtered() ? tbMain_->Filter() : std::string(); });
  QAction* expression = edMain_->addAction(style()->standardIcon(QStyle::SP_FileDialogDetailedView),
                                           QLineEdit::TrailingPosition);
  expression->setObjectName(QStringLiteral("acExpression"));
  expression->setToolTip(QStringLiteral("Filtre ifadesi (Ctrl+E)"));
  expression->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
  expression->setShortcutContext(Qt::WindowShortcut);
  connect(expression, &QAction::triggered, frExpression_, &TExpressionFilter::Open);

  // Tab order: the grid, then Panel1's controls, then Panel2's, where
  // "Temizle" comes before "Filtrele".
  setTabOrder(grMain_, flName_);
  setTabOrder(flName_, nvMain_);
  setTabOrder(nvMain_, edSearch_);
  setTabOrder(edSearch_, lbMain_);
  setTabOrder(lbMain_, edMain_);
  setTabOrder(edMain_, cbCodePage_);
  setTabOrder(cbCodePage_, btClear_);
  setTabOrder(btClear_, btFilter_);
  animatedImage1_->setFocusPolicy(Qt::NoFocus);
}

void TfrMain::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // The menu bar takes the top and the status bar the bottom; in the
  // client area Panel1 is aligned to the top, Panel2 to the left, and the
  // grid fills what is left.
  const int menuHeight = mnMain_->sizeHint().height();
  const int statusHeight = sbMain_->sizeHint().height();
  const int w = width();
  const int h = qMax(0, height() - menuHeight - statusHeight);
  mnMain_->setGeometry(0, 0, w, menuHeight);
  client_->setGeometry(0, menuHeight, w, h);
  sbMain_->setGeometry(0, menuHeight + h, w, statusHeight);
  panel1_->setGeometry(0, 0, w, kPanel1Height);
  panel2_->setGeometry(0, kPanel1Height, kPanel2Width, qMax(0, h - kPanel1Height));
  grMain_->setGeometry(kPanel2Width, kPanel1Height, qMax(0, w - kPanel2Width),
                       qMax(0, h - kPanel1Height));
}

void TfrMain::closeEvent(QCloseEvent* event) {
  if (!ConfirmPendingEdit()) {
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

bool TfrMain::ConfirmPendingEdit() {
  if (!tbMain_->Active()) return true;
  const TRecordSetState state = tbMain_->State();
  if (state != rsEdit && state != rsInsert) return true;
  // An edit with nothing typed holds nothing to lose.
  if (!tbMain_->IsModified() && !grMain_->EditChanged())
    return Guarded([this] { tbMain_->Cancel(); });
  switch (AskSaveChanges(this)) {
    case saSave:
      // Posting first writes the text still in the grid's cell editor.
      return Guarded([this] { tbMain_->Post(); });
    case saDiscard:
      return Guarded([this] { tbMain_->Cancel(); });
    case saCancel:
      break;
  }
  return false;
}

void TfrMain::OpenTable(const std::string& fileName) {
  std::string name = fileName;
  bool action = true;
  flNameAfterDialog(*flName_, name, action);
  if (action) ShowOpenTableName();
}

void TfrMain::OpenTypedName() {
  const std::string typed = Trim(flName_->FileName());
  if (typed.empty()) {
    ShowOpenTableName();
    return;
  }
  // A relative name is taken from the current folder, as in a shell.
  const std::string name = platform::ExpandPath(typed, platform::TEnv::Default()->CurrentFolder());
  if (tbMain_->Active() && name == tbMain_->FullTableName()) return;
  OpenTable(name);
}

void TfrMain::ShowOpenTableName() {
  flName_->SetText(tbMain_->Active()
                       ? QFile::decodeName(QByteArray::fromStdString(tbMain_->FullTableName()))
                       : QString());
}

void TfrMain::flNameAfterDialog(TFilenameEdit&, std::string& name, bool& action) {
  if (!action) return;
  if (!ConfirmPendingEdit()) {
    action = false;
    return;
  }
  // A new table starts without the last one's filter, field and search.
  ClearFilterAndSearch();
  const std::string previous = tbMain_->Active() ? tbMain_->FullTableName() : std::string();
  if (tbMain_->Active()) tbMain_->SetActive(false);
  try {
    tbMain_->SetTableName(name);
    // A new table starts with its own code page.
    tbMain_->SetCodePage(0);
    tbMain_->SetActive(true);
  } catch (...) {
    // The table that was open before comes back, with its name in the box.
    if (!previous.empty()) {
      try {
        tbMain_->SetTableName(previous);
        tbMain_->SetActive(true);
      } catch (const Exception&) {
      }
    }
    ShowOpenTableName();
    cbCodePage_->ShowCodePageInForce();
    throw;
  }
  cbCodePage_->ShowCodePageInForce();
  ShowOpenNotices();
  FillFieldList();
  RememberRecent(tbMain_->FullTableName());
}

void TfrMain::FillFieldList() {
  TStringList names;
  tbMain_->ListFieldNames(names);
  lbMain_->SetItems(names);
  if (dlgFind_) dlgFind_->FillFields();
}

void TfrMain::ShowOpenNotices() {
  QString text;
  for (const std::string& warning : tbMain_->OpenWarnings())
    text += QString::fromUtf8(warning.data(), static_cast<qsizetype>(warning.size())) + "\n";
  if (text.isEmpty()) {
    if (openNotice_) openNotice_->hide();
    return;
  }
  // Told without stopping the user: the table is open and can be read.
  if (!openNotice_) {
    openNotice_ =
        new QMessageBox(QMessageBox::Information, windowTitle(), QString(), QMessageBox::Ok, this);
    openNotice_->setWindowModality(Qt::NonModal);
  }
  openNotice_->setText(text.trimmed());
  openNotice_->show();
}

void TfrMain::ClearFilterAndSearch() {
  searchTimer_->stop();
  {
    const QSignalBlocker blocker(edSearch_);
    edSearch_->clear();
  }
  SetSearchNotFound(false);
  edMain_->clear();
  tbMain_->SetFiltered(false);
  tbMain_->SetFilter(std::string());
  tbMain_->SetOnFilterRecord(nullptr);
  filterDescription_.clear();
  ResetSelectedField();
  for (int i = 0; i < lbMain_->Count(); ++i) lbMain_->SetChecked(i, false);
}

void TfrMain::UpdateTableControls() {
  const bool open = tbMain_->Active();
  for (QWidget* control : {static_cast<QWidget*>(edSearch_), static_cast<QWidget*>(edMain_),
                           static_cast<QWidget*>(btFilter_), static_cast<QWidget*>(btClear_),
                           static_cast<QWidget*>(lbMain_)})
    control->setEnabled(open);
  if (!open) searchTimer_->stop();
}

void TfrMain::lbMainClickCheck(TCheckListBox& sender) {
  // The marked field is the one filter and search use.
  const int index = sender.CheckedIndex();
  if (index < 0 || index >= sender.Count()) return;
  selectedFieldName = sender.Items()[index];
  selectedFieldType = tbMain_->Fields(index)->DataType();
}

void TfrMain::btFilterClick() {
  tbMain_->SetFiltered(false);
  filterDescription_.clear();
  const std::string value = QStringToUtf8(edMain_->text());
  switch (selectedFieldType) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
      tbMain_->SetOnFilterRecord(nullptr);
      tbMain_->SetFilter(CharacterFilterText(selectedFieldName, value));
      filterDescription_ = tbMain_->Filter();
      break;
    case ftFloat:
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftLargeint:
    case ftAutoInc:
    case ftCurrency:
    case ftBCD:
      tbMain_->SetOnFilterRecord(nullptr);
      tbMain_->SetFilter(FloatFilterText(selectedFieldName, value));
      filterDescription_ = tbMain_->Filter();
      break;
    case ftDate:
    case ftDateTime:
      StrToDate(value);  // a value that is no date is refused before filtering
      tbMain_->SetFilter(std::string());
      tbMain_->SetOnFilterRecord(
          [this](TDataSet& dataSet, bool& accept) { DataSetFilterRecord(dataSet, accept); });
      filterDescription_ = selectedFieldName + "=" + Trim(value);
      break;
    case ftBoolean:
      filterDescription_ = selectedFieldName + "=" + (LogicalFilterValue(value) ? ".T." : ".F.");
      tbMain_->SetFilter(std::string());
      tbMain_->SetOnFilterRecord(
          [this](TDataSet& dataSet, bool& accept) { LogicalFilterRecord(dataSet, accept); });
      break;
    case ftUnknown:
      // No field chosen: whatever filter is set (none after opening) goes on.
      break;
    default:
      throw EDatabaseError(Format(appmsg::kFieldCannotBeFiltered, selectedFieldName.c_str()));
  }
  try {
    tbMain_->SetFiltered(true);
    UpdateStatus();
  } catch (...) {
    // A filter that fails on the records (a value that is no date) is
    // switched off again, so that moving through the table works; the
    // first failure is the one reported.
    filterDescription_.clear();
    try {
      tbMain_->SetFiltered(false);
    } catch (const Exception&) {
    }
    throw;
  }
}

void TfrMain::DataSetFilterRecord(TDataSet& dataSet, bool& accept) {
  // A date-time matches the typed day whatever its time of day.
  const TDateTime value = dataSet.FieldNamed(selectedFieldName)->ValueAsDateTime();
  const TDateTime typed = StrToDate(QStringToUtf8(edMain_->text()));
  accept = std::trunc(value) == typed;
}

void TfrMain::LogicalFilterRecord(TDataSet& dataSet, bool& accept) {
  TField* field = dataSet.FieldNamed(selectedFieldName);
  // A blank or "?" logical has no value and matches neither T nor F.
  accept = !field->ValueIsNull() &&
           field->ValueAsBoolean() == LogicalFilterValue(QStringToUtf8(edMain_->text()));
}

void TfrMain::btClearClick() {
  edMain_->setText(QString());
  tbMain_->SetFiltered(false);
  filterDescription_.clear();
  UpdateStatus();
}

bool TfrMain::SearchPending() const { return searchTimer_->isActive(); }

void TfrMain::SearchTextChanged() {
  SetSearchNotFound(false);
  // An emptied box leaves the record where it is.
  if (edSearch_->text().isEmpty()) {
    searchTimer_->stop();
    return;
  }
  // Each key starts the pause again, so a search runs once typing rests
  // and never holds up the keys of a large table.
  searchTimer_->start();
}

void TfrMain::SetSearchNotFound(bool notFound) {
  QPalette palette = edSearch_->palette();
  palette.setColor(QPalette::Base, notFound
                                       ? kNotFoundTint
                                       : QApplication::palette(edSearch_).color(QPalette::Base));
  edSearch_->setPalette(palette);
  if (notFound)
    sbMain_->showMessage(QString::fromLatin1(appmsg::kSearchNotFound));
  else
    sbMain_->clearMessage();
}

void TfrMain::edSearchChange() {
  if (edSearch_->text().isEmpty() || selectedFieldName.empty()) return;
  const TVariant value(QStringToUtf8(edSearch_->text()));
  // A text that does not convert to the field's type fails part-way
  // through the search; the user stays on the record they were on.
  const std::string bookmark = tbMain_->Bookmark();
  bool found = false;
  try {
    found = tbMain_->LocateRecord(selectedFieldName, value, SearchOpt(soPartialKey));
  } catch (...) {
    SetSearchNotFound(true);
    if (!bookmark.empty()) Guarded([&] { tbMain_->MoveToBookmark(bookmark); });
    throw;
  }
  SetSearchNotFound(!found);
}
