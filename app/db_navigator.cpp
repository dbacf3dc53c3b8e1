#include "app/db_navigator.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QToolButton>

#include "app/app_str.h"
#include "app/application.h"
#include "app/dialogs.h"
#include "app/qt_text.h"
#include "recordset/dataset.h"
#include "recordset/datasource.h"

namespace {

struct TNavButtonInfo {
  const char* hint;
  const char* glyph;
};

constexpr TNavButtonInfo kButtonInfo[kNavigateBtnCount] = {
    {"First record", "dbn_FIRST"},   {"Prior record", "dbn_PRIOR"},
    {"Next record", "dbn_NEXT"},     {"Last record", "dbn_LAST"},
    {"Insert record", "dbn_INSERT"}, {"Delete record", "dbn_DELETE"},
    {"Edit record", "dbn_EDIT"},     {"Post edit", "dbn_POST"},
    {"Cancel edit", "dbn_CANCEL"},   {"Refresh data", "dbn_REFRESH"},
};

// The smallest size of one button.
constexpr int kMinButtonWidth = 20;
constexpr int kMinButtonHeight = 18;
// Glyphs are drawn on a square of this many pixels.
constexpr int kGlyphSize = 16;

// Draws a button's glyph; the icon derives the disabled look from it.
QIcon NavGlyph(TNavigateBtn button) {
  QPixmap pixmap(kGlyphSize, kGlyphSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor ink(0, 0, 0);
  p.setPen(Qt::NoPen);
  p.setBrush(ink);
  auto triangle = [&](qreal tipX, qreal baseX) {
    p.drawPolygon(QPolygonF({QPointF(tipX, 8), QPointF(baseX, 3), QPointF(baseX, 13)}));
  };
  switch (button) {
    case nbFirst:
      p.drawRect(QRectF(3, 3, 2, 10));
      triangle(6, 12);
      break;
    case nbPrior:
      triangle(5, 11);
      break;
    case nbNext:
      triangle(11, 5);
      break;
    case nbLast:
      triangle(10, 4);
      p.drawRect(QRectF(11, 3, 2, 10));
      break;
    case nbInsert:
      p.drawRect(QRectF(7, 3, 2, 10));
      p.drawRect(QRectF(3, 7, 10, 2));
      break;
    case nbDelete:
      p.drawRect(QRectF(3, 7, 10, 2));
      break;
    case nbEdit:
      p.drawPolygon(QPolygonF({QPointF(8, 3), QPointF(13, 11), QPointF(3, 11)}));
      break;
    case nbPost:
      p.setPen(QPen(QColor(0, 128, 0), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.setBrush(Qt::NoBrush);
      p.drawPolyline(QPolygonF({QPointF(3, 8), QPointF(6.5, 12), QPointF(13, 4)}));
      break;
    case nbCancel:
      p.setPen(QPen(QColor(160, 0, 0), 2.2, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(4, 4), QPointF(12, 12));
      p.drawLine(QPointF(12, 4), QPointF(4, 12));
      break;
    case nbRefresh: {
      p.setPen(QPen(ink, 1.8));
      p.setBrush(Qt::NoBrush);
      p.drawArc(QRectF(3, 3, 10, 10), 60 * 16, 280 * 16);
      p.setPen(Qt::NoPen);
      p.setBrush(ink);
      p.drawPolygon(QPolygonF({QPointF(9, 1), QPointF(13.5, 3.5), QPointF(9, 6.5)}));
      break;
    }
  }
  return QIcon(pixmap);
}

}  // namespace

// A button of the bar: draws the bar's focus on itself when it is the
// focused button, and never takes the focus from the bar.
class TNavButton : public QToolButton {
 public:
  TNavButton(TDBNavigator* bar, TNavigateBtn index) : QToolButton(bar), bar_(bar), index_(index) {
    setFocusPolicy(Qt::NoFocus);
    setAutoRaise(false);
    setIconSize(QSize(kGlyphSize, kGlyphSize));
    setObjectName(QString::fromLatin1(TDBNavigator::GlyphName(index)));
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QToolButton::paintEvent(event);
    if (!bar_->hasFocus() || bar_->FocusedButton() != index_) return;
    QStylePainter painter(this);
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    focus.rect = rect().adjusted(3, 3, -3, -3);
    painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
  }

 private:
  TDBNavigator* bar_;
  TNavigateBtn index_;
};

class TDBNavigator::TNavDataLink : public TDataLink {
 public:
  explicit TNavDataLink(TDBNavigator* bar) : bar_(bar) { SetVisualControl(true); }

 protected:
  void EditingChanged() override { bar_->EditingChanged(); }
  void DataSetChanged() override { bar_->DataChanged(); }
  void ActiveChanged() override { bar_->ActiveChanged(); }

 private:
  TDBNavigator* bar_;
};

TDBNavigator::TDBNavigator(QWidget* parent)
    : QWidget(parent), link_(std::make_unique<TNavDataLink>(this)) {
  // A tab stop, but a click on a button leaves the keyboard where it was,
  // so that after "Insert record" the user types straight into the grid.
  setFocusPolicy(Qt::TabFocus);
  for (int i = 0; i < kNavigateBtnCount; ++i) {
    const auto index = static_cast<TNavigateBtn>(i);
    auto* button = new TNavButton(this, index);
    button->setIcon(NavGlyph(index));
    connect(button, &QToolButton::clicked, this, [this, index] {
      focusedButton_ = index;
      Guarded([this, index] { BtnClick(index); });
    });
    buttons_[i] = button;
  }
  ApplyHints();
  resize(sizeHint());
  ActiveChanged();
}

TDBNavigator::~TDBNavigator() = default;

TDataSource* TDBNavigator::DataSource() const { return link_->DataSource(); }

void TDBNavigator::SetDataSource(TDataSource* source) {
  link_->SetDataSource(source);
  ActiveChanged();
}

void TDBNavigator::SetVisibleButtons(TNavButtonSet buttons) {
  visibleButtons_ = buttons & kAllNavButtons;
  for (int i = 0; i < kNavigateBtnCount; ++i)
    buttons_[i]->setVisible((visibleButtons_ & NavBtn(static_cast<TNavigateBtn>(i))) != 0);
  if (!(visibleButtons_ & NavBtn(focusedButton_))) {
    focusedButton_ = nbFirst;
    if (!(visibleButtons_ & NavBtn(nbFirst))) MoveFocus(1);
  }
  LayoutButtons();
}

void TDBNavigator::SetHints(const TStringList& hints) {
  hints_ = hints;
  ApplyHints();
}

void TDBNavigator::ApplyHints() {
  // A list that repeats the defaults changes nothing, like an empty one.
  for (int i = 0; i < kNavigateBtnCount; ++i) {
    std::string hint = kButtonInfo[i].hint;
    if (i < hints_.Count() && !hints_[i].empty()) hint = hints_[i];
    buttons_[i]->setToolTip(Utf8ToQString(hint));
  }
}

const char* TDBNavigator::DefaultHint(TNavigateBtn button) { return kButtonInfo[button].hint; }

const char* TDBNavigator::GlyphName(TNavigateBtn button) { return kButtonInfo[button].glyph; }

QAbstractButton* TDBNavigator::Button(TNavigateBtn button) const { return buttons_[button]; }

void TDBNavigator::BtnClick(TNavigateBtn button) {
  TDataSource* source = DataSource();
  if (source && source->State() != rsInactive && source->DataSet()) {
    TDataSet& set = *source->DataSet();
    if (beforeAction_ && !set.IsDesigning()) beforeAction_(*this, button);
    switch (button) {
      case nbFirst:
        set.First();
        break;
      case nbPrior:
        set.Prior();
        break;
      case nbNext:
        set.Next();
        break;
      case nbLast:
        set.Last();
        break;
      case nbInsert:
        set.Insert();
        break;
      case nbDelete:
        if (!confirmDelete_ ||
            ConfirmOkCancel(this, QString::fromLatin1(appmsg::kDeleteRecordQuestion)))
          set.Delete();
        break;
      case nbEdit:
        set.Edit();
        break;
      case nbPost:
        set.Post();
        break;
      case nbCancel:
        set.Cancel();
        break;
      case nbRefresh:
        set.Refresh();
        break;
    }
  }
  if (onClick_) onClick_(*this, button);
}

void TDBNavigator::SetButtonEnabled(TNavigateBtn button, bool enabled) {
  buttons_[button]->setEnabled(enabled);
}

void TDBNavigator::DataChanged() {
  const bool live = isEnabled() && link_->Active();
  const bool up = live && !link_->AtStart();
  const bool down = live && !link_->AtEnd();
  SetButtonEnabled(nbFirst, up);
  SetButtonEnabled(nbPrior, up);
  SetButtonEnabled(nbNext, down);
  SetButtonEnabled(nbLast, down);
  TDataSet* set = link_->DataSet();
  SetButtonEnabled(nbDelete, live && set && set->IsWritable() && !(set->AtStart() && set->AtEnd()));
}

void TDBNavigator::EditingChanged() {
  TDataSet* set = link_->DataSet();
  const bool canModify = isEnabled() && link_->Active() && set && set->IsWritable();
  SetButtonEnabled(nbInsert, canModify);
  SetButtonEnabled(nbEdit, canModify && !link_->Editing());
  SetButtonEnabled(nbPost, canModify && link_->Editing());
  SetButtonEnabled(nbCancel, canModify && link_->Editing());
  SetButtonEnabled(nbRefresh, canModify);
}

void TDBNavigator::ActiveChanged() {
  if (!isEnabled() || !link_->Active()) {
    for (int i = 0; i < kNavigateBtnCount; ++i)
      SetButtonEnabled(static_cast<TNavigateBtn>(i), false);
    return;
  }
  DataChanged();
  EditingChanged();
}

void TDBNavigator::LayoutButtons() {
  int count = 0;
  for (int i = 0; i < kNavigateBtnCount; ++i)
    if (visibleButtons_ & NavBtn(static_cast<TNavigateBtn>(i))) ++count;
  setMinimumSize(qMax(1, count) * kMinButtonWidth, kMinButtonHeight);
  if (count == 0) return;
  // The width is shared out evenly; the pixels left over go one each to
  // the first buttons.
  int x = 0;
  int slot = 0;
  for (int i = 0; i < kNavigateBtnCount; ++i) {
    if (!(visibleButtons_ & NavBtn(static_cast<TNavigateBtn>(i)))) continue;
    const int w = width() / count + (slot < width() % count ? 1 : 0);
    buttons_[i]->setGeometry(x, 0, w, height());
    x += w;
    ++slot;
  }
}

void TDBNavigator::MoveFocus(int step) {
  // Left on the first visible button and Right on the last stay put.
  int index = focusedButton_ + step;
  while (index >= 0 && index < kNavigateBtnCount &&
         !(visibleButtons_ & NavBtn(static_cast<TNavigateBtn>(index))))
    index += step;
  if (index < 0 || index >= kNavigateBtnCount) return;
  focusedButton_ = static_cast<TNavigateBtn>(index);
  for (TNavButton* button : buttons_) button->update();
}

void TDBNavigator::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayoutButtons();
}

void TDBNavigator::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Left:
      MoveFocus(-1);
      return;
    case Qt::Key_Right:
      MoveFocus(1);
      return;
    case Qt::Key_Space:
      if (buttons_[focusedButton_]->isEnabled() && (visibleButtons_ & NavBtn(focusedButton_)))
        buttons_[focusedButton_]->click();
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

void TDBNavigator::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  buttons_[focusedButton_]->update();
}

void TDBNavigator::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  buttons_[focusedButton_]->update();
}

void TDBNavigator::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) ActiveChanged();
}
