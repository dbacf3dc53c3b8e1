#pragma once
// Cursors walk a table for the dataset. TVirtualCursor fixes the operations
// and holds the file it works on (not owned); TDbfCursor walks the table
// file in physical record order, the index cursor in the order of an index
// tag. Record numbers are 1-based; a record number is also a bookmark.

#include <cstdint>

#include "tdbf/file/dbf_pgfile.h"

class TVirtualCursor {
 public:
  explicit TVirtualCursor(TPagedFile* file, bool recordOrder = false)
      : file_(file), recordOrder_(recordOrder) {}
  TVirtualCursor(const TVirtualCursor&) = delete;
  TVirtualCursor& operator=(const TVirtualCursor&) = delete;
  virtual ~TVirtualCursor() = default;

  TPagedFile* File() const { return file_; }
  // Whether this is the physical cursor (a TDbfCursor): walks in record
  // order read records ahead and step over runs a filter rejects. A flag,
  // not a cast, since fetches ask it for every record.
  bool InRecordOrder() const { return recordOrder_; }

  virtual int32_t PhysicalPosition() = 0;
  virtual int32_t LogicalPosition() = 0;
  virtual int32_t LogicalCount() = 0;
  virtual void SetPhysicalPosition(int32_t value) = 0;
  virtual void SetLogicalPosition(int32_t value) = 0;
  // Move one record on or back; true when the cursor is then on a record.
  virtual bool Next() = 0;
  virtual bool Prev() = 0;
  // Place the cursor before the first or after the last record.
  virtual void First() = 0;
  virtual void Last() = 0;
  virtual int32_t CurrentBookmark() = 0;
  virtual void SeekBookmark(int32_t bookmark) = 0;
  // The dataset reports a record it appended or changed; buffers are record
  // images (deletion flag first).
  virtual void RecordInserted(int32_t recNo, const char* buffer) = 0;
  virtual void RecordUpdated(int32_t recNo, const char* oldBuffer, const char* newBuffer) = 0;

 private:
  TPagedFile* file_;
  bool recordOrder_;
};

// The physical cursor over the table file (whose pages are records). With
// n = PageCount the position is 0 (before the first record), 1..n (on that
// record) or n + 1 (after the last). Deleted records are not skipped here.
class TDbfCursor final : public TVirtualCursor {
 public:
  explicit TDbfCursor(TPagedFile* dbfFile) : TVirtualCursor(dbfFile, true) {}

  int32_t PhysicalPosition() override { return physicalRecNo_; }
  int32_t Position() const { return physicalRecNo_; }
  int32_t LogicalPosition() override { return physicalRecNo_; }
  int32_t LogicalCount() override;
  void SetPhysicalPosition(int32_t value) override { physicalRecNo_ = value; }
  void SetLogicalPosition(int32_t value) override { physicalRecNo_ = value; }
  // While the next record lies within the pages already counted it exists:
  // a shared table only grows while it is open. The file size is asked for
  // only at the end of the counted pages, so a walk costs no system call per
  // record and still sees the records other processes appended.
  bool Next() override {
    if (physicalRecNo_ >= 0 && physicalRecNo_ < File()->KnownPageCount()) {
      ++physicalRecNo_;
      return true;
    }
    return NextPastCounted();
  }
  bool Prev() override;
  void First() override { physicalRecNo_ = 0; }
  void Last() override;
  int32_t CurrentBookmark() override { return physicalRecNo_; }
  void SeekBookmark(int32_t bookmark) override { physicalRecNo_ = bookmark; }
  void RecordInserted(int32_t recNo, const char* buffer) override;
  void RecordUpdated(int32_t, const char*, const char*) override {}

 private:
  // Next at or past the end of the pages counted.
  bool NextPastCounted();

  int32_t physicalRecNo_ = 0;
};
