#pragma once
// Cursors walk a table for the dataset. TVirtualCursor fixes the operations
// and holds the file it works on (not owned); TDbfCursor walks the table
// file in physical record order, the index cursor in the order of an index
// tag. Record numbers are 1-based; a record number is also a bookmark.

#include <cstdint>

class TPagedFile;

class TVirtualCursor {
 public:
  explicit TVirtualCursor(TPagedFile* file) : file_(file) {}
  TVirtualCursor(const TVirtualCursor&) = delete;
  TVirtualCursor& operator=(const TVirtualCursor&) = delete;
  virtual ~TVirtualCursor() = default;

  TPagedFile* File() const { return file_; }

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
};

// The physical cursor over the table file (whose pages are records). With
// n = PageCount the position is 0 (before the first record), 1..n (on that
// record) or n + 1 (after the last). Deleted records are not skipped here.
class TDbfCursor : public TVirtualCursor {
 public:
  explicit TDbfCursor(TPagedFile* dbfFile) : TVirtualCursor(dbfFile) {}

  int32_t PhysicalPosition() override { return physicalRecNo_; }
  int32_t LogicalPosition() override { return physicalRecNo_; }
  int32_t LogicalCount() override;
  void SetPhysicalPosition(int32_t value) override { physicalRecNo_ = value; }
  void SetLogicalPosition(int32_t value) override { physicalRecNo_ = value; }
  bool Next() override;
  bool Prev() override;
  void First() override { physicalRecNo_ = 0; }
  void Last() override;
  int32_t CurrentBookmark() override { return physicalRecNo_; }
  void SeekBookmark(int32_t bookmark) override { physicalRecNo_ = bookmark; }
  void RecordInserted(int32_t recNo, const char* buffer) override;
  void RecordUpdated(int32_t, const char*, const char*) override {}

 private:
  int32_t physicalRecNo_ = 0;
};
