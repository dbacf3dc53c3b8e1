// Deleted records: recalling one (the reverse of a delete, written as a
// delete is, under the record's lock), counting them, and packing the table
// to remove them for good.

#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/dbf_str.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/file/dbf_packfile.h"

namespace {

// The first byte of a record image.
constexpr uint8_t kDeletedFlag = '*';
constexpr uint8_t kLiveFlag = ' ';

}  // namespace

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

int32_t TDbf::DeletedRecordCount() {
  CheckActive();
  return CountDeletedRecords(*dbfFile_);
}

bool TDbf::EnterExclusiveFor(const char* what) {
  if (!dbfFile_->IsSharedAccess()) return false;
  dbfFile_->EnterExclusive();
  if (dbfFile_->IsSharedAccess())
    throw EDbfError(Format(kDbfOtherUserHasTable, what, ExtractFileName(FullTableName()).c_str()));
  return true;
}

int32_t TDbf::PackTable(const std::function<void(int32_t done, int32_t total)>& progress) {
  CheckActive();
  SettlePendingEdit();
  CheckWritable();
  CheckIndexesOpened();
  const bool entered = EnterExclusiveFor("pack");
  TPackResult result;
  try {
    result = PackTableFile(*dbfFile_, progress);
  } catch (...) {
    if (entered) dbfFile_->LeaveExclusive();
    throw;
  }
  // The set still reads the replaced files: it opens the table again, in
  // record order, because the indexes list the old record numbers until
  // they are rebuilt.
  const std::string index = indexName_;
  indexName_.clear();
  Close();
  Open();
  if (dbfFile_->IndexFileCount() > 0) {
    try {
      RegenerateIndexes(progress);
    } catch (const Exception& e) {
      throw EDbfError(Format(kDbfPackedIndexesStale, ExtractFileName(FullTableName()).c_str(),
                             e.Message().c_str()));
    }
  }
  SetIndexName(index);
  First();
  return result.removed;
}
