#pragma once
// A list box whose items carry check marks, drawn as check boxes, radio
// buttons or plain ticks. A mark changes by a click on it (which first
// highlights the item), by Space on the highlighted item, or by + and -
// (set or clear every mark); after each such change OnClickCheck runs. A
// click on an item's text only highlights it. Radio buttons are one choice:
// exactly one item is marked once the user chose, a click anywhere on an
// item (or Space) marks it and clears the others, and + and - do nothing.
// Items are engine text.

#include <QListWidget>
#include <functional>

#include "runtime/classes.h"

enum TCheckKind { ckCheckBoxes, ckRadioButtons, ckCheckMarks };

class TCheckListBox : public QListWidget {
  Q_OBJECT

 public:
  using TNotifyEvent = std::function<void(TCheckListBox& sender)>;

  explicit TCheckListBox(QWidget* parent = nullptr);

  // The items as engine text. Setting replaces them all, without marks.
  TStringList Items() const;
  void SetItems(const TStringList& items);
  int Count() const { return count(); }

  // Whether item index is the highlighted item.
  bool Selected(int index) const;
  bool Checked(int index) const;
  void SetChecked(int index, bool checked);
  // The first marked item, -1 when none.
  int CheckedIndex() const;

  TCheckKind CheckKind() const { return checkKind_; }
  void SetCheckKind(TCheckKind kind);
  int ItemHeight() const { return itemHeight_; }
  void SetItemHeight(int height);

  const TNotifyEvent& OnClickCheck() const { return onClickCheck_; }
  void SetOnClickCheck(TNotifyEvent handler) { onClickCheck_ = std::move(handler); }

  // The area of an item's mark, in viewport coordinates.
  QRect CheckRect(int index) const;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void ClickCheck();
  // What a click on the mark or Space does to item target.
  void Toggle(QListWidgetItem* target);
  void MarkOnly(int index);

  TCheckKind checkKind_ = ckCheckBoxes;
  int itemHeight_ = 16;
  TNotifyEvent onClickCheck_;
};
