#include "tdbf/dbf_memo.h"

#include <algorithm>
#include <cstring>

#include "platform/env.h"
#include "recordset/dataset.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "tdbf/dbf_dbffile.h"
#include "tdbf/dbf_str.h"

namespace {

constexpr uint8_t kMemoEnd = 0x1A;
// The block header of a dBase IV/VII value starts with these bytes.
constexpr uint8_t kDbaseValueMark[4] = {0xFF, 0xFF, 0x08, 0x00};
// Header offsets.
constexpr int kNextFreeAt = 0;
constexpr int kDbaseVersionAt = 16;
constexpr int kDbaseBlockSizeAt = 20;
constexpr int kFoxBlockSizeAt = 6;
// Values are copied in pieces of this many bytes.
constexpr int64_t kCopyChunk = 64 * 1024;

// Holds the lock on page 0 (the header block) while it lives.
class THeaderLock {
 public:
  explicit THeaderLock(TPagedFile& file) : file_(file) { file_.LockPage(0, true); }
  ~THeaderLock() { file_.UnlockPage(0); }
  THeaderLock(const THeaderLock&) = delete;
  THeaderLock& operator=(const THeaderLock&) = delete;

 private:
  TPagedFile& file_;
};

std::unique_ptr<TPagedFile> OpenMemoFileFor(const TMemoFileRequest& request) {
  std::unique_ptr<TMemoFile> memo = NewMemoFile(request.fileName, request.format);
  memo->SetMode(request.mode);
  memo->SetAutoCreate(request.autoCreate);
  memo->SetRequestedBlockSize(request.blockSize);
  memo->SetReadOnlyFallback(request.readOnlyFallback);
  memo->Open();
  return memo;
}

}  // namespace

// ---- TMemoFile ------------------------------------------------------------------

TMemoFile::TMemoFile(std::string fileName) : TPagedFile(std::move(fileName)) {}

TMemoFile::~TMemoFile() { Close(); }

void TMemoFile::Open() {
  if (opened_) return;
  SetPageOffsetByHeader(false);
  OpenFile();
  SetHeaderSize(kMemoHeaderSize);
  if (dbfFormat_ == tfDBase3) Header()[kDbaseVersionAt] = 3;
  // Memo values are locked by their own bytes, not by bytes beyond the data.
  SetVirtualLocks(false);
  if (IsCreateMode()) {
    SetBlockLength(requestedBlockSize_ > 0 ? requestedBlockSize_ : kMemoDefaultBlockSize);
    SetNextFreeBlock(FirstDataBlock());
    WriteHeader();
  }
  SetRecordSize(BlockLength());
  // A block size no dBase memo file has (dBase III leaves it 0) means the
  // usual 512; the header held in memory says so, the file is not written.
  const bool foxPro = dbfFormat_ == tfFoxPro || dbfFormat_ == tfVisualFoxPro;
  if (!foxPro && (RecordSize() == 0 || RecordSize() % 128 != 0)) {
    SetBlockLength(kMemoDefaultBlockSize);
    SetRecordSize(kMemoDefaultBlockSize);
  }
  // Blocks shorter than a value's 8-byte header are read through a buffer
  // that still holds the header.
  buffer_.assign(static_cast<size_t>(std::max(RecordSize(), 8)) + 2, 0);
  opened_ = true;
}

void TMemoFile::Close() {
  CloseFile();
  buffer_.clear();
  opened_ = false;
}

uint32_t TMemoFile::FirstDataBlock() const {
  const int32_t blockSize = RecordSize() > 0 ? RecordSize() : BlockLength();
  if (blockSize <= 0) return 1;
  return static_cast<uint32_t>((kMemoHeaderSize + blockSize - 1) / blockSize);
}

void TMemoFile::ReadMemo(int32_t blockNo, TStream& stream) {
  stream.SetSize(0);
  stream.SetPosition(0);
  const int32_t blockSize = RecordSize();
  if (blockNo <= 0 || blockSize <= 0 || buffer_.empty()) return;
  const int64_t offset = static_cast<int64_t>(blockNo) * blockSize;
  uint8_t head[8] = {};
  const int32_t got = ReadAt(head, sizeof head, offset);
  if (got <= 0) return;
  if (got < static_cast<int32_t>(sizeof head)) {
    // Too short for a length header: whatever is there is a terminated value.
    ReadTerminated(offset, stream);
    return;
  }
  const int64_t length = MemoDataSize(head);
  if (length == -1) {
    ReadTerminated(offset, stream);
    return;
  }
  // A length header: the value follows it. A damaged length (negative, or
  // beyond the end of the file) ends with what the file holds.
  int64_t remaining = std::max<int64_t>(length, 0);
  int64_t at = offset + 8;
  std::vector<char> chunk(static_cast<size_t>(std::min(remaining, kCopyChunk)));
  while (remaining > 0) {
    const int32_t want = static_cast<int32_t>(std::min<int64_t>(remaining, kCopyChunk));
    const int32_t n = ReadAt(chunk.data(), want, at);
    if (n <= 0) break;
    stream.Write(chunk.data(), n);
    remaining -= n;
    at += n;
    if (n < want) break;
  }
  stream.SetPosition(0);
}

// A value without a length header ends at 0x1A followed by another 0x1A or
// by a NUL; a single 0x1A followed by anything else belongs to the text. A
// 0x1A at the end of a block pairs with the first byte of the next block.
void TMemoFile::ReadTerminated(int64_t offset, TStream& stream) {
  const int32_t blockSize = RecordSize();
  uint8_t* buffer = buffer_.data();
  bool pendingEnd = false;  // the previous block ended with 0x1A
  for (int64_t at = offset;; at += blockSize) {
    const int32_t n = ReadAt(buffer, blockSize, at);
    if (n <= 0) break;
    // The bytes behind what was read act as NULs.
    std::fill(buffer + n, buffer + buffer_.size(), 0);
    if (pendingEnd && (buffer[0] == kMemoEnd || buffer[0] == 0)) {
      // The 0x1A already copied was the first terminator.
      stream.SetSize(stream.Size() - 1);
      break;
    }
    // A 0x1A in the last byte of a full block pairs with the next block.
    const int32_t last = n < blockSize ? n : n - 1;
    int32_t end = -1;
    for (int32_t i = 0; i < last; ++i) {
      if (buffer[i] == kMemoEnd && (buffer[i + 1] == kMemoEnd || buffer[i + 1] == 0)) {
        end = i;
        break;
      }
    }
    if (end >= 0) {
      stream.Write(buffer, end);
      break;
    }
    stream.Write(buffer, n);
    if (n < blockSize) break;  // the end of the file
    pendingEnd = buffer[n - 1] == kMemoEnd;
  }
  stream.SetPosition(0);
}

void TMemoFile::WriteMemo(int32_t& blockNo, int32_t readSize, TStream& stream) {
  const int64_t size = stream.Size();
  if (size <= 0) {
    blockNo = 0;
    return;
  }
  const int32_t blockSize = RecordSize();
  if (blockSize <= 0) throw EDbfError(Format(kMemoBadBlockSize, FileName().c_str(), blockSize));
  const int32_t head = ValueHeadSize();
  const int32_t tail = ValueTailSize();
  const int64_t need = head + size + tail;
  const int64_t needBlocks = (need + blockSize - 1) / blockSize;
  const int64_t oldBlocks =
      (static_cast<int64_t>(std::max(readSize, 0)) + blockSize - 1) / blockSize;
  if (needBlocks > INT32_MAX / 2) throw EDbfError(Format(kMemoTooLong, FileName().c_str()));

  // The chain as it goes to the file: block header, data, terminators, and
  // spaces up to the end of the last block.
  std::vector<uint8_t> chain(static_cast<size_t>(needBlocks * blockSize), ' ');
  if (head > 0) PutValueHead(chain.data(), size);
  stream.SetPosition(0);
  stream.ReadBuffer(chain.data() + head, size);
  for (int32_t i = 0; i < tail; ++i) chain[static_cast<size_t>(head + size + i)] = kMemoEnd;

  // An old chain that would start inside the header or reach beyond the end
  // of the file (a damaged record) is never written over.
  const bool append = blockNo <= 0 || static_cast<uint32_t>(blockNo) < FirstDataBlock() ||
                      oldBlocks < needBlocks || blockNo + needBlocks > EndBlock();
  if (!append) {
    WriteChain(chain, blockNo);
    return;
  }
  THeaderLock lock(*this);
  ReadHeader();
  uint32_t first = NextFreeBlock();
  // Blocks beyond the end hold nothing, so a pointer past the end is damage:
  // following it would fill the gap up to it with zeros. The check is made
  // under the lock, after the header was read again, because another
  // process may have appended since this handle last looked.
  const int64_t end = std::max<int64_t>(EndBlock(), FirstDataBlock());
  if (first > end)
    throw EDbfError(Format(kMemoNextFreeBeyondEnd, ExtractFileName(FileName()).c_str(), first,
                           static_cast<long long>(end)));
  // A damaged or new header may point into the header region.
  first = std::max(first, FirstDataBlock());
  const uint64_t next = first + static_cast<uint64_t>(needBlocks);
  if (next > INT32_MAX) throw EDbfError(Format(kMemoTooLong, FileName().c_str()));
  blockNo = static_cast<int32_t>(first);
  WriteChain(chain, blockNo);
  SetNextFreeBlock(static_cast<uint32_t>(next));
  WriteHeader();
}

int64_t TMemoFile::EndBlock() {
  int64_t size = 0;
  if (!File() || !File()->Size(size).IsOk() || RecordSize() <= 0) return 0;
  return (size + RecordSize() - 1) / RecordSize();
}

void TMemoFile::WriteChain(const std::vector<uint8_t>& chain, int32_t blockNo) {
  const int64_t offset = static_cast<int64_t>(blockNo) * RecordSize();
  for (size_t done = 0; done < chain.size();) {
    const size_t n = std::min(chain.size() - done, static_cast<size_t>(kCopyChunk));
    WriteAt(chain.data() + done, static_cast<int32_t>(n), offset + static_cast<int64_t>(done));
    done += n;
  }
}

// ---- TDbaseMemoFile -----------------------------------------------------------

int32_t TDbaseMemoFile::BlockLength() const {
  if (DbfFormat() == tfDBase3) return kMemoDefaultBlockSize;
  return GetLE16(Header() + kDbaseBlockSizeAt);
}

int64_t TDbaseMemoFile::MemoDataSize(const uint8_t* blockHeader) const {
  if (std::memcmp(blockHeader, kDbaseValueMark, sizeof kDbaseValueMark) != 0) return -1;
  return static_cast<int64_t>(GetLE32(blockHeader + 4)) - 8;
}

uint32_t TDbaseMemoFile::NextFreeBlock() const { return GetLE32(Header() + kNextFreeAt); }

void TDbaseMemoFile::SetNextFreeBlock(uint32_t block) { PutLE32(Header() + kNextFreeAt, block); }

void TDbaseMemoFile::SetBlockLength(int32_t size) {
  PutLE16(Header() + kDbaseBlockSizeAt, static_cast<uint16_t>(size));
}

void TDbaseMemoFile::PutValueHead(uint8_t* head, int64_t length) const {
  std::memcpy(head, kDbaseValueMark, sizeof kDbaseValueMark);
  PutLE32(head + 4, static_cast<uint32_t>(length + 8));
}

// ---- TFoxProMemoFile ----------------------------------------------------------

int32_t TFoxProMemoFile::BlockLength() const {
  const auto* h = reinterpret_cast<const uint8_t*>(Header());
  return (h[kFoxBlockSizeAt] << 8) | h[kFoxBlockSizeAt + 1];
}

// FoxPro keeps the data length itself, without the block header, as every
// FoxPro program writes it.
int64_t TFoxProMemoFile::MemoDataSize(const uint8_t* blockHeader) const {
  return GetBE32(blockHeader + 4);
}

uint32_t TFoxProMemoFile::NextFreeBlock() const { return GetBE32(Header() + kNextFreeAt); }

void TFoxProMemoFile::SetNextFreeBlock(uint32_t block) { PutBE32(Header() + kNextFreeAt, block); }

void TFoxProMemoFile::SetBlockLength(int32_t size) {
  auto* h = reinterpret_cast<uint8_t*>(Header());
  h[kFoxBlockSizeAt] = static_cast<uint8_t>(size >> 8);
  h[kFoxBlockSizeAt + 1] = static_cast<uint8_t>(size);
}

void TFoxProMemoFile::PutValueHead(uint8_t* head, int64_t length) const {
  PutBE32(head, ValueType());
  PutBE32(head + 4, static_cast<uint32_t>(length));
}

// ---- Memo files for table files -------------------------------------------------

std::unique_ptr<TMemoFile> NewMemoFile(const std::string& fileName, TTableFormat format) {
  std::unique_ptr<TMemoFile> memo;
  if (format == tfFoxPro || format == tfVisualFoxPro) {
    memo = std::make_unique<TFoxProMemoFile>(fileName);
  } else {
    memo = std::make_unique<TDbaseMemoFile>(fileName);
  }
  memo->SetDbfFormat(format);
  return memo;
}

void InstallMemoFiles() { SetMemoFileOpener(OpenMemoFileFor); }

// ---- TDbfBlobStream -------------------------------------------------------------

namespace {

// Lets the stream fill itself without counting as a change.
class TQuiet {
 public:
  explicit TQuiet(bool& flag) : flag_(flag) { flag_ = true; }
  ~TQuiet() { flag_ = false; }
  TQuiet(const TQuiet&) = delete;
  TQuiet& operator=(const TQuiet&) = delete;

 private:
  bool& flag_;
};

}  // namespace

void TDbfBlobStream::SetMode(TBlobStreamMode mode) {
  mode_ = mode;
  if (mode == bmWrite) dirty_ = true;
}

int64_t TDbfBlobStream::Write(const void* buffer, int64_t count) {
  if (!quiet_) {
    if (mode_ == bmRead) return 0;
    dirty_ = true;
  }
  return TMemoryStream::Write(buffer, count);
}

void TDbfBlobStream::SetSize(int64_t size) {
  if (!quiet_) {
    if (mode_ == bmRead) return;
    dirty_ = true;
  }
  TMemoryStream::SetSize(size);
}

void TDbfBlobStream::Load(TMemoFile& memoFile, int32_t blockNo) {
  {
    TQuiet quiet(quiet_);
    memoFile.ReadMemo(blockNo, *this);
  }
  readSize_ = static_cast<int32_t>(std::min<int64_t>(Size(), INT32_MAX));
  Translate(false);
  blockNo_ = blockNo;
  SetPosition(0);
}

void TDbfBlobStream::Reset(int32_t blockNo, int32_t readSize) {
  TQuiet quiet(quiet_);
  Clear();
  blockNo_ = blockNo;
  readSize_ = blockNo > 0 ? readSize : 0;
}

void TDbfBlobStream::Cancel() {
  dirty_ = false;
  blockNo_ = 0;
}

void TDbfBlobStream::CommitChanges(TMemoFile& memoFile, TDbfFile& dbfFile, char* record) {
  if (!dirty_) return;
  {
    TQuiet quiet(quiet_);
    SetSize(Position());
  }
  Translate(true);
  const int fieldIndex = blobField_->FieldNo() - 1;
  const TDbfFieldDef& def = dbfFile.FieldDefs()[fieldIndex];
  memoFile.SetValueType(def.NativeFieldType() == 'M' && !def.NoTranslation()
                            ? TMemoFile::kMemoText
                            : TMemoFile::kMemoBinary);
  memoFile.WriteMemo(blockNo_, readSize_, *this);
  // The chain now holds the value as stored.
  readSize_ = static_cast<int32_t>(std::min<int64_t>(Size(), INT32_MAX));
  // Keep the cached value as a fresh read of the file would give it.
  Translate(false);
  SetPosition(0);
  if (blockNo_ > 0) {
    dbfFile.WriteFieldValue(fieldIndex, ftInteger, record, &blockNo_);
  } else {
    dbfFile.WriteFieldValue(fieldIndex, ftInteger, record, nullptr);
  }
  dirty_ = false;
}

void TDbfBlobStream::Translate(bool toStorage) {
  const auto* field = dynamic_cast<const TBlobField*>(blobField_);
  if (field == nullptr || !field->Transliterate() || field->DataSet() == nullptr || Size() == 0)
    return;
  TDataSet& dataSet = *field->DataSet();
  const std::string_view content(Memory(), static_cast<size_t>(Size()));
  std::string out;
  if (toStorage)
    dataSet.TextToStorage(*field, content, out, std::string::npos);
  else
    dataSet.TextFromStorage(content, out);
  TQuiet quiet(quiet_);
  Clear();
  TMemoryStream::Write(out.data(), static_cast<int64_t>(out.size()));
  SetPosition(0);
}
