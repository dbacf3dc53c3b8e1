// Recalling a deleted record: the reverse of a delete, written as a delete
// is, under the record's lock.

#include "tdbf/dataset/dbf.h"

bool TDbf::CurrentDeleted() {
  if (!Active() || IsEmpty() || ActiveBuffer() == nullptr) return false;
  return static_cast<uint8_t>(RecordImage(ActiveBuffer())[0]) == kDeletedFlag;
}

void TDbf::Undelete() {
  CheckActive();
  SettlePendingEdit();
  if (!CurrentDeleted()) return;
  // Edit locks the record and reads it again: another program may have
  // recalled it meanwhile, and then there is nothing to write.
  Edit();
  char* image = RecordImage(ActiveBuffer());
  if (static_cast<uint8_t>(image[0]) != kDeletedFlag) {
    Cancel();
    return;
  }
  image[0] = static_cast<char>(kLiveFlag);
  Post();
}
