// Finding the next or previous record for which a condition holds: the
// condition compiles as a filter does, and the walk fetches records as the
// filtered set fetches them, so that what is skipped is exactly what the
// set does not show.

#include <memory>
#include <string>

#include "runtime/exceptions.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/dataset/dbf_cursor.h"
#include "tdbf/expr/dbf_parser.h"

bool TDbf::FindRecord(const std::string& condition, bool forward) {
  CheckActive();
  TDbfParser parser(dbfFile_.get());
  parser.ParseFilter(ExpressionText(condition));
  SettlePendingEdit();
  const std::string bookmark = Bookmark();
  // The walk moves the cursor only; the rows shown stay as they are until
  // a record is found.
  std::unique_ptr<char[]> scratch = NewRecordBuffer();
  auto walk = [&] {
    if (!bookmark.empty())
      CursorToBookmark(bookmark.data());
    else if (forward)
      CursorToStart();
    else
      CursorToEnd();
    while (FetchRecord(scratch.get(), forward ? fcNext : fcPrior, false) == frOK) {
      if (parser.EvaluateRecord(RecordImage(scratch.get()), cursor_->PhysicalPosition())[0] != 0)
        return true;
    }
    return false;
  };
  CursorMoved();
  bool found = false;
  try {
    found = walk();
  } catch (...) {
    CursorMoved();
    throw;
  }
  if (!found) {
    // The cursor stands past the end; the ring still shows the record the
    // user is on.
    CursorMoved();
    return false;
  }
  DoBeforeScroll();
  CursorToBookmark(scratch.get());
  RefillBuffers(rmExact | rmCenter);
  DoAfterScroll();
  return true;
}
