#pragma once
// The operating-system services the engine relies on: files opened with an
// access and share mode, positioned reads and writes, size and truncation,
// byte-range locks, the program's and the current folder, file names found
// ignoring letter case, pauses, local time and the computer name, and path
// text helpers. TEnv::Default() is the Linux implementation; tests wrap it
// (TEnvWrapper) to inject failures.
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
  // handle, of this or another process, wrote before it. Reads within the
  // size this handle knows are served from a few MiB of the file mapped into
  // memory, without a system call in the common case and with a bounded
  // resident set whatever the file's size; reads that reach into the last OS
  // page of that size, or past it, ask the file system. So the end of a file
  // another handle cut short is exact in the common case; only a file cut
  // to the middle of a page this handle knew as whole reads as zeros up to
  // that page's end, until Size() is asked or a read faults on a page wholly
  // cut off.
  virtual TOsStatus ReadAt(int64_t offset, void* buffer, int64_t length, int64_t& bytesRead) = 0;
  // Reads count bytes, one every stride bytes from offset on (the deletion
  // flags of a table's records), into out; bytesRead tells how many (fewer
  // at the end of the file). Sees what ReadAt sees. The file on disk
  // touches only the memory that holds them; this default reads runs of
  // whole strides.
  virtual TOsStatus ReadEvery(int64_t offset, int64_t stride, int64_t count, uint8_t* out,
                              int64_t& bytesRead);
  // Says that reads will come at scattered places (the pages of an index),
  // where moving the memory window would cost more than asking the file
  // system: every later read asks it.
  virtual void SetScatteredReads() {}
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
  // Gives the file called from the name to, replacing a file called to in
  // one step: whoever opens to sees the old file or the new one, never
  // neither, and handles open on the old file keep reading it. Both names
  // must lie on one file system (the same folder, in practice). The folder
  // of to is then pushed to the storage device, so that the new name
  // survives a crash; the caller flushes the file itself before.
  virtual TOsStatus RenameFile(const std::string& from, const std::string& to) = 0;

  // The folder and name services below work on the host's file system in
  // every environment unless overridden.

  // The folder of the running program's executable file, without a
  // trailing separator ("/" for the root); empty when it cannot be told.
  virtual std::string ExecutableFolder();
  // The current directory, in the same form; empty when it cannot be read.
  virtual std::string CurrentFolder();
  // Finds an existing regular file (or link to one) whose last component
  // equals that of name ignoring letter case, in the folder name gives (the
  // current one when it gives none), as a case-insensitive file system
  // would: "data/AGENCIAS.DBT" for "data/agencias.dbt". Gives name itself
  // when it exists as given; otherwise name with its last component
  // replaced by the actual one (the first in byte order should several
  // match); empty when none. The folder part is taken as it stands. Letters
  // of UTF-8 names compare by their simple upper case, one code point for
  // one; bytes that are not UTF-8 must match exactly.
  virtual std::string FindFileIgnoringCase(const std::string& name);

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
  TOsStatus RenameFile(const std::string& from, const std::string& to) override {
    return target_->RenameFile(from, to);
  }
  std::string ExecutableFolder() override { return target_->ExecutableFolder(); }
  std::string CurrentFolder() override { return target_->CurrentFolder(); }
  std::string FindFileIgnoringCase(const std::string& name) override {
    return target_->FindFileIgnoringCase(name);
  }
  void Sleep(uint32_t milliseconds) override { target_->Sleep(milliseconds); }
  TSystemTime LocalTime() override { return target_->LocalTime(); }
  std::string ComputerName() override { return target_->ComputerName(); }

 private:
  TEnv* target_;
};

// ---- Paths ------------------------------------------------------------------
// Paths are text; these functions only look at the text, never at the disk.

constexpr char kPathDelimiter = '/';

// True when path starts at the root ("/data/x.dbf"), false for a path
// relative to some folder ("x.dbf", "data/x.dbf", "").
bool IsAbsolutePath(const std::string& path);
// name inside folder: "a" + "b.dbf" gives "a/b.dbf", with one separator
// between them however many folder ends with. An absolute name, or an
// empty folder, gives name itself; an empty name gives folder.
std::string JoinPath(const std::string& folder, const std::string& name);
// path made absolute against base (itself absolute) when it is relative,
// with "." and empty components dropped and ".." taking away the component
// before it (nothing above the root). No trailing separator except for the
// root: ExpandPath("../x//y/./z", "/a/b") gives "/a/x/y/z".
std::string ExpandPath(const std::string& path, const std::string& base);

// A file held in memory, for tables kept in memory only. Locks always
// succeed: no other handle can see the file.
std::unique_ptr<TFile> NewMemoryFile();

}  // namespace platform
