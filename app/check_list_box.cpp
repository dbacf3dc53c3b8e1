#include "app/check_list_box.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

#include "app/application.h"
#include "app/qt_text.h"
#include "runtime/exceptions.h"

namespace {

// Item data role holding the item's engine text, so that Items() gives
// back exactly the bytes that were set.
constexpr int kEngineTextRole = Qt::UserRole + 1;
// Side of the square a mark is drawn in.
constexpr int kMarkSize = 13;
// Gap left and right of the mark.
constexpr int kMarkMargin = 2;

// Draws one item: its mark in the box's check kind, then its text.
class TCheckItemDelegate : public QStyledItemDelegate {
 public:
  explicit TCheckItemDelegate(TCheckListBox* box) : QStyledItemDelegate(box), box_(box) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    opt.features &= ~QStyleOptionViewItem::HasCheckIndicator;
    const int markWidth = kMarkSize + 2 * kMarkMargin;
    QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();

    // Background and text to the right of the mark.
    QStyleOptionViewItem textOpt = opt;
    textOpt.rect.setLeft(opt.rect.left() + markWidth);
    style->drawControl(QStyle::CE_ItemViewItem, &textOpt, painter, opt.widget);

    QStyleOptionButton mark;
    mark.rect = QRect(opt.rect.left() + kMarkMargin,
                      opt.rect.top() + (opt.rect.height() - kMarkSize) / 2, kMarkSize, kMarkSize);
    mark.state =
        (opt.state & QStyle::State_Enabled) | (checked ? QStyle::State_On : QStyle::State_Off);
    mark.palette = opt.palette;
    switch (box_->CheckKind()) {
      case ckRadioButtons:
        style->drawPrimitive(QStyle::PE_IndicatorRadioButton, &mark, painter, opt.widget);
        break;
      case ckCheckBoxes:
        style->drawPrimitive(QStyle::PE_IndicatorCheckBox, &mark, painter, opt.widget);
        break;
      case ckCheckMarks:
        if (checked) {
          painter->save();
          painter->setRenderHint(QPainter::Antialiasing);
          painter->setPen(QPen(opt.palette.color(QPalette::Text), 2));
          const QRectF r = mark.rect;
          painter->drawPolyline(QPolygonF({QPointF(r.left() + 2, r.center().y()),
                                           QPointF(r.left() + 5, r.bottom() - 2),
                                           QPointF(r.right() - 1, r.top() + 2)}));
          painter->restore();
        }
        break;
    }
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(box_->ItemHeight());
    size.setWidth(size.width() + kMarkSize + 2 * kMarkMargin);
    return size;
  }

 private:
  TCheckListBox* box_;
};

}  // namespace

TCheckListBox::TCheckListBox(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setUniformItemSizes(true);
  setItemDelegate(new TCheckItemDelegate(this));
}

TStringList TCheckListBox::Items() const {
  TStringList result;
  for (int i = 0; i < count(); ++i)
    result.Add(item(i)->data(kEngineTextRole).toByteArray().toStdString());
  return result;
}

void TCheckListBox::SetItems(const TStringList& items) {
  clear();
  for (int i = 0; i < items.Count(); ++i) {
    auto* entry = new QListWidgetItem(Utf8ToQString(items[i]), this);
    entry->setData(kEngineTextRole, QByteArray::fromStdString(items[i]));
    // Marks change only through this box's own mouse and key handling.
    entry->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    entry->setCheckState(Qt::Unchecked);
  }
}

bool TCheckListBox::Selected(int index) const {
  if (index < 0 || index >= count()) ListIndexError(index);
  return item(index)->isSelected();
}

bool TCheckListBox::Checked(int index) const {
  if (index < 0 || index >= count()) ListIndexError(index);
  return item(index)->checkState() == Qt::Checked;
}

void TCheckListBox::SetChecked(int index, bool checked) {
  if (index < 0 || index >= count()) ListIndexError(index);
  if (checked && checkKind_ == ckRadioButtons) {
    MarkOnly(index);
    return;
  }
  item(index)->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

int TCheckListBox::CheckedIndex() const {
  for (int i = 0; i < count(); ++i)
    if (item(i)->checkState() == Qt::Checked) return i;
  return -1;
}

void TCheckListBox::MarkOnly(int index) {
  for (int i = 0; i < count(); ++i)
    item(i)->setCheckState(i == index ? Qt::Checked : Qt::Unchecked);
}

void TCheckListBox::SetCheckKind(TCheckKind kind) {
  checkKind_ = kind;
  viewport()->update();
}

void TCheckListBox::SetItemHeight(int height) {
  itemHeight_ = height;
  doItemsLayout();
}

QRect TCheckListBox::CheckRect(int index) const {
  const QRect r = visualItemRect(item(index));
  return QRect(r.left(), r.top(), kMarkSize + 2 * kMarkMargin, r.height());
}

void TCheckListBox::Toggle(QListWidgetItem* target) {
  if (checkKind_ == ckRadioButtons) {
    MarkOnly(row(target));
    return;
  }
  target->setCheckState(target->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

void TCheckListBox::ClickCheck() {
  if (onClickCheck_) Guarded([this] { onClickCheck_(*this); });
}

void TCheckListBox::mousePressEvent(QMouseEvent* event) {
  QListWidget::mousePressEvent(event);
  if (event->button() != Qt::LeftButton) return;
  QListWidgetItem* hit = itemAt(event->position().toPoint());
  if (!hit) return;
  // Radio buttons are one choice, made by a click anywhere on the item.
  const bool onMark = CheckRect(row(hit)).contains(event->position().toPoint());
  if (!onMark && checkKind_ != ckRadioButtons) return;
  // The mark's item is highlighted first, so the handler sees it selected.
  setCurrentItem(hit);
  Toggle(hit);
  ClickCheck();
}

void TCheckListBox::mouseDoubleClickEvent(QMouseEvent* event) {
  // A double click on a mark counts as two clicks on it.
  QListWidgetItem* hit = itemAt(event->position().toPoint());
  if (event->button() == Qt::LeftButton && hit &&
      CheckRect(row(hit)).contains(event->position().toPoint())) {
    mousePressEvent(event);
    return;
  }
  QListWidget::mouseDoubleClickEvent(event);
}

void TCheckListBox::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Space: {
      QListWidgetItem* current = currentItem();
      if (!current || !current->isSelected()) break;
      Toggle(current);
      ClickCheck();
      return;
    }
    case Qt::Key_Plus:
    case Qt::Key_Minus: {
      // Setting or clearing every mark would break the one choice of
      // radio buttons.
      if (checkKind_ == ckRadioButtons) break;
      const Qt::CheckState state = event->key() == Qt::Key_Plus ? Qt::Checked : Qt::Unchecked;
      for (int i = 0; i < count(); ++i) item(i)->setCheckState(state);
      ClickCheck();
      return;
    }
    default:
      break;
  }
  QListWidget::keyPressEvent(event);
}
