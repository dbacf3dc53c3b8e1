#include "app/main.h"

#include <QFile>
#include <QFont>
#include <QFrame>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <regex>

#include "app/animated_image.h"
#include "app/app_str.h"
#include "app/application.h"
#include "app/check_list_box.h"
#include "app/db_grid.h"
#include "app/db_navigator.h"
#include "app/filename_edit.h"
#include "app/qt_text.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/classes.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf.h"

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

std::string FloatFilterText(const std::string& fieldName, const std::string& value) {
  // Trimmed of blanks and control characters; what remains must be one
  // number literal of the expression language (with an optional sign).
  const std::string number = Trim(value);
  static const std::regex kNumber(R"([+-]?(\d+(\.\d*)?|\.\d+)(e[+-]?\d+)?)");
  if (!std::regex_match(number, kNumber))
    throw EConvertError(Format(appmsg::kFilterValueNotANumber, number.c_str()));
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
  // Outer size 780 x 554 at (192, 138): the client area is 772 x 527.
  move(192, 138);
  resize(772, 527);

  tbMain_->SetName("tbMain");
  tbMain_->SetTableLevel(3);
  dsMain_->SetName("dsMain");
  dsMain_->SetDataSet(tbMain_.get());
  CreateControls();
}

TfrMain::~TfrMain() {
  grMain_->SetDataSource(nullptr);
  nvMain_->SetDataSource(nullptr);
}

void TfrMain::CreateControls() {
  grMain_ = new TDBGrid(this);
  grMain_->setObjectName(QStringLiteral("grMain"));
  grMain_->setFont(ArialFont());
  grMain_->SetFontColor(kNavy);
  grMain_->SetTitleFont(ArialFont());
  grMain_->SetTitleFontColor(kMaroon);
  grMain_->SetDataSource(dsMain_.get());

  panel1_ = NewPanel(this, "Panel1");
  panel1_->setGeometry(0, 0, 772, kPanel1Height);

  flName_ = new TFilenameEdit(panel1_);
  flName_->setObjectName(QStringLiteral("flName"));
  flName_->setGeometry(8, 8, 337, 25);
  flName_->SetText(QStringLiteral("Dbf Dosya"));
  flName_->SetFilter("All files (*.dbf)|*.dbf");
  SetTurkishFont(flName_);
  flName_->SetOnAfterDialog([this](TFilenameEdit& sender, std::string& name, bool& action) {
    flNameAfterDialog(sender, name, action);
  });

  nvMain_ = new TDBNavigator(panel1_);
  nvMain_->setObjectName(QStringLiteral("nvMain"));
  nvMain_->setGeometry(352, 8, 240, 25);
  nvMain_->SetDataSource(dsMain_.get());

  edSearch_ = new QLineEdit(panel1_);
  edSearch_->setObjectName(QStringLiteral("edSearch"));
  edSearch_->setGeometry(601, 9, 152, 24);
  SetTurkishFont(edSearch_);
  connect(edSearch_, &QLineEdit::textChanged, this,
          [this] { Guarded([this] { edSearchChange(); }); });

  panel2_ = NewPanel(this, "Panel2");
  panel2_->setGeometry(0, kPanel1Height, kPanel2Width, 485);

  animatedImage1_ = new TAnimatedImage(panel2_);
  animatedImage1_->setObjectName(QStringLiteral("AnimatedImage1"));
  animatedImage1_->setGeometry(17, 396, 130, 80);
  animatedImage1_->SetGlyph(TAnimatedImage::Logo(QSize(130, 80)));

  lbMain_ = new TRxCheckListBox(panel2_);
  lbMain_->setObjectName(QStringLiteral("lbMain"));
  lbMain_->setGeometry(8, 8, 145, 257);
  lbMain_->SetCheckKind(ckRadioButtons);
  lbMain_->SetItemHeight(16);
  SetTurkishFont(lbMain_);
  lbMain_->SetOnClickCheck([this](TRxCheckListBox& sender) { lbMainClickCheck(sender); });

  edMain_ = new QLineEdit(panel2_);
  edMain_->setObjectName(QStringLiteral("edMain"));
  edMain_->setGeometry(9, 272, 143, 24);
  SetTurkishFont(edMain_);

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

  // Tab order: the grid, then Panel1's controls, then Panel2's, where
  // "Temizle" comes before "Filtrele".
  setTabOrder(grMain_, flName_);
  setTabOrder(flName_, nvMain_);
  setTabOrder(nvMain_, edSearch_);
  setTabOrder(edSearch_, lbMain_);
  setTabOrder(lbMain_, edMain_);
  setTabOrder(edMain_, btClear_);
  setTabOrder(btClear_, btFilter_);
  animatedImage1_->setFocusPolicy(Qt::NoFocus);
}

void TfrMain::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // Panel1 is aligned to the top, Panel2 to the left, and the grid fills
  // what is left.
  const int w = width();
  const int h = height();
  panel1_->setGeometry(0, 0, w, kPanel1Height);
  panel2_->setGeometry(0, kPanel1Height, kPanel2Width, qMax(0, h - kPanel1Height));
  grMain_->setGeometry(kPanel2Width, kPanel1Height, qMax(0, w - kPanel2Width),
                       qMax(0, h - kPanel1Height));
}

void TfrMain::OpenTable(const std::string& fileName) {
  std::string name = fileName;
  bool action = true;
  flNameAfterDialog(*flName_, name, action);
  flName_->SetText(QFile::decodeName(QByteArray::fromStdString(name)));
}

void TfrMain::flNameAfterDialog(TFilenameEdit&, std::string& name, bool& action) {
  if (!action) return;
  if (tbMain_->Active()) tbMain_->SetActive(false);
  tbMain_->SetTableName(name);
  tbMain_->SetActive(true);
  ShowOpenNotices();
  TStringList names;
  tbMain_->ListFieldNames(names);
  lbMain_->SetItems(names);
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

void TfrMain::lbMainClickCheck(TRxCheckListBox& sender) {
  const int count = sender.Count();
  if (count == 0) return;
  const TStringList items = sender.Items();
  for (int i = 0; i < count; ++i) {
    if (!sender.Selected(i)) continue;
    selectedFieldName = items[i];
    selectedFieldType = tbMain_->Fields(i)->DataType();
  }
}

void TfrMain::btFilterClick() {
  tbMain_->SetFiltered(false);
  const std::string value = QStringToAnsi(edMain_->text());
  switch (selectedFieldType) {
    case ftString:
      tbMain_->SetOnFilterRecord(nullptr);
      tbMain_->SetFilter(CharacterFilterText(selectedFieldName, value));
      break;
    case ftFloat:
      tbMain_->SetOnFilterRecord(nullptr);
      tbMain_->SetFilter(FloatFilterText(selectedFieldName, value));
      break;
    case ftDate:
      tbMain_->SetFilter(std::string());
      tbMain_->SetOnFilterRecord(
          [this](TDataSet& dataSet, bool& accept) { DataSetFilterRecord(dataSet, accept); });
      break;
    default:
      // Another type: the filter text and callback stay as they were.
      break;
  }
  try {
    tbMain_->SetFiltered(true);
  } catch (...) {
    // A filter that fails on the records (a value that is no date) is
    // switched off again, so that moving through the table works; the
    // first failure is the one reported.
    try {
      tbMain_->SetFiltered(false);
    } catch (const Exception&) {
    }
    throw;
  }
}

void TfrMain::DataSetFilterRecord(TDataSet& dataSet, bool& accept) {
  const TDateTime value = dataSet.FieldNamed(selectedFieldName)->ValueAsDateTime();
  const TDateTime typed = StrToDate(QStringToAnsi(edMain_->text()));
  accept = value == typed;
}

void TfrMain::btClearClick() {
  edMain_->setText(QString());
  tbMain_->SetFiltered(false);
}

void TfrMain::edSearchChange() {
  const TVariant value(QStringToAnsi(edSearch_->text()));
  tbMain_->LocateRecord(selectedFieldName, value, SearchOpt(soPartialKey));
}
