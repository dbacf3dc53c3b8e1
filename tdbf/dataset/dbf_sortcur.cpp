#include "tdbf/dataset/dbf_sortcur.h"

#include <algorithm>

#include "tdbf/file/dbf_pgfile.h"

TSortCursor::TSortCursor(TPagedFile* file, std::vector<int32_t> order, int32_t scanned)
    : TVirtualCursor(file), order_(std::move(order)), scanned_(scanned) {
  place_.assign(static_cast<size_t>(scanned_) + 1, 0);
  for (size_t i = 0; i < order_.size(); ++i)
    place_[static_cast<size_t>(order_[i])] = static_cast<int32_t>(i + 1);
}

void TSortCursor::TakeAppended(int32_t recNo) {
  const int32_t count = std::max(File()->PageCount(), recNo);
  if (count <= scanned_) return;
  place_.resize(static_cast<size_t>(count) + 1, 0);
  for (int32_t r = scanned_ + 1; r <= count; ++r) {
    order_.push_back(r);
    place_[static_cast<size_t>(r)] = Count();
  }
  scanned_ = count;
}

int32_t TSortCursor::PhysicalPosition() {
  return position_ >= 1 && position_ <= Count() ? order_[static_cast<size_t>(position_ - 1)] : 0;
}

int32_t TSortCursor::LogicalCount() {
  TakeAppended();
  return Count();
}

void TSortCursor::SetPhysicalPosition(int32_t value) {
  if (value > scanned_) TakeAppended(value);
  position_ = value >= 1 && value <= scanned_ ? place_[static_cast<size_t>(value)] : 0;
}

void TSortCursor::SetLogicalPosition(int32_t value) {
  if (value > Count()) TakeAppended();
  position_ = std::clamp(value, 0, Count() + 1);
}

bool TSortCursor::Next() {
  // Only at the end of the list is the file asked whether it grew.
  if (position_ >= Count()) TakeAppended();
  if (position_ <= Count()) ++position_;
  return position_ <= Count();
}

bool TSortCursor::Prev() {
  if (position_ > 0) --position_;
  return position_ > 0;
}

void TSortCursor::Last() {
  TakeAppended();
  position_ = Count() + 1;
}

void TSortCursor::SeekBookmark(int32_t bookmark) {
  if (bookmark == 0x7FFFFFFF) {
    Last();
    return;
  }
  SetPhysicalPosition(bookmark);
}

void TSortCursor::RecordInserted(int32_t recNo, const char*) { SetPhysicalPosition(recNo); }
