#include "tdbf/file/dbf_packfile.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/env.h"
#include "runtime/classes.h"
#include "runtime/exceptions.h"
#include "tdbf/dbf_common.h"
#include "tdbf/dbf_str.h"
#include "tdbf/file/dbf_memo.h"

namespace {

constexpr const char* kNewSuffix = ".packing";
constexpr const char* kOldMemoSuffix = ".unpacked";
constexpr int kRecordCountAt = 4;
constexpr uint8_t kDeletedFlag = '*';
constexpr uint8_t kLiveFlag = ' ';
// New files are written in pieces of this many bytes.
constexpr size_t kWritePiece = size_t{1} << 20;

// A new file written through the platform with every write checked (a full
// disk must fail the pack, not shorten the table), appended to in large
// pieces. Unless Keep() was called, destroying it removes the file again.
class TNewFile {
 public:
  TNewFile(platform::TEnv* env, std::string name) : env_(env), name_(std::move(name)) {
    Check(env_->CreateFile(name_));
    created_ = true;
    Check(env_->OpenFile(name_, platform::fmReadWriteDenyWrite, file_));
    // A file of that name left by a pack that was cut short is emptied.
    Check(file_->SetSize(0));
  }
  ~TNewFile() {
    file_.reset();
    if (created_ && !kept_) env_->DeleteFile(name_);
  }
  TNewFile(const TNewFile&) = delete;
  TNewFile& operator=(const TNewFile&) = delete;

  const std::string& Name() const { return name_; }
  // Bytes appended so far.
  int64_t Size() const { return written_ + static_cast<int64_t>(pending_.size()); }

  void Append(const void* data, size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    pending_.insert(pending_.end(), bytes, bytes + length);
    if (pending_.size() >= kWritePiece) WritePending();
  }
  // Writes bytes over what was appended before (a header filled in last).
  void Overwrite(int64_t offset, const void* data, size_t length) {
    WritePending();
    WriteChecked(offset, data, length);
  }
  // Writes what is pending and pushes the file to the storage device, so
  // that a rename cannot make the new name show an unwritten file.
  void Finish() {
    WritePending();
    Check(file_->Flush());
    file_.reset();
  }
  // The file has taken its place: it is no longer removed.
  void Keep() { kept_ = true; }

 private:
  void WritePending() {
    if (pending_.empty()) return;
    WriteChecked(written_, pending_.data(), pending_.size());
    written_ += static_cast<int64_t>(pending_.size());
    pending_.clear();
  }
  void WriteChecked(int64_t offset, const void* data, size_t length) {
    int64_t done = 0;
    Check(file_->WriteAt(offset, data, static_cast<int64_t>(length), done));
    if (done != static_cast<int64_t>(length))
      throw EDbfError(Format(kDbfPackCannotWrite, name_.c_str(), "short write"));
  }
  void Check(const platform::TOsStatus& status) const {
    if (!status.IsOk())
      throw EDbfError(Format(kDbfPackCannotWrite, name_.c_str(), status.Message().c_str()));
  }

  platform::TEnv* env_;
  std::string name_;
  std::unique_ptr<platform::TFile> file_;
  std::vector<char> pending_;
  int64_t written_ = 0;
  bool created_ = false;
  bool kept_ = false;
};

// Copies the live memo values into a new memo file, in the order the
// records use them, and gives each old first block its new one.
class TMemoCompactor {
 public:
  TMemoCompactor(TMemoFile& memo, platform::TEnv* env)
      : memo_(memo),
        out_(env, memo.FileName() + kNewSuffix),
        blockSize_(memo.RecordSize()),
        firstBlock_((kMemoHeaderSize + blockSize_ - 1) / blockSize_),
        // The blocks the file holds, a partly filled last one counted whole.
        endBlock_(static_cast<int64_t>(memo.PageCount()) + 1) {
    std::vector<char> head(static_cast<size_t>(firstBlock_) * static_cast<size_t>(blockSize_), 0);
    std::memcpy(head.data(), memo_.Header(), kMemoHeaderSize);
    out_.Append(head.data(), head.size());
  }

  TNewFile& Output() { return out_; }

  // The new first block of the value at block (0: no value).
  int32_t Copy(int32_t block) {
    if (block <= 0 || block >= endBlock_) return 0;
    const auto known = moved_.find(block);
    if (known != moved_.end()) return known->second;
    const int64_t offset = static_cast<int64_t>(block) * blockSize_;
    const int64_t blocks =
        (std::min(Extent(offset), (endBlock_ - block) * blockSize_) + blockSize_ - 1) / blockSize_;
    std::vector<char> chain(static_cast<size_t>(blocks * blockSize_), 0);
    const int32_t got = memo_.ReadAt(chain.data(), static_cast<int32_t>(chain.size()), offset);
    if (got <= 0) return moved_[block] = 0;
    const auto to = static_cast<int32_t>(out_.Size() / blockSize_);
    out_.Append(chain.data(), chain.size());
    return moved_[block] = to;
  }

  // Fills in the next free block and writes the file out.
  void Finish() {
    std::vector<char> head(memo_.Header(), memo_.Header() + kMemoHeaderSize);
    const auto next = static_cast<uint32_t>(out_.Size() / blockSize_);
    const bool foxPro = memo_.DbfFormat() == tfFoxPro || memo_.DbfFormat() == tfVisualFoxPro;
    if (foxPro)
      PutBE32(head.data(), next);
    else
      PutLE32(head.data(), next);
    out_.Overwrite(0, head.data(), head.size());
    out_.Finish();
  }

 private:
  // The bytes of the value at offset as the memo file is read: its block
  // header and data, or the text up to and with its two end bytes.
  int64_t Extent(int64_t offset) {
    uint8_t head[8] = {};
    if (memo_.ReadAt(head, sizeof head, offset) == static_cast<int32_t>(sizeof head)) {
      const int64_t length = memo_.MemoDataSize(head);
      if (length != -1) return 8 + std::max<int64_t>(length, 0);
    }
    TMemoryStream text;
    memo_.ReadMemo(static_cast<int32_t>(offset / blockSize_), text);
    return text.Size() + 2;
  }

  TMemoFile& memo_;
  TNewFile out_;
  int32_t blockSize_;
  int32_t firstBlock_;
  int64_t endBlock_;
  std::unordered_map<int32_t, int32_t> moved_;
};

// Renames, raising the pack's message with the platform's cause.
void Rename(platform::TEnv* env, const std::string& from, const std::string& to) {
  const platform::TOsStatus status = env->RenameFile(from, to);
  if (!status.IsOk())
    throw EDbfError(
        Format(kDbfPackCannotRename, from.c_str(), to.c_str(), status.Message().c_str()));
}

}  // namespace

int32_t CountDeletedRecords(TDbfFile& file) {
  const int32_t total = file.PageCount();
  std::vector<char> record(static_cast<size_t>(file.RecordSize()));
  int32_t deleted = 0;
  for (int32_t recNo = 1; recNo <= total; ++recNo) {
    if (file.ReadPage(recNo, record.data()) < 1) break;
    if (static_cast<uint8_t>(record[0]) == kDeletedFlag) ++deleted;
  }
  return deleted;
}

TPackResult PackTableFile(TDbfFile& file, const TIndexProgress& progress) {
  file.CheckExclusiveAccess();
  platform::TEnv* env = file.Env();
  const std::string table = file.FileName();
  auto* memo = dynamic_cast<TMemoFile*>(file.MemoFile());
  std::vector<const TDbfFieldDef*> blobs;
  for (int i = 0; i < file.FieldDefs().Count(); ++i)
    if (file.FieldDefs()[i].IsBlob()) blobs.push_back(&file.FieldDefs()[i]);
  if (!blobs.empty() && memo == nullptr)
    throw EDbfError(Format(kDbfNoMemoFile, ExtractFileName(table).c_str()));
  // Without a block size the values cannot be found, so they cannot be
  // kept: the pack is refused rather than the records losing them.
  if (memo != nullptr && memo->RecordSize() <= 0)
    throw EDbfError(Format(kMemoBadBlockSize, memo->FileName().c_str(), memo->RecordSize()));

  TPackResult result;
  bool restoreFailed = false;
  try {
    std::unique_ptr<TMemoCompactor> memoOut;
    if (memo != nullptr) memoOut = std::make_unique<TMemoCompactor>(*memo, env);
    TNewFile tableOut(env, table + kNewSuffix);
    std::vector<char> header(file.Header(), file.Header() + file.HeaderSize());
    tableOut.Append(header.data(), header.size());

    const int32_t total = file.PageCount();
    const int32_t recordSize = file.RecordSize();
    std::vector<char> record(static_cast<size_t>(recordSize));
    for (int32_t recNo = 1; recNo <= total; ++recNo) {
      if (progress && (recNo % 65536 == 0 || recNo == total)) progress(recNo, total);
      if (file.ReadPage(recNo, record.data()) < recordSize) break;
      // Deleted records go, and so do slots another program took and never
      // wrote: they hold no record.
      if (static_cast<uint8_t>(record[0]) != kLiveFlag) {
        ++result.removed;
        continue;
      }
      for (const TDbfFieldDef* def : blobs) {
        int32_t block = 0;
        if (!file.ReadFieldValue(*def, ftInteger, &block, record.data()) || block <= 0) continue;
        int32_t moved = memoOut ? memoOut->Copy(block) : 0;
        if (moved == block) continue;
        file.WriteFieldValue(*def, ftInteger, record.data(), moved > 0 ? &moved : nullptr);
      }
      tableOut.Append(record.data(), record.size());
      ++result.kept;
    }
    const uint8_t end = kDbfEndOfFile;
    tableOut.Append(&end, 1);
    const platform::TSystemTime now = env->LocalTime();
    header[1] = static_cast<char>(now.year - 1900);
    header[2] = static_cast<char>(now.month);
    header[3] = static_cast<char>(now.day);
    PutLE32(header.data() + kRecordCountAt, static_cast<uint32_t>(result.kept));
    tableOut.Overwrite(0, header.data(), header.size());
    tableOut.Finish();
    if (memoOut) memoOut->Finish();

    // The swap (see the header for its steps and what a crash leaves).
    if (memoOut) {
      const std::string memoName = memo->FileName();
      const std::string oldMemo = memoName + kOldMemoSuffix;
      Rename(env, memoName, oldMemo);
      try {
        Rename(env, memoOut->Output().Name(), memoName);
        // From here the new memo file goes by the memo's own name.
        memoOut->Output().Keep();
        Rename(env, tableOut.Name(), table);
      } catch (const Exception& e) {
        const platform::TOsStatus back = env->RenameFile(oldMemo, memoName);
        if (!back.IsOk()) {
          restoreFailed = true;
          throw EDbfError(Format(kDbfPackMemoNotRestored, ExtractFileName(table).c_str(),
                                 e.Message().c_str(), oldMemo.c_str(), back.Message().c_str()));
        }
        throw;
      }
      env->DeleteFile(oldMemo);
    } else {
      Rename(env, tableOut.Name(), table);
    }
    tableOut.Keep();
  } catch (const Exception& e) {
    if (restoreFailed) throw;
    throw EDbfError(Format(kDbfPackFailed, ExtractFileName(table).c_str(), e.Message().c_str()));
  }
  return result;
}
