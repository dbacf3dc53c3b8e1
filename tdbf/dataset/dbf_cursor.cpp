#include "tdbf/dataset/dbf_cursor.h"

int32_t TDbfCursor::LogicalCount() { return File()->PageCount(); }

bool TDbfCursor::NextPastCounted() {
  const int32_t count = File()->PageCount();
  // A table that shrank below the position leaves the cursor after its end.
  if (physicalRecNo_ > count) {
    physicalRecNo_ = count + 1;
  } else {
    ++physicalRecNo_;
  }
  return physicalRecNo_ <= count;
}

bool TDbfCursor::Prev() {
  if (physicalRecNo_ < 1) {
    physicalRecNo_ = 0;
  } else {
    --physicalRecNo_;
  }
  return physicalRecNo_ > 0;
}

void TDbfCursor::Last() {
  const int32_t count = File()->PageCount();
  physicalRecNo_ = count == 0 ? 0 : count + 1;
}

// Other processes may have appended after the new record.
void TDbfCursor::RecordInserted(int32_t recNo, const char*) { physicalRecNo_ = recNo; }
