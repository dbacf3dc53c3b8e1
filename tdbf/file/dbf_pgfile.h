#pragma once
// TPagedFile is the base of every engine file (table, memo, index): a header
// region held in memory, numbered fixed-size pages after it, access modes
// with creation and sharing rules, a temporary switch to exclusive access and
// byte-range page locks with waits. It owns its open file and header buffer.
// One thread uses an object at a time.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {
class TEnv;
class TFile;
class TOsStatus;
}  // namespace platform

// How an engine file is opened.
//   mode               creates  shared  opened as
//   amMemory           yes      no      a new file in memory
//   amExclusiveCreate  yes      no      read-write, others denied writing
//   amExclusiveOpen    no       no      read-write, others denied writing
//   amSharedCreate     yes      yes     read-write, others allowed everything
//   amSharedOpen       no       yes     read-write, others allowed everything
//   amReadOnly         no       yes     read-only, others allowed everything
enum TFileAccessMode {
  amMemory,
  amExclusiveCreate,
  amExclusiveOpen,
  amSharedCreate,
  amSharedOpen,
  amReadOnly
};

// Page addressing (offsets in bytes, pages numbered from 0):
//   PageOffsetByHeader  page 0 is the header (offset 0); page n >= 1 starts at
//                       HeaderOffset + HeaderSize + (n - 1) * PageSize.
//   otherwise           page n starts at n * PageSize.
// Reading or writing a page transfers RecordSize bytes from its start.
//
// Page locks (only in shared modes):
//   VirtualLocks  page n locks the 1 byte at 0xEFFFFFFE - n, far beyond any
//                 data, so locked pages stay readable;
//   otherwise     page n locks RecordSize bytes at PageOffset(n).
//
// States: closed (no file) -> open -> closed. During an exclusive phase the
// mode is amExclusiveOpen and the mode to return to is saved:
//   shared open --EnterExclusive--> exclusive --LeaveExclusive--> shared open
class TPagedFile {
 public:
  explicit TPagedFile(std::string fileName);
  TPagedFile(const TPagedFile&) = delete;
  TPagedFile& operator=(const TPagedFile&) = delete;
  // Closes the file (writing a modified header). A subclass that replaces
  // CloseFile or WriteHeader closes the file in its own destructor.
  virtual ~TPagedFile();

  // ---- Opening and closing ----

  // Opens the file in Mode(); nothing when already open. A missing file is
  // created in a creating mode (or with AutoCreate); otherwise Exception
  // "Open: file not found: \"%s\".". A share conflict or missing rights raise
  // EStreamError naming the file.
  // With ReadOnlyFallback, a writing mode the platform refuses for want of
  // rights opens the file read-only instead (Mode() becomes amReadOnly and
  // ReadOnlyFallbackReason() gives the platform's reason).
  void OpenFile();
  // Writes a modified header and closes; nothing when closed.
  virtual void CloseFile();
  // Deletes the file by name; only while closed (nothing otherwise).
  void DeleteFile();
  bool IsOpen() const { return file_ != nullptr; }

  bool IsCreateMode() const;
  bool IsSharedAccess() const;
  // EDbfError "Exclusive access is required for this operation." in a shared
  // mode.
  void CheckExclusiveAccess() const;

  // Switches a shared file to exclusive access, silently staying shared when
  // another handle has the file open. Nothing when not shared or already
  // exclusive.
  virtual void EnterExclusive();
  // Returns from an exclusive phase to the saved mode.
  virtual void LeaveExclusive();

  // ---- Geometry ----

  int32_t HeaderOffset() const { return headerOffset_; }
  // Writes a modified header first.
  virtual void SetHeaderOffset(int32_t value);
  int32_t RecordSize() const { return recordSize_; }
  // Sets RecordSize and PageSize together.
  virtual void SetRecordSize(int32_t value);
  int32_t HeaderSize() const { return headerSize_; }
  // Writes a modified header, resizes the header buffer and reads it again.
  virtual void SetHeaderSize(int32_t value);
  bool PageOffsetByHeader() const { return pageOffsetByHeader_; }
  virtual void SetPageOffsetByHeader(bool value);
  int32_t PageSize() const { return pageSize_; }
  // Sets the page size apart from RecordSize (index files: 512-byte pages).
  void SetPageSize(int32_t value);
  int32_t PagesPerRecord() const { return pagesPerRecord_; }

  // File offset of page n (bytes).
  int64_t PageOffset(int32_t page) const;
  // Number of whole pages in the file; in shared modes the file size is read
  // again on every call, so other processes' appends show.
  int32_t PageCount();
  // The page count as last computed from the size this handle knows, without
  // asking the file system. At most PageCount(): in shared modes a file only
  // grows while it is open here. Inline: a walk asks on every step.
  int32_t KnownPageCount() {
    if (file_ && !needRecount_) return pageCount_;
    return RecountKnownPages();
  }
  // Truncates or extends the file to n pages.
  void SetPageCount(int32_t value);
  // The file size as last seen (bytes).
  int32_t CachedSize() const { return cachedSize_; }

  // ---- Pages and bytes ----

  // Reads RecordSize bytes of page n into buffer; gives the number read
  // (fewer at the end of the file).
  // REQUIRES: open; buffer holds RecordSize bytes.
  virtual int32_t ReadPage(int32_t page, void* buffer);
  // Writes RecordSize bytes of buffer as page n.
  virtual void WritePage(int32_t page, const void* buffer);
  // Reads length bytes at an absolute offset; gives the number read.
  int32_t ReadAt(void* buffer, int32_t length, int64_t offset);
  // Reads the first byte of each of count pages from page first on into
  // out, without reading the rest of the pages; gives the number read
  // (fewer at the end of the file).
  int32_t ReadPageFirstBytes(int32_t first, int32_t count, uint8_t* out);
  // Writes length bytes at an absolute offset.
  void WriteAt(const void* buffer, int32_t length, int64_t offset);
  // Reads or writes one byte at the current position (just past the last
  // page or range read or written) and moves past it. ReadChar gives -1 at
  // the end of the file.
  int ReadChar();
  void WriteChar(uint8_t value);

  // ---- Header ----

  // The header region (HeaderSize bytes; nullptr while HeaderSize is 0).
  // Subclasses change it and call WriteHeader.
  char* Header() { return header_.empty() ? nullptr : header_.data(); }
  const char* Header() const { return header_.empty() ? nullptr : header_.data(); }
  // Reads the header region from the file, zero-filling what the file lacks.
  void ReadHeader();
  // Marks the header modified; in shared modes it is written at once.
  virtual void WriteHeader();
  // Writes the header when modified.
  void FlushHeader();
  // Pushes pending changes out; nothing in this class.
  virtual void Flush();

  // ---- Locks ----

  // Locks page n (0 = header). Without wait one attempt; with wait a lock
  // held by another handle is tried again every 10 ms until granted. True
  // when held. Always true when the mode needs no locks.
  bool LockPage(int32_t page, bool wait);
  void UnlockPage(int32_t page);

  // ---- Settings ----

  const std::string& FileName() const { return fileName_; }
  TFileAccessMode Mode() const { return mode_; }
  // Takes effect at the next OpenFile.
  void SetMode(TFileAccessMode value) { mode_ = value; }
  bool AutoCreate() const { return autoCreate_; }
  void SetAutoCreate(bool value) { autoCreate_ = value; }
  bool ReadOnlyFallback() const { return readOnlyFallback_; }
  void SetReadOnlyFallback(bool value) { readOnlyFallback_ = value; }
  // Why the last OpenFile fell back to reading; empty when it did not.
  const std::string& ReadOnlyFallbackReason() const { return readOnlyFallbackReason_; }
  bool VirtualLocks() const { return virtualLocks_; }
  void SetVirtualLocks(bool value) { virtualLocks_ = value; }
  // Set on open: locks are taken only in shared modes.
  bool NeedLocks() const { return needLocks_; }
  // True during an exclusive phase entered by EnterExclusive.
  bool InExclusivePhase() const { return hasSavedMode_; }

  // The services used to reach the file system; TEnv::Default() unless a
  // test sets another. Not owned.
  platform::TEnv* Env() const { return env_; }
  void SetEnv(platform::TEnv* env) { env_ = env; }

 protected:
  // The open file (nullptr while closed).
  platform::TFile* File() const { return file_.get(); }
  bool HeaderModified() const { return headerModified_; }
  // The pages the file holds, given the whole pages its size has room for.
  // A subclass whose last whole pages need not be pages yet (a table's
  // slots past its records) gives fewer; PageCount in shared modes then
  // asks again on every call, so that such a slot shows once it is written.
  virtual int32_t CountPages(int32_t wholePages) { return wholePages; }
  // The next page count is computed anew.
  void Recount() { needRecount_ = true; }

 private:
  // Opens as OpenFile does, but gives false (and the platform's reason)
  // instead of raising when the platform refuses to create or open the file.
  bool TryOpenFile(platform::TOsStatus& refusal);
  // Offset and length of the lock that stands for page n.
  void LockRange(int32_t page, uint64_t& offset, uint64_t& length) const;
  // Reads with the lock-violation retry.
  int32_t ReadWithRetry(int64_t offset, void* buffer, int32_t length);
  int32_t WriteRaw(int64_t offset, const void* buffer, int32_t length);
  // Raises the cached size to offset when it lies beyond.
  void GrowCachedSize(int64_t offset);
  void RecomputePagesPerRecord();
  // KnownPageCount when the count is to be made anew or the file is closed.
  int32_t RecountKnownPages();

  std::unique_ptr<platform::TFile> file_;
  int32_t headerOffset_ = 0;
  int32_t headerSize_ = 0;
  int32_t recordSize_ = 0;
  int32_t pageSize_ = 0;
  int32_t pageCount_ = 0;
  int32_t wholePages_ = 0;
  int32_t pagesPerRecord_ = 0;
  int32_t cachedSize_ = 0;
  std::vector<char> header_;
  bool needRecount_ = false;
  bool headerModified_ = false;
  bool pageOffsetByHeader_ = true;
  TFileAccessMode mode_ = amReadOnly;
  TFileAccessMode savedMode_ = amReadOnly;
  bool hasSavedMode_ = false;
  bool autoCreate_ = false;
  bool needLocks_ = false;
  bool virtualLocks_ = true;
  bool readOnlyFallback_ = false;
  std::string readOnlyFallbackReason_;
  std::string fileName_;
  int64_t position_ = 0;
  platform::TEnv* env_;
};
