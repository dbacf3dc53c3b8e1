#pragma once
// TDBGrid: a data-aware grid. Its data link sees a window of the record
// set's ring as tall as the grid's visible rows, so the grid shows exactly
// the records the ring holds and scrolls by moving the record set. Rows:
// one title row, then one row per record of the window; columns: the
// indicator (arrow in browse, I-beam in edit, star in insert state), then
// one per visible field. Keys, clicks and the cell editor turn into
// record-set calls; the grid redraws on the link's notifications.
// Sources by job: db_grid.cpp (the link, rows and scrolling, mouse and
// focus), db_grid_columns.cpp (column layout), db_grid_paint.cpp
// (painting), db_grid_keys.cpp (key handling), db_grid_editor.cpp (the cell
// editor and the memo window).

#include <QAbstractScrollArea>
#include <QColor>
#include <QFont>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TDataSet;
class TDataSource;
class TField;
class TInplaceEdit;

enum TDBGridOption {
  dgEditing,
  dgAlwaysShowEditor,
  dgTitles,
  dgIndicator,
  dgColumnResize,
  dgColLines,
  dgRowLines,
  dgTabs,
  dgRowSelect,
  dgAlwaysShowSelection,
  dgConfirmDelete,
  dgCancelOnExit,
};
using TDBGridOptions = uint16_t;
constexpr TDBGridOptions GridOpt(TDBGridOption option) {
  return static_cast<TDBGridOptions>(1u << option);
}
constexpr TDBGridOptions kDefaultGridOptions =
    GridOpt(dgEditing) | GridOpt(dgTitles) | GridOpt(dgIndicator) | GridOpt(dgColumnResize) |
    GridOpt(dgColLines) | GridOpt(dgRowLines) | GridOpt(dgTabs) | GridOpt(dgConfirmDelete) |
    GridOpt(dgCancelOnExit);

// The marker the indicator column shows in a row.
enum TGridIndicator { giNone, giBrowse, giEdit, giInsert };

class TDBGrid : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit TDBGrid(QWidget* parent = nullptr);
  ~TDBGrid() override;

  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* source);
  TDBGridOptions Options() const { return options_; }
  void SetOptions(TDBGridOptions options);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value) { readOnly_ = value; }

  // Cells use font() and FontColor(); titles their own font and colour.
  QColor FontColor() const { return fontColor_; }
  void SetFontColor(const QColor& color);
  const QFont& TitleFont() const { return titleFont_; }
  void SetTitleFont(const QFont& font);
  QColor TitleFontColor() const { return titleFontColor_; }
  void SetTitleFontColor(const QColor& color);

  // ---- Columns (built from the record set's visible fields) ----
  int ColumnCount() const { return static_cast<int>(columns_.size()); }
  TField* ColumnField(int column) const;
  const std::string& ColumnTitle(int column) const;
  int ColumnWidth(int column) const;
  void SetColumnWidth(int column, int width);
  // Fits the columns to the rows on screen: text columns as wide as their
  // widest value (within their field's width), others at least as wide as
  // theirs. Done when the record set opens or its fields change.
  void FitColumns();
  // Asked for each row painted, with the row's record the active one:
  // true shows the row struck through (the window marks deleted records).
  void SetOnRowMarked(std::function<bool()> handler) { onRowMarked_ = std::move(handler); }
  bool RowMarked(int row) const;
  // Told of a click on a column's title (not on its resize edge).
  void SetOnTitleClicked(std::function<void(int column)> handler) {
    onTitleClicked_ = std::move(handler);
  }
  // The column whose title shows the order's arrow (up ascending, down
  // descending); -1 for none. Cleared when the columns are rebuilt.
  void SetSortIndicator(int column, bool descending);
  int SortIndicatorColumn() const { return sortColumn_; }
  bool SortIndicatorDescending() const { return sortDescending_; }
  bool ColumnReadOnly(int column) const;
  void SetColumnReadOnly(int column, bool value);
  // The current column and its field.
  int SelectedIndex() const { return selectedIndex_; }
  void SetSelectedIndex(int column);
  TField* SelectedField() const;

  // ---- Rows ----
  // Data rows that fit fully below the title row (at least 1).
  int VisibleRowCount() const;
  int RowHeight() const;
  int TitleHeight() const;
  int IndicatorWidth() const;
  // What the grid draws: a cell's text (row: 0-based data row of the
  // window) and a row's indicator.
  std::string CellText(int row, int column) const;
  // The text a cell shows in its column's width: a number too wide for it
  // as "#" marks, never with digits cut off, other text ended with "…".
  QString FittedCellText(int row, int column) const;
  TGridIndicator RowIndicator(int row) const;
  // A cell's rectangle in viewport coordinates; row -1 is the title row,
  // column -1 the indicator column.
  QRect CellRect(int row, int column) const;

  // ---- The cell editor ----
  bool EditorMode() const;
  void SetEditorMode(bool value);
  QWidget* InplaceEditor() const;
  // The edit text and whether the user changed it since it was loaded.
  QString EditText() const;
  bool EditChanged() const { return editChanged_; }

  // ---- Called by the grid's data link and editor ----
  void LinkActiveChanged();
  void LinkDataSetChanged();
  void LinkEditingChanged();
  void LinkLayoutChanged();
  void LinkRecordChanged(TField* field);
  void LinkUpdateData();
  bool LinkFocusControl(TField* field);
  // Whether the current cell may be changed; if so the record set is put
  // into edit state and the edit text marked changed.
  bool CanEditModify();
  // Whether the current cell accepts a typed character.
  bool CanEditAcceptKey(const QString& text) const;
  void EditorTextEdited();
  // Opens the current memo cell in the memo window (read-only where the
  // cell cannot be changed); a changed text is posted.
  void EditMemo();
  // Scrolls the rows in view by rows (down when positive), keeping the
  // current row's place on screen.
  void ScrollView(int rows);
  // Keys that the editor hands back to the grid.
  void GridKey(QKeyEvent* event);
  void EditorFocusOut(QFocusEvent* event);

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;

 private:
  class TGridDataLink;
  struct TColumn {
    TField* field;
    std::string title;
    int width;
    bool readOnly;
  };

  TDataSet* ActiveSet() const;
  void BuildColumns();
  int DefaultColumnWidth(TField* field, const std::string& title) const;
  int ColumnLeft(int column) const;
  int DataLeft() const;
  void UpdateRowCount();
  void UpdateScrollBars();
  void ScrollAction(int action);
  void JumpToScrollPosition(int position);
  void MakeColumnVisible(int column);
  bool CanAppend() const;
  bool IsMemoColumn(int column) const;
  bool UntouchedInsert() const;
  void HandleKey(QKeyEvent* event);
  void MoveDown();
  void MoveUp();
  void TabMove(bool forward);
  void EscapeKey();
  void EnterKey();
  void DeleteKey();
  void TypeKey(QKeyEvent* event);
  void ShowEditor();
  void HideEditor();
  void LoadEditorText();
  void PlaceEditor();
  void WriteEditText();
  void LeaveGrid();
  bool LeavesGrid(QFocusEvent* event) const;
  bool IsInside(const QWidget* widget) const;
  void ClickCell(const QPoint& pos, bool doubleClick);
  int ColumnAt(int x) const;
  int ResizeEdgeAt(const QPoint& pos) const;
  void DrawIndicator(QPainter& painter, const QRect& cell, TGridIndicator indicator) const;

  std::unique_ptr<TGridDataLink> link_;
  TInplaceEdit* editor_;
  std::vector<TColumn> columns_;
  std::function<bool()> onRowMarked_;
  std::function<void(int column)> onTitleClicked_;
  int sortColumn_ = -1;
  bool sortDescending_ = false;
  TDBGridOptions options_ = kDefaultGridOptions;
  bool readOnly_ = false;
  int selectedIndex_ = 0;
  bool editChanged_ = false;
  bool sequenced_ = false;
  bool leaving_ = false;
  int resizingColumn_ = -1;
  // Wheel movement not yet a whole notch, in eighths of a degree.
  int wheelRemainder_ = 0;
  QColor fontColor_;
  QFont titleFont_;
  QColor titleFontColor_;
};
