#include "tdbf/file/dbf_pgfile.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/env.h"
#include "runtime/exceptions.h"
#include "tdbf/dbf_str.h"

namespace {

// The byte that page 0 locks with virtual locks; page n locks the byte n
// below it.
constexpr int64_t kVirtualLockBase = 0xEFFFFFFE;

// Pauses between attempts (milliseconds).
constexpr uint32_t kLockRetryPause = 10;
constexpr uint32_t kReadRetryPause = 1;

// Sizes are kept in 32 bits; larger files are seen as 2 GiB - 1 bytes long.
int32_t ClampSize(int64_t size) {
  return static_cast<int32_t>(std::clamp<int64_t>(size, 0, std::numeric_limits<int32_t>::max()));
}

platform::TFileOpenMode OpenModeFor(TFileAccessMode mode) {
  switch (mode) {
    case amExclusiveCreate:
    case amExclusiveOpen:
      return platform::fmReadWriteDenyWrite;
    case amSharedCreate:
    case amSharedOpen:
      return platform::fmReadWriteShared;
    default:
      return platform::fmReadOnlyShared;
  }
}

}  // namespace

TPagedFile::TPagedFile(std::string fileName)
    : fileName_(std::move(fileName)), env_(platform::TEnv::Default()) {}

TPagedFile::~TPagedFile() { TPagedFile::CloseFile(); }

// ---- Opening and closing ------------------------------------------------------

void TPagedFile::OpenFile() {
  platform::TOsStatus refusal;
  readOnlyFallbackReason_.clear();
  if (TryOpenFile(refusal)) return;
  // A file the user may not write (its permissions, a read-only file
  // system) is opened for reading when the caller allows it.
  if (readOnlyFallback_ && refusal.Code() == platform::kErrorAccessDenied && !IsCreateMode() &&
      mode_ != amReadOnly) {
    const TFileAccessMode wanted = mode_;
    mode_ = amReadOnly;
    platform::TOsStatus second;
    if (TryOpenFile(second)) {
      readOnlyFallbackReason_ = refusal.Message();
      return;
    }
    mode_ = wanted;
  }
  throw EStreamError(Format(kCannotOpenFile, fileName_.c_str(), refusal.Message().c_str()));
}

bool TPagedFile::TryOpenFile(platform::TOsStatus& refusal) {
  if (file_) return true;
  if (mode_ == amMemory) {
    file_ = platform::NewMemoryFile();
  } else {
    if (!env_->FileExists(fileName_)) {
      if (autoCreate_) {
        if (mode_ == amExclusiveOpen) {
          mode_ = amExclusiveCreate;
        } else if (mode_ == amSharedOpen || mode_ == amReadOnly) {
          mode_ = amSharedCreate;
        }
      }
      if (!IsCreateMode()) throw Exception(Format(kFileNotFound, fileName_.c_str()));
      refusal = env_->CreateFile(fileName_);
      if (!refusal.IsOk()) return false;
    }
    std::unique_ptr<platform::TFile> file;
    refusal = env_->OpenFile(fileName_, OpenModeFor(mode_), file);
    if (!refusal.IsOk()) return false;
    // A file that cannot be emptied stays as it is: writes are not checked.
    if (IsCreateMode()) file->SetSize(0);
    file_ = std::move(file);
  }
  int64_t size = 0;
  file_->Size(size);
  cachedSize_ = ClampSize(size);
  needRecount_ = true;
  needLocks_ = IsSharedAccess();
  position_ = 0;
  return true;
}

void TPagedFile::CloseFile() {
  if (!file_) return;
  FlushHeader();
  file_.reset();
}

void TPagedFile::DeleteFile() {
  if (file_) return;
  env_->DeleteFile(fileName_);
}

bool TPagedFile::IsCreateMode() const {
  return mode_ == amMemory || mode_ == amExclusiveCreate || mode_ == amSharedCreate;
}

bool TPagedFile::IsSharedAccess() const {
  return mode_ == amSharedCreate || mode_ == amSharedOpen || mode_ == amReadOnly;
}

void TPagedFile::CheckExclusiveAccess() const {
  if (IsSharedAccess()) throw EDbfError(kExclusiveAccessRequired);
}

void TPagedFile::EnterExclusive() {
  if (hasSavedMode_ || !IsSharedAccess()) return;
  savedMode_ = mode_ == amReadOnly ? amReadOnly : amSharedOpen;
  hasSavedMode_ = true;
  TPagedFile::CloseFile();
  mode_ = amExclusiveOpen;
  platform::TOsStatus refusal;
  // Another user has the file open: go on sharing it.
  if (!TryOpenFile(refusal)) LeaveExclusive();
}

void TPagedFile::LeaveExclusive() {
  if (!hasSavedMode_) return;
  TPagedFile::CloseFile();
  mode_ = savedMode_;
  hasSavedMode_ = false;
  OpenFile();
}

// ---- Geometry -----------------------------------------------------------------

void TPagedFile::SetHeaderOffset(int32_t value) {
  FlushHeader();
  headerOffset_ = value;
  needRecount_ = true;
}

void TPagedFile::SetRecordSize(int32_t value) {
  recordSize_ = value;
  pageSize_ = value;
  needRecount_ = true;
  RecomputePagesPerRecord();
}

void TPagedFile::SetHeaderSize(int32_t value) {
  value = std::max(value, 0);
  if (value == headerSize_) return;
  FlushHeader();
  headerSize_ = value;
  header_.assign(static_cast<size_t>(value), 0);
  needRecount_ = true;
  ReadHeader();
}

void TPagedFile::SetPageOffsetByHeader(bool value) {
  pageOffsetByHeader_ = value;
  needRecount_ = true;
}

void TPagedFile::SetPageSize(int32_t value) {
  pageSize_ = value;
  needRecount_ = true;
  RecomputePagesPerRecord();
}

void TPagedFile::RecomputePagesPerRecord() {
  pagesPerRecord_ = pageSize_ == 0 ? 0 : recordSize_ / pageSize_;
}

int64_t TPagedFile::PageOffset(int32_t page) const {
  if (!pageOffsetByHeader_) return int64_t{page} * pageSize_;
  if (page == 0) return 0;
  return int64_t{headerOffset_} + headerSize_ + (int64_t{page} - 1) * pageSize_;
}

int32_t TPagedFile::PageCount() {
  if (!file_) return 0;
  if (IsSharedAccess()) {
    int64_t size = 0;
    if (file_->Size(size).IsOk() && ClampSize(size) != cachedSize_) {
      cachedSize_ = ClampSize(size);
      needRecount_ = true;
    } else if (pageCount_ < wholePages_) {
      needRecount_ = true;
    }
  }
  return KnownPageCount();
}

int32_t TPagedFile::RecountKnownPages() {
  if (!file_) return 0;
  if (needRecount_) {
    int64_t pagesBytes = cachedSize_;
    if (pageOffsetByHeader_) pagesBytes -= int64_t{headerSize_} + headerOffset_;
    wholePages_ =
        pageSize_ <= 0 || pagesBytes <= 0 ? 0 : static_cast<int32_t>(pagesBytes / pageSize_);
    needRecount_ = false;
    pageCount_ = CountPages(wholePages_);
  }
  return pageCount_;
}

void TPagedFile::SetPageCount(int32_t value) {
  value = std::max(value, 0);
  if (value == PageCount()) return;
  int64_t size = int64_t{value} * pageSize_;
  if (pageOffsetByHeader_) size += int64_t{headerSize_} + headerOffset_;
  cachedSize_ = ClampSize(size);
  pageCount_ = wholePages_ = value;
  needRecount_ = false;
  if (file_) file_->SetSize(cachedSize_);
}

// ---- Pages and bytes ----------------------------------------------------------

int32_t TPagedFile::ReadPage(int32_t page, void* buffer) {
  const int64_t offset = PageOffset(page);
  const int32_t bytesRead = ReadWithRetry(offset, buffer, recordSize_);
  position_ = offset + bytesRead;
  return bytesRead;
}

void TPagedFile::WritePage(int32_t page, const void* buffer) {
  const int64_t offset = PageOffset(page);
  position_ = offset + WriteRaw(offset, buffer, recordSize_);
  // Counted again from the size now known, without asking the file: a page
  // written past the end, or over bytes that were no page yet (a partial
  // record, a slot after the end-of-file byte), is a page now.
  GrowCachedSize(position_);
  if (page > pageCount_) needRecount_ = true;
}

int32_t TPagedFile::ReadAt(void* buffer, int32_t length, int64_t offset) {
  const int32_t bytesRead = ReadWithRetry(offset, buffer, length);
  position_ = offset + bytesRead;
  return bytesRead;
}

int32_t TPagedFile::ReadPageFirstBytes(int32_t first, int32_t count, uint8_t* out) {
  if (!file_ || count <= 0 || first < 1 || RecordSize() <= 0) return 0;
  for (;;) {
    int64_t bytesRead = 0;
    const platform::TOsStatus status =
        file_->ReadEvery(PageOffset(first), RecordSize(), count, out, bytesRead);
    // A range another process holds locked reads as nothing for a moment.
    if (bytesRead == 0 && status.IsLockViolation()) {
      env_->Sleep(kReadRetryPause);
      continue;
    }
    return static_cast<int32_t>(bytesRead);
  }
}

void TPagedFile::WriteAt(const void* buffer, int32_t length, int64_t offset) {
  position_ = offset + WriteRaw(offset, buffer, length);
  GrowCachedSize(position_);
}

int TPagedFile::ReadChar() {
  uint8_t value = 0;
  if (ReadWithRetry(position_, &value, 1) != 1) return -1;
  ++position_;
  return value;
}

void TPagedFile::WriteChar(uint8_t value) {
  position_ += WriteRaw(position_, &value, 1);
  GrowCachedSize(position_);
}

int32_t TPagedFile::ReadWithRetry(int64_t offset, void* buffer, int32_t length) {
  if (!file_ || length <= 0 || offset < 0) return 0;
  for (;;) {
    int64_t bytesRead = 0;
    const platform::TOsStatus status = file_->ReadAt(offset, buffer, length, bytesRead);
    // A range another process holds locked reads as nothing for a moment.
    if (bytesRead == 0 && status.IsLockViolation()) {
      env_->Sleep(kReadRetryPause);
      continue;
    }
    return static_cast<int32_t>(bytesRead);
  }
}

int32_t TPagedFile::WriteRaw(int64_t offset, const void* buffer, int32_t length) {
  if (!file_ || length <= 0 || offset < 0) return 0;
  int64_t bytesWritten = 0;
  // Writes are not checked: a short write (a read-only file) is ignored.
  file_->WriteAt(offset, buffer, length, bytesWritten);
  return static_cast<int32_t>(bytesWritten);
}

void TPagedFile::GrowCachedSize(int64_t offset) {
  if (offset <= cachedSize_) return;
  cachedSize_ = ClampSize(offset);
  needRecount_ = true;
}

// ---- Header -------------------------------------------------------------------

void TPagedFile::ReadHeader() {
  FlushHeader();
  if (headerSize_ == 0) return;
  int64_t available = 0;
  if (file_) {
    int64_t size = 0;
    file_->Size(size);
    available = std::max<int64_t>(size - headerOffset_, 0);
  }
  const auto wanted = static_cast<int32_t>(std::min<int64_t>(available, headerSize_));
  const int32_t bytesRead = ReadWithRetry(headerOffset_, header_.data(), wanted);
  std::fill(header_.begin() + bytesRead, header_.end(), 0);
}

void TPagedFile::WriteHeader() {
  headerModified_ = true;
  // Other users must see a shared file's header at once.
  if (IsSharedAccess()) FlushHeader();
}

void TPagedFile::FlushHeader() {
  if (!headerModified_ || !file_) return;
  WriteRaw(headerOffset_, header_.data(), headerSize_);
  GrowCachedSize(int64_t{headerOffset_} + headerSize_);
  headerModified_ = false;
}

void TPagedFile::Flush() {}

// ---- Locks --------------------------------------------------------------------

void TPagedFile::LockRange(int32_t page, uint64_t& offset, uint64_t& length) const {
  if (virtualLocks_) {
    offset = static_cast<uint64_t>(int64_t{kVirtualLockBase} - page);
    length = 1;
  } else {
    offset = static_cast<uint64_t>(std::max<int64_t>(PageOffset(page), 0));
    length = static_cast<uint64_t>(std::max(recordSize_, 0));
  }
}

bool TPagedFile::LockPage(int32_t page, bool wait) {
  if (!needLocks_) return true;
  if (!file_) return false;
  uint64_t offset = 0;
  uint64_t length = 0;
  LockRange(page, offset, length);
  for (;;) {
    const platform::TOsStatus status = file_->Lock(offset, length);
    if (status.IsOk()) return true;
    if (!wait || !status.IsLockViolation()) return false;
    env_->Sleep(kLockRetryPause);
  }
}

void TPagedFile::UnlockPage(int32_t page) {
  if (!needLocks_ || !file_) return;
  uint64_t offset = 0;
  uint64_t length = 0;
  LockRange(page, offset, length);
  file_->Unlock(offset, length);
}
