// The grid's painting: cells, titles, the indicator column and the lines
// between them, drawn for the columns in view only.

#include "app/db_grid.h"

#include <QFontMetrics>
#include <QPainter>
#include <QScrollBar>

#include "app/db_grid_parts.h"
#include "app/qt_text.h"
#include "recordset/dataset.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"

namespace {

// Padding left and right of a cell's text.
constexpr int kCellPadding = 2;
const QColor kGridLineColor(192, 192, 192);
const QColor kMarkedInk(128, 128, 128);

}  // namespace

QString TDBGrid::FittedCellText(int row, int column) const {
  const QString text = Utf8ToQString(CellText(row, column));
  if (column < 0 || column >= ColumnCount()) return text;
  const QFontMetrics metrics(font());
  const int room = columns_[column].width - 2 * kCellPadding;
  if (metrics.horizontalAdvance(text) <= room) return text;
  if (dynamic_cast<const TNumericField*>(columns_[column].field) == nullptr)
    return metrics.elidedText(text, Qt::ElideRight, room);
  const int marks = qMax(1, room / qMax(1, metrics.horizontalAdvance(QLatin1Char('#'))));
  return QString(marks, QLatin1Char('#'));
}

void TDBGrid::scrollContentsBy(int, int) {
  PlaceEditor();
  viewport()->update();
}

void TDBGrid::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateRowCount();
  PlaceEditor();
}

bool TDBGrid::RowMarked(int row) const {
  if (!onRowMarked_ || row < 0 || row >= link_->RecordCount()) return false;
  const int saved = link_->ActiveRecord();
  link_->SetActiveRecord(row);
  bool marked = false;
  try {
    marked = onRowMarked_();
  } catch (const Exception&) {
    // A row that cannot be told is painted unmarked.
  }
  link_->SetActiveRecord(saved);
  return marked;
}

void TDBGrid::DrawIndicator(QPainter& painter, const QRect& cell, TGridIndicator indicator) const {
  if (indicator == giNone) return;
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  const QPointF c = QRectF(cell).center();
  painter.setPen(QPen(QColor(0, 0, 0), 1));
  painter.setBrush(QColor(0, 0, 0));
  switch (indicator) {
    case giBrowse:
      painter.drawPolygon(QPolygonF({QPointF(c.x() - 2, c.y() - 4), QPointF(c.x() + 2, c.y()),
                                     QPointF(c.x() - 2, c.y() + 4)}));
      break;
    case giEdit:
      painter.drawLine(QPointF(c.x(), c.y() - 4), QPointF(c.x(), c.y() + 4));
      painter.drawLine(QPointF(c.x() - 2, c.y() - 4), QPointF(c.x() + 2, c.y() - 4));
      painter.drawLine(QPointF(c.x() - 2, c.y() + 4), QPointF(c.x() + 2, c.y() + 4));
      break;
    case giInsert:
      painter.drawLine(QPointF(c.x() - 3, c.y()), QPointF(c.x() + 3, c.y()));
      painter.drawLine(QPointF(c.x() - 2, c.y() - 3), QPointF(c.x() + 2, c.y() + 3));
      painter.drawLine(QPointF(c.x() + 2, c.y() - 3), QPointF(c.x() - 2, c.y() + 3));
      break;
    case giNone:
      break;
  }
  painter.restore();
}

void TDBGrid::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const QPalette& pal = palette();
  painter.fillRect(viewport()->rect(), pal.color(QPalette::Base));
  const QColor fixedColor = pal.color(QPalette::Button);
  const int rows = link_->Active() ? link_->RecordCount() : 0;
  const int width = viewport()->width();
  // The columns in view, found in one pass so that a table of thousands
  // of fields paints as fast as a narrow one.
  std::vector<int> lefts(columns_.size());
  int firstShown = ColumnCount();
  int lastShown = -1;
  int dataRight = ColumnLeft(0);
  for (int column = 0; column < ColumnCount(); ++column) {
    lefts[column] = dataRight;
    dataRight += columns_[column].width;
    if (dataRight > DataLeft() && lefts[column] <= width) {
      firstShown = qMin(firstShown, column);
      lastShown = column;
    }
  }
  const bool showSelection =
      hasFocus() || editor_->hasFocus() || (options_ & GridOpt(dgAlwaysShowSelection));

  // Cells, clipped to the right of the indicator column.
  painter.save();
  painter.setClipRect(QRect(DataLeft(), 0, width - DataLeft(), viewport()->height()));
  for (int row = -1; row < rows; ++row) {
    if (row < 0 && !(options_ & GridOpt(dgTitles))) continue;
    const int top = row < 0 ? 0 : TitleHeight() + row * RowHeight();
    const int height = row < 0 ? TitleHeight() : RowHeight();
    const bool marked = row >= 0 && RowMarked(row);
    QFont cellFont = font();
    cellFont.setStrikeOut(marked);
    for (int column = firstShown; column <= lastShown; ++column) {
      const QRect cell(lefts[column], top, columns_[column].width, height);
      QColor ink = fontColor_;
      if (row < 0) {
        painter.fillRect(cell, fixedColor);
        painter.setFont(titleFont_);
        ink = titleFontColor_;
      } else {
        // A marked record (a deleted one shown) is struck through in grey.
        painter.setFont(cellFont);
        if (marked) ink = kMarkedInk;
        const bool current = row == link_->ActiveRecord() &&
                             (column == selectedIndex_ || (options_ & GridOpt(dgRowSelect)));
        if (current && showSelection) {
          painter.fillRect(cell, pal.color(QPalette::Highlight));
          ink = pal.color(QPalette::HighlightedText);
        }
      }
      const QString text =
          row < 0 ? Utf8ToQString(columns_[column].title) : FittedCellText(row, column);
      Qt::Alignment align = Qt::AlignLeft;
      if (row >= 0 && columns_[column].field->Alignment() == taRightJustify) align = Qt::AlignRight;
      if (row >= 0 && columns_[column].field->Alignment() == taCenter) align = Qt::AlignHCenter;
      painter.setPen(ink);
      QRect textCell = cell.adjusted(kCellPadding, 0, -kCellPadding, 0);
      // The title of the column the records are ordered by ends in an arrow.
      if (row < 0 && column == sortColumn_) {
        const QString arrow = sortDescending_ ? QStringLiteral("\u25BC") : QStringLiteral("\u25B2");
        painter.drawText(textCell, Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine, arrow);
        textCell.setRight(textCell.right() - painter.fontMetrics().horizontalAdvance(arrow) - 2);
      }
      painter.drawText(textCell, align | Qt::AlignVCenter | Qt::TextSingleLine, text);
    }
  }
  painter.restore();

  // The indicator column.
  if (options_ & GridOpt(dgIndicator)) {
    for (int row = -1; row < rows; ++row) {
      if (row < 0 && !(options_ & GridOpt(dgTitles))) continue;
      const QRect cell = CellRect(row, -1);
      painter.fillRect(cell, fixedColor);
      if (row >= 0) DrawIndicator(painter, cell, RowIndicator(row));
    }
  }

  // Lines between cells, and the edges of the fixed cells.
  const int bottom = TitleHeight() + rows * RowHeight();
  painter.setPen(kGridLineColor);
  if (options_ & GridOpt(dgColLines)) {
    if (DataLeft() > 0) painter.drawLine(DataLeft() - 1, 0, DataLeft() - 1, bottom - 1);
    for (int column = firstShown; column <= lastShown; ++column) {
      const int x = lefts[column] + columns_[column].width - 1;
      if (x >= DataLeft()) painter.drawLine(x, 0, x, bottom - 1);
    }
  }
  if (options_ & GridOpt(dgRowLines)) {
    for (int row = (options_ & GridOpt(dgTitles)) ? -1 : 0; row < rows; ++row) {
      const int y = CellRect(row, -1).bottom();
      painter.drawLine(0, y, qMin(dataRight, width) - 1, y);
    }
  }
  if (options_ & GridOpt(dgTitles)) {
    painter.setPen(pal.color(QPalette::Dark));
    painter.drawLine(0, TitleHeight() - 1, qMin(dataRight, width) - 1, TitleHeight() - 1);
  }
}
