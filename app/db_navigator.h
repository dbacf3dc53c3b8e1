#pragma once
// TDBNavigator: a bar of ten buttons that move through a record set and
// edit it (first, prior, next, last, insert, delete, edit, post, cancel,
// refresh). It reaches the record set through its own data link on a data
// source, enables its buttons from the record set's position and state on
// each notification, and asks "Delete record?" before deleting. The bar
// is one tab stop: Left and Right move the focus between its buttons and
// Space presses the focused one. A mouse click on a button does not take
// the keyboard focus.

#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "runtime/classes.h"

class QAbstractButton;
class TDataSource;
class TNavButton;

enum TNavigateBtn {
  nbFirst,
  nbPrior,
  nbNext,
  nbLast,
  nbInsert,
  nbDelete,
  nbEdit,
  nbPost,
  nbCancel,
  nbRefresh,
};
constexpr int kNavigateBtnCount = 10;

// A set of TNavigateBtn: bit n for button n.
using TNavButtonSet = uint16_t;
constexpr TNavButtonSet NavBtn(TNavigateBtn button) {
  return static_cast<TNavButtonSet>(1u << button);
}
constexpr TNavButtonSet kAllNavButtons = (1u << kNavigateBtnCount) - 1;

class TDBNavigator : public QWidget {
  Q_OBJECT

 public:
  using TNavClickEvent = std::function<void(TDBNavigator& sender, TNavigateBtn button)>;

  explicit TDBNavigator(QWidget* parent = nullptr);
  ~TDBNavigator() override;

  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* source);

  TNavButtonSet VisibleButtons() const { return visibleButtons_; }
  void SetVisibleButtons(TNavButtonSet buttons);
  bool ConfirmDelete() const { return confirmDelete_; }
  void SetConfirmDelete(bool value) { confirmDelete_ = value; }
  // Replaces the default hints line by line where a line is not empty.
  const TStringList& Hints() const { return hints_; }
  void SetHints(const TStringList& hints);

  void SetBeforeAction(TNavClickEvent handler) { beforeAction_ = std::move(handler); }
  void SetOnClick(TNavClickEvent handler) { onClick_ = std::move(handler); }

  // Runs a button's operation as a click on it does.
  void BtnClick(TNavigateBtn button);

  QAbstractButton* Button(TNavigateBtn button) const;
  // The button that has the bar's keyboard focus.
  TNavigateBtn FocusedButton() const { return focusedButton_; }

  static const char* DefaultHint(TNavigateBtn button);
  // Name of the button's glyph: "dbn_" and the button's word.
  static const char* GlyphName(TNavigateBtn button);

  // Called by the bar's data link.
  void DataChanged();
  void EditingChanged();
  void ActiveChanged();

  QSize sizeHint() const override { return QSize(241, 25); }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  class TNavDataLink;

  void LayoutButtons();
  void ApplyHints();
  void SetButtonEnabled(TNavigateBtn button, bool enabled);
  void MoveFocus(int step);

  std::unique_ptr<TNavDataLink> link_;
  std::array<TNavButton*, kNavigateBtnCount> buttons_{};
  TNavButtonSet visibleButtons_ = kAllNavButtons;
  bool confirmDelete_ = true;
  TStringList hints_;
  TNavigateBtn focusedButton_ = nbFirst;
  TNavClickEvent beforeAction_;
  TNavClickEvent onClick_;
};
