#pragma once
// The operating-system services the engine relies on: files opened with an
// access and share mode, positioned reads and writes, size and truncation,
// byte-range locks, pauses, local time and the computer name. TEnv::Default()
// is the Linux implementation; tests wrap it (TEnvWrapper) to inject failures.
// Failures are reported as results carrying a Windows-style error code, never
// as exceptions: callers in tdbf/ decide what a failure means.

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Error codes, numbered as the Windows services they stand in for report them.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorLockViolation = 33;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorNotLocked = 158;

// The outcome of one service call: success, or an error code with a short
// English description of the cause ("No such file or directory").
class TOsStatus {
 public:
  TOsStatus() = default;
  TOsStatus(uint32_t code, std::string message) : code_(code), message_(std::move(message)) {}
  static TOsStatus Ok() { return TOsStatus(); }

  bool IsOk() const { return code_ == kErrorSuccess; }
  bool IsLockViolation() const { return code_ == kErrorLockViolation; }
  bool IsSharingViolation() const { return code_ == kErrorSharingViolation; }
  uint32_t Code() const { return code_; }
  const std::string& Message() const { return message_; }

 private:
  uint32_t code_ = kErrorSuccess;
  std::string message_;
};

// How a file is opened. Share modes hold among all handles of all processes
// that use this engine, including two handles inside one process:
//   fmReadWriteDenyWrite  reading and writing; others may open for reading
//                         only. Refused while another handle can write.
//   fmReadWriteShared     reading and writing; others may do anything but
//                         deny writing. Refused while another handle denies
//                         writing.
//   fmReadOnlyShared      reading only; never refused for sharing reasons.
enum TFileOpenMode { fmReadWriteDenyWrite, fmReadWriteShared, fmReadOnlyShared };

// An open file. Destroying it releases its byte-range locks and closes it.
// Offsets and lengths are in bytes. One thread uses a handle at a time.
class TFile {
 public:
  TFile() = default;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  virtual ~TFile() = default;

  // Reads up to length bytes at offset into buffer; bytesRead tells how many
  // (fewer at the end of the file, 0 beyond it). Every read sees what any
  // handle, of this or another process, wrote before it. Handles that write
  // read through a memory view without a system call; a file cut short by
  // another handle then reads as zeros up to the end of its last memory page
  // until Size() is asked, which the share modes rule out among this engine's
  // users. Read-only handles read exactly.
  virtual TOsStatus ReadAt(int64_t offset, void* buffer, int64_t length, int64_t& bytesRead) = 0;
  // Writes length bytes at offset, extending the file when needed.
  virtual TOsStatus WriteAt(int64_t offset, const void* buffer, int64_t length,
                            int64_t& bytesWritten) = 0;
  // The current size, as the file system has it now.
  virtual TOsStatus Size(int64_t& size) = 0;
  // Truncates or extends (with zero bytes) the file to size.
  virtual TOsStatus SetSize(int64_t size) = 0;
  // Pushes written data to the storage device.
  virtual TOsStatus Flush() = 0;

  // Locks length bytes at offset for this handle alone, without waiting
  // (LockFile). A range that overlaps one held by any other handle, or one
  // this handle already holds, is refused with kErrorLockViolation. The
  // range may lie beyond the end of the file.
  virtual TOsStatus Lock(uint64_t offset, uint64_t length) = 0;
  // Releases a range taken by Lock with the same offset and length
  // (UnlockFile); any other range gives kErrorNotLocked.
  virtual TOsStatus Unlock(uint64_t offset, uint64_t length) = 0;
};

// Local date and time, as GetLocalTime gives it.
struct TSystemTime {
  int year = 0;
  int month = 0;      // 1..12
  int dayOfWeek = 0;  // 0 = Sunday
  int day = 0;        // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;
};

// The file and system services. Default() lives for the whole process.
class TEnv {
 public:
  TEnv() = default;
  TEnv(const TEnv&) = delete;
  TEnv& operator=(const TEnv&) = delete;
  virtual ~TEnv() = default;

  static TEnv* Default();

  // Opens an existing file. A missing file gives kErrorFileNotFound, a share
  // conflict kErrorSharingViolation, missing rights kErrorAccessDenied.
  virtual TOsStatus OpenFile(const std::string& name, TFileOpenMode mode,
                             std::unique_ptr<TFile>& file) = 0;
  // Creates an empty file when none exists; an existing one is left as it is.
  virtual TOsStatus CreateFile(const std::string& name) = 0;
  // True when name is an existing regular file (or a link to one).
  virtual bool FileExists(const std::string& name) = 0;
  virtual TOsStatus DeleteFile(const std::string& name) = 0;

  // Pauses the calling thread.
  virtual void Sleep(uint32_t milliseconds) = 0;
  virtual TSystemTime LocalTime() = 0;
  // The host name (GetComputerNameA), at most 260 characters.
  virtual std::string ComputerName() = 0;
};

// Forwards every call to another environment; a test overrides the calls it
// wants to fail or observe.
class TEnvWrapper : public TEnv {
 public:
  explicit TEnvWrapper(TEnv* target) : target_(target) {}
  TEnv* Target() const { return target_; }

  TOsStatus OpenFile(const std::string& name, TFileOpenMode mode,
                     std::unique_ptr<TFile>& file) override {
    return target_->OpenFile(name, mode, file);
  }
  TOsStatus CreateFile(const std::string& name) override { return target_->CreateFile(name); }
  bool FileExists(const std::string& name) override { return target_->FileExists(name); }
  TOsStatus DeleteFile(const std::string& name) override { return target_->DeleteFile(name); }
  void Sleep(uint32_t milliseconds) override { target_->Sleep(milliseconds); }
  TSystemTime LocalTime() override { return target_->LocalTime(); }
  std::string ComputerName() override { return target_->ComputerName(); }

 private:
  TEnv* target_;
};

// A file held in memory, for tables kept in memory only. Locks always
// succeed: no other handle can see the file.
std::unique_ptr<TFile> NewMemoryFile();

}  // namespace platform
