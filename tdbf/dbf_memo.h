#pragma once
// Memo files and blob streams. A memo file (".dbt" for dBase, ".fpt" for
// FoxPro tables) keeps the values of memo, binary and general fields as
// chains of fixed-size blocks; the record holds only the number of the first
// block. TMemoFile reads and writes such chains; TDbaseMemoFile and
// TFoxProMemoFile supply the header details of the two formats. The table
// file owns its memo file. TDbfBlobStream is the in-memory copy of one memo
// value that the dataset hands to a blob field.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recordset/db_types.h"
#include "runtime/classes.h"
#include "tdbf/dbf_common.h"
#include "tdbf/dbf_pgfile.h"

class TDbfFile;
class TField;

// Memo file layout. The first 512 bytes are the header region; the file is
// cut into blocks of the block size, block n starting at n * block size (so
// with 512-byte blocks block 0 is the header and block 1 the first value).
//
// dBase header (little-endian):
//   offset size  meaning
//    0      4    next free block
//   16      1    version: 3 in the memo file of a level-3 table
//   20      2    block size (levels 4 and 7; level 3 always uses 512)
// FoxPro header (big-endian):
//    0      4    next free block
//    6      2    block size
// All other header bytes are zero in a new file.
//
// A value occupies consecutive blocks from the block number in the record:
//   level 3     the bytes, then 0x1A 0x1A
//   levels 4, 7 FF FF 08 00; data length + 8 (32-bit little-endian); the bytes
//   FoxPro      the value's kind (32-bit big-endian: 1 text, 0 binary); data
//               length (32-bit big-endian); the bytes
// The rest of the last block holds spaces. Block number 0 means no value.
constexpr int32_t kMemoHeaderSize = 512;
constexpr int32_t kMemoDefaultBlockSize = 512;

// A memo file. Open sets it up from the table format, access mode and
// requested block size the table file gives; ReadMemo and WriteMemo move
// whole values between the file and a stream.
class TMemoFile : public TPagedFile {
 public:
  explicit TMemoFile(std::string fileName);
  ~TMemoFile() override;

  // Opens the file (nothing when already open). A new file gets its header;
  // a dBase block size of 0 or not a multiple of 128 is repaired to 512.
  void Open();
  // Closes the file (writing a modified header).
  void Close();
  bool Opened() const { return opened_; }

  TTableFormat DbfFormat() const { return dbfFormat_; }
  void SetDbfFormat(TTableFormat format) { dbfFormat_ = format; }
  // Block size for a new file (0: the default of 512).
  int32_t RequestedBlockSize() const { return requestedBlockSize_; }
  void SetRequestedBlockSize(int32_t size) { requestedBlockSize_ = size; }

  // Replaces the stream's content with the value starting at blockNo (empty
  // for blockNo <= 0). Reading stops at the end of the file with what was
  // read: a damaged length or a missing terminator never reads further.
  void ReadMemo(int32_t blockNo, TStream& stream);
  // Stores the whole stream as a value. blockNo holds the value's old first
  // block (readSize its old length in bytes) and receives the new one: the
  // old chain is overwritten when it is long enough, otherwise a new chain
  // is appended under the lock on the header block. An empty stream gives
  // block 0. Raises EDbfError for a file whose block size is 0, and for a
  // header whose next free block lies beyond the end of the file (a damaged
  // header would otherwise make the file grow to that block). An old chain
  // that does not lie wholly inside the file is not written over: the value
  // is appended. So one call grows the file by at most the value's blocks
  // and the rest of a partly filled last block.
  void WriteMemo(int32_t& blockNo, int32_t readSize, TStream& stream);
  // The kind of value WriteMemo stores next, which FoxPro memo files keep
  // in the first word of its block header: kMemoText for memo fields,
  // kMemoBinary for picture, blob and general fields and binary memos.
  static constexpr uint32_t kMemoBinary = 0;
  static constexpr uint32_t kMemoText = 1;
  uint32_t ValueType() const { return valueType_; }
  void SetValueType(uint32_t type) { valueType_ = type; }

  // ---- Format details ----
  // The block size stored in the header.
  virtual int32_t BlockLength() const = 0;
  // Data length from the 8-byte block header at the start of a value; -1
  // when the value has no length header (it ends with 0x1A 0x1A).
  virtual int64_t MemoDataSize(const uint8_t* blockHeader) const = 0;
  virtual uint32_t NextFreeBlock() const = 0;
  virtual void SetNextFreeBlock(uint32_t block) = 0;
  virtual void SetBlockLength(int32_t size) = 0;

 protected:
  // Bytes of a value's block header (0 at level 3) and of its terminator.
  int32_t ValueHeadSize() const { return dbfFormat_ == tfDBase3 ? 0 : 8; }
  int32_t ValueTailSize() const { return dbfFormat_ == tfDBase3 ? 2 : 0; }
  // Writes the block header of a value of length bytes into head.
  virtual void PutValueHead(uint8_t* head, int64_t length) const = 0;

 private:
  void ReadTerminated(int64_t offset, TStream& stream);
  // Writes a whole chain (a multiple of the block size) from block blockNo.
  void WriteChain(const std::vector<uint8_t>& chain, int32_t blockNo);
  // The first block a value may use: the one past the 512-byte header.
  uint32_t FirstDataBlock() const;
  // The block at which the file ends: the number of blocks it holds, a
  // partly filled last block counted whole.
  int64_t EndBlock();

  std::vector<uint8_t> buffer_;  // one block and two NULs behind it
  TTableFormat dbfFormat_ = tfDBase4;
  int32_t requestedBlockSize_ = 0;
  uint32_t valueType_ = kMemoText;
  bool opened_ = false;
};

// The ".dbt" memo file of dBase tables (levels 3, 4 and 7).
class TDbaseMemoFile : public TMemoFile {
 public:
  using TMemoFile::TMemoFile;
  int32_t BlockLength() const override;
  int64_t MemoDataSize(const uint8_t* blockHeader) const override;
  uint32_t NextFreeBlock() const override;
  void SetNextFreeBlock(uint32_t block) override;
  void SetBlockLength(int32_t size) override;

 protected:
  void PutValueHead(uint8_t* head, int64_t length) const override;
};

// The ".fpt" memo file of FoxPro and Visual FoxPro tables (levels 25 and
// 30). Visual FoxPro writes 64-byte blocks; every block size in the header
// is used as it stands.
class TFoxProMemoFile : public TMemoFile {
 public:
  using TMemoFile::TMemoFile;
  int32_t BlockLength() const override;
  int64_t MemoDataSize(const uint8_t* blockHeader) const override;
  uint32_t NextFreeBlock() const override;
  void SetNextFreeBlock(uint32_t block) override;
  void SetBlockLength(int32_t size) override;

 protected:
  void PutValueHead(uint8_t* head, int64_t length) const override;
};

// Makes the memo file for a table format: TFoxProMemoFile for tfFoxPro,
// TDbaseMemoFile otherwise.
std::unique_ptr<TMemoFile> NewMemoFile(const std::string& fileName, TTableFormat format);

// Lets table files open their memo files (see SetMemoFileOpener). Called by
// every table dataset; safe to call more than once.
void InstallMemoFiles();

// The value of one memo field as the dataset holds it between reads: the
// bytes (in the system's code page for transliterated fields), the block
// they came from (BlockNo) and their stored length (ReadSize). The dataset
// keeps one per field and hands out references to it (UseCount); a stream
// written through a reference is Dirty until the record is posted
// (CommitChanges) or cancelled.
class TDbfBlobStream : public TMemoryStream {
 public:
  explicit TDbfBlobStream(TField* blobField) : blobField_(blobField) {}

  TField* BlobField() const { return blobField_; }
  TBlobStreamMode Mode() const { return mode_; }
  // Stores the mode; bmWrite makes the stream Dirty, which it stays until
  // committed or cancelled.
  void SetMode(TBlobStreamMode mode);
  bool Dirty() const { return dirty_; }
  int32_t BlockNo() const { return blockNo_; }
  void SetBlockNo(int32_t block) { blockNo_ = block; }
  int32_t ReadSize() const { return readSize_; }
  void SetReadSize(int32_t size) { readSize_ = size; }
  // The record image whose value the stream holds (not owned; the dataset
  // serves other records' values apart while this one has changes).
  const char* Record() const { return record_; }
  void SetRecord(const char* record) { record_ = record; }

  // References handed out (the dataset's own slot counts as one).
  int UseCount() const { return useCount_; }
  void AddReference() { ++useCount_; }
  void Release() {
    if (useCount_ > 0) --useCount_;
  }

  // Writing marks the stream Dirty; a stream opened for reading only takes
  // no writes.
  int64_t Write(const void* buffer, int64_t count) override;
  void SetSize(int64_t size) override;

  // Replaces the content with the value of block blockNo of the memo file
  // (converted from the table's code page to UTF-8 when the field
  // transliterates)
  // and remembers where it came from.
  void Load(TMemoFile& memoFile, int32_t blockNo);
  // Empties the stream for a record without a value (blockNo 0), or for a
  // new value replacing the one of readSize bytes stored at blockNo.
  void Reset(int32_t blockNo, int32_t readSize);
  // Forgets changes and the cached value: the next use reads the file.
  void Cancel();
  // When Dirty: cuts the stream at its position, writes it (in the table's
  // code page) to the memo file and stores the block number into the
  // field's bytes of the record image. A character the code page lacks
  // raises before anything is written, leaving the stream as it was.
  void CommitChanges(TMemoFile& memoFile, TDbfFile& dbfFile, char* record);
  // Converts the whole content towards the table's code page (toStorage)
  // or from it to UTF-8, through the dataset; only for fields that
  // transliterate. Raises, leaving the content, when a character cannot
  // be stored.
  void Translate(bool toStorage);

 private:
  TField* blobField_;
  TBlobStreamMode mode_ = bmRead;
  bool dirty_ = false;
  int32_t blockNo_ = 0;
  int32_t readSize_ = 0;
  int useCount_ = 1;
  const char* record_ = nullptr;
  bool quiet_ = false;  // filling from the file or translating: no change
};
