#include "tdbf/dbf_idxcur.h"

#include <algorithm>
#include <cmath>

#include "tdbf/dbf_idxfile.h"

namespace {
constexpr int32_t kAfterLast = 0x7FFFFFFF;
}

TIndexCursor::TIndexCursor(TIndexFile* indexFile, std::string tagName)
    : TVirtualCursor(indexFile), indexFile_(indexFile), tagName_(std::move(tagName)) {}

TIndexFile& TIndexCursor::Select() {
  if (indexFile_->IndexName() != tagName_) indexFile_->SelectIndex(tagName_);
  return *indexFile_;
}

int32_t TIndexCursor::PhysicalPosition() { return Select().CurrentRecordNo(); }

int32_t TIndexCursor::LogicalCount() { return indexFile_->DbfFile()->PageCount(); }

int32_t TIndexCursor::LogicalPosition() {
  const int32_t count = LogicalCount();
  const double fraction = Select().PositionFraction();
  return std::clamp(static_cast<int32_t>(std::lround(fraction * count)) + 1, 1, std::max(count, 1));
}

void TIndexCursor::SetPhysicalPosition(int32_t value) { Select().GotoRecord(value); }

void TIndexCursor::SetLogicalPosition(int32_t value) {
  const int32_t count = std::max(LogicalCount(), 1);
  Select().GotoFraction(static_cast<double>(value - 1) / count);
}

bool TIndexCursor::Next() { return Select().GotoNext(); }
bool TIndexCursor::Prev() { return Select().GotoPrev(); }
void TIndexCursor::First() { Select().GotoFirst(); }
void TIndexCursor::Last() { Select().GotoLast(); }
int32_t TIndexCursor::CurrentBookmark() { return Select().CurrentRecordNo(); }

void TIndexCursor::SeekBookmark(int32_t bookmark) {
  TIndexFile& file = Select();
  if (bookmark <= 0)
    file.GotoFirst();
  else if (bookmark == kAfterLast)
    file.GotoLast();
  else if (file.CurrentRecordNo() != bookmark)
    file.GotoRecord(bookmark);
}

void TIndexCursor::RecordInserted(int32_t recNo, const char*) { Select().GotoRecord(recNo); }

void TIndexCursor::RecordUpdated(int32_t recNo, const char*, const char*) {
  Select().GotoRecord(recNo);
}

void TIndexCursor::SetRange(const std::string& lowKey, const std::string& highKey) {
  Select().SetRange(lowKey, highKey);
}

void TIndexCursor::CancelRange() { Select().CancelRange(); }

bool TIndexCursor::SearchKey(const std::string& key, int mode) {
  TIndexFile& file = Select();
  std::string padded = file.KeyType() == 'C' ? file.KeyFromText(key) : key;
  padded.resize(static_cast<size_t>(file.KeyLength()), file.KeyType() == 'C' ? ' ' : '\0');
  return file.SearchKey(padded.data(), mode);
}
