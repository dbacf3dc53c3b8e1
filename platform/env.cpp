#include "platform/env.h"

#include <dirent.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {
namespace {

// Share modes are emulated with an open-file-description lock on one byte
// far beyond any data and beyond the virtual lock area (which reaches down
// from 0xEFFFFFFE): a handle that writes and shares holds a read lock on it,
// a handle that denies writing a write lock; a read-only handle none.
constexpr off_t kShareModeByte = 0x7FFFFFFF00000000;

// A file is read through a window of kViewWindow bytes of its memory view,
// starting at a multiple of kViewStep: any range of up to kViewStep bytes
// fits in the window that starts at or below it, and a walk in either
// direction moves the window once every kViewStep bytes. Only the window is
// mapped, so the pages a walk touched stop counting as this process's
// memory once it moves on, whatever the size of the file.
constexpr int64_t kViewStep = int64_t{2} << 20;
constexpr int64_t kViewWindow = 2 * kViewStep;
// A read at most this far from the one before is taken as part of a walk.
constexpr int64_t kWalkDistance = int64_t{64} << 10;
// Reads of this many bytes or more use pread: their copy outweighs the
// system call, and pread makes it without faulting the pages into the
// window and unmapping them again.
constexpr int64_t kLargeRead = int64_t{32} << 10;

int64_t OsPageSize() {
  static const int64_t size = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
  return size;
}

TOsStatus StatusFromErrno(int err) {
  uint32_t code;
  switch (err) {
    case ENOENT:
      code = kErrorFileNotFound;
      break;
    case ENOTDIR:
    case ENAMETOOLONG:
      code = kErrorPathNotFound;
      break;
    case EMFILE:
    case ENFILE:
      code = kErrorTooManyOpenFiles;
      break;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY:
    case EBADF:
      code = kErrorAccessDenied;
      break;
    case EEXIST:
      code = kErrorFileExists;
      break;
    case EINVAL:
    case EOVERFLOW:
    case EFBIG:
      code = kErrorInvalidParameter;
      break;
    case ENOSPC:
    case EDQUOT:
      code = kErrorDiskFull;
      break;
    default:
      code = kErrorGenFailure;
      break;
  }
  return TOsStatus(code, std::strerror(err));
}

TOsStatus InvalidParameter() {
  return TOsStatus(kErrorInvalidParameter, "The parameter is incorrect.");
}

// ---- Reads through the view that survive a shrinking file ----------------
//
// Another handle may truncate a file while this one reads it through its
// memory view; touching a view page past the new end raises SIGBUS. Copies
// from the view run under a guard: the SIGBUS handler jumps back out of the
// copy, which then reports failure and the caller reads with pread instead.
// Faults outside a guarded copy go to the handler that was there before.

thread_local sigjmp_buf* tGuardedCopyJump = nullptr;
struct sigaction gPreviousSigbus;
std::once_flag gSigbusOnce;

void OnSigbus(int, siginfo_t*, void*) {
  sigjmp_buf* jump = tGuardedCopyJump;
  if (jump != nullptr) {
    tGuardedCopyJump = nullptr;
    siglongjmp(*jump, 1);
  }
  // Not ours: put the previous handling back. Returning runs the faulting
  // instruction again, which then faults into it.
  sigaction(SIGBUS, &gPreviousSigbus, nullptr);
}

void InstallSigbusGuard() {
  std::call_once(gSigbusOnce, [] {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = OnSigbus;
    // SA_NODEFER keeps SIGBUS unblocked, so jumping out of the handler
    // needs no change of the signal mask (and no system call to restore it).
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &gPreviousSigbus);
  });
}

// Runs copy, which reads from the view; false when its source vanished.
template <typename Copy>
bool Guarded(const Copy& copy) {
  sigjmp_buf jump;
  if (sigsetjmp(jump, 0) != 0) return false;
  tGuardedCopyJump = &jump;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  copy();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  tGuardedCopyJump = nullptr;
  return true;
}

// Copies length bytes from the view; false when the source vanished.
bool GuardedCopy(void* buffer, const char* source, size_t length) {
  return Guarded([&] { std::memcpy(buffer, source, length); });
}

// Copies count bytes, one every stride bytes, from the view; false when
// the source vanished.
bool GuardedGather(uint8_t* out, const char* source, int64_t stride, int64_t count) {
  return Guarded([&] {
    for (int64_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(source[i * stride]);
  });
}

}  // namespace

TOsStatus TFile::ReadEvery(int64_t offset, int64_t stride, int64_t count, uint8_t* out,
                           int64_t& bytesRead) {
  bytesRead = 0;
  if (offset < 0 || stride <= 0 || count < 0) return InvalidParameter();
  // Runs of whole strides of about 256 KiB, each with one read.
  const int64_t perRun = std::max<int64_t>(1, (int64_t{256} << 10) / stride);
  std::vector<char> run(static_cast<size_t>(std::min(count, perRun) * stride));
  while (bytesRead < count) {
    const int64_t n = std::min(perRun, count - bytesRead);
    int64_t got = 0;
    const TOsStatus status =
        ReadAt(offset + bytesRead * stride, run.data(), (n - 1) * stride + 1, got);
    const int64_t whole = got > 0 ? (got - 1) / stride + 1 : 0;
    for (int64_t i = 0; i < whole; ++i)
      out[bytesRead + i] = static_cast<uint8_t>(run[static_cast<size_t>(i * stride)]);
    bytesRead += whole;
    if (!status.IsOk() || whole < n) return status;
  }
  return TOsStatus::Ok();
}

namespace {

// ---- Files on disk ----------------------------------------------------------
//
// Reads are served from a read-only shared window onto the file (see
// kViewWindow) when the range lies in whole OS pages within the size this
// handle last knew: no system call in the common case, and the window shows
// the page cache, so what another handle or process wrote is seen at once.
// The known size follows Size() (which asks the file system), this handle's
// own writes and truncations, and short reads. A range that reaches into the
// last, partial page of the known size, or beyond it, is read with pread:
// that notices a file that grew, and gives the exact end of a file another
// handle cut short within that page, where a view would show zeros. A file
// cut short by more than that faults when the window touches a page wholly
// past the new end; the guarded copy turns the fault into a pread and the
// known size is asked again.
class TPosixFile : public TFile {
 public:
  TPosixFile(int fd, bool writable, bool fdWritable, int64_t size)
      : fd_(fd), writable_(writable), fdWritable_(fdWritable), knownSize_(size) {}

  ~TPosixFile() override {
    if (view_ != nullptr) munmap(view_, static_cast<size_t>(kViewWindow));
    close(fd_);  // releases every lock of this handle
  }

  TOsStatus ReadAt(int64_t offset, void* buffer, int64_t length, int64_t& bytesRead) override {
    bytesRead = 0;
    if (offset < 0 || length < 0) return InvalidParameter();
    if (length == 0) return TOsStatus::Ok();
    if (ReadFromView(offset, buffer, length)) {
      bytesRead = length;
      return TOsStatus::Ok();
    }
    char* out = static_cast<char*>(buffer);
    while (bytesRead < length) {
      ssize_t n = pread(fd_, out + bytesRead, static_cast<size_t>(length - bytesRead),
                        static_cast<off_t>(offset + bytesRead));
      if (n < 0) {
        if (errno == EINTR) continue;
        return StatusFromErrno(errno);
      }
      if (n == 0) {
        // The end of the file: it is exactly this long now when anything
        // was read. Nothing at all at offset, below the size this handle
        // knew, says only that the file shrank: its size is asked, so that
        // later reads stay exact.
        if (bytesRead > 0) {
          knownSize_ = offset + bytesRead;
        } else if (offset < knownSize_) {
          RefreshKnownSize(offset);
        }
        return TOsStatus::Ok();
      }
      bytesRead += n;
    }
    knownSize_ = std::max(knownSize_, offset + bytesRead);
    return TOsStatus::Ok();
  }

  TOsStatus ReadEvery(int64_t offset, int64_t stride, int64_t count, uint8_t* out,
                      int64_t& bytesRead) override {
    bytesRead = 0;
    if (offset < 0 || stride <= 0 || count < 0) return InvalidParameter();
    // The bytes within whole pages of the known size come from the window,
    // moved along as the walk goes: only the cache lines holding them are
    // touched. The rest, and everything when the file cannot be mapped,
    // comes from reads.
    const int64_t wholePages = knownSize_ - knownSize_ % OsPageSize();
    while (bytesRead < count) {
      const int64_t at = offset + bytesRead * stride;
      if (at >= wholePages) break;
      if ((view_ == nullptr || at < viewStart_ || at >= viewStart_ + kViewWindow) && !MoveView(at))
        break;
      const int64_t end = std::min(viewStart_ + kViewWindow, wholePages);
      const int64_t n = std::min(count - bytesRead, (end - 1 - at) / stride + 1);
      if (!GuardedGather(out + bytesRead, view_ + (at - viewStart_), stride, n)) {
        // A page is gone: another handle cut the file short.
        RefreshKnownSize(at);
        break;
      }
      bytesRead += n;
    }
    if (bytesRead == count) return TOsStatus::Ok();
    int64_t more = 0;
    const TOsStatus status = TFile::ReadEvery(offset + bytesRead * stride, stride,
                                              count - bytesRead, out + bytesRead, more);
    bytesRead += more;
    return status;
  }

  void SetScatteredReads() override {
    if (view_ != nullptr) munmap(view_, static_cast<size_t>(kViewWindow));
    view_ = nullptr;
    viewFailed_ = true;
  }

  TOsStatus WriteAt(int64_t offset, const void* buffer, int64_t length,
                    int64_t& bytesWritten) override {
    bytesWritten = 0;
    if (!writable_) return StatusFromErrno(EBADF);
    if (offset < 0 || length < 0) return InvalidParameter();
    const char* in = static_cast<const char*>(buffer);
    while (bytesWritten < length) {
      ssize_t n = pwrite(fd_, in + bytesWritten, static_cast<size_t>(length - bytesWritten),
                         static_cast<off_t>(offset + bytesWritten));
      if (n < 0) {
        if (errno == EINTR) continue;
        return StatusFromErrno(errno);
      }
      bytesWritten += n;
    }
    knownSize_ = std::max(knownSize_, offset + bytesWritten);
    return TOsStatus::Ok();
  }

  TOsStatus Size(int64_t& size) override {
    struct stat st;
    if (fstat(fd_, &st) != 0) return StatusFromErrno(errno);
    size = st.st_size;
    knownSize_ = size;
    return TOsStatus::Ok();
  }

  TOsStatus SetSize(int64_t size) override {
    if (!writable_) return StatusFromErrno(EBADF);
    if (size < 0) return InvalidParameter();
    while (ftruncate(fd_, static_cast<off_t>(size)) != 0) {
      if (errno != EINTR) return StatusFromErrno(errno);
    }
    knownSize_ = size;
    return TOsStatus::Ok();
  }

  TOsStatus Flush() override {
    if (!writable_) return TOsStatus::Ok();
    if (fdatasync(fd_) != 0) return StatusFromErrno(errno);
    return TOsStatus::Ok();
  }

  TOsStatus Lock(uint64_t offset, uint64_t length) override {
    if (!ValidRange(offset, length)) return InvalidParameter();
    for (const auto& held : locks_) {
      if (Overlaps(held, offset, length)) return LockViolation();
    }
    if (length > 0) {
      // A handle open for reading only cannot hold a write lock; its locks
      // still keep every writer out.
      struct flock fl = MakeLock(fdWritable_ ? F_WRLCK : F_RDLCK, offset, length);
      if (fcntl(fd_, F_OFD_SETLK, &fl) != 0) {
        if (errno == EAGAIN || errno == EACCES) return LockViolation();
        return StatusFromErrno(errno);
      }
    }
    locks_.emplace_back(offset, length);
    return TOsStatus::Ok();
  }

  TOsStatus Unlock(uint64_t offset, uint64_t length) override {
    auto it = std::find(locks_.begin(), locks_.end(), std::make_pair(offset, length));
    if (it == locks_.end()) {
      return TOsStatus(kErrorNotLocked, "The segment is already unlocked.");
    }
    if (length > 0) {
      struct flock fl = MakeLock(F_UNLCK, offset, length);
      if (fcntl(fd_, F_OFD_SETLK, &fl) != 0) return StatusFromErrno(errno);
    }
    locks_.erase(it);
    return TOsStatus::Ok();
  }

 private:
  using TRange = std::pair<uint64_t, uint64_t>;

  static bool ValidRange(uint64_t offset, uint64_t length) {
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    return offset <= kMax && length <= kMax - offset;
  }
  static bool Overlaps(const TRange& held, uint64_t offset, uint64_t length) {
    if (held.second == 0 || length == 0) return false;
    return offset < held.first + held.second && held.first < offset + length;
  }
  static TOsStatus LockViolation() {
    return TOsStatus(kErrorLockViolation,
                     "The process cannot access the file because another process has locked a "
                     "portion of the file.");
  }
  static struct flock MakeLock(short type, uint64_t offset, uint64_t length) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    return fl;
  }

  // Copies the range from the window, moving the window when needed; false
  // when the range must be read with pread instead.
  bool ReadFromView(int64_t offset, void* buffer, int64_t length) {
    const int64_t wholePages = knownSize_ - knownSize_ % OsPageSize();
    if (length >= kLargeRead || offset > wholePages - length) return false;
    if (view_ == nullptr || offset < viewStart_ || offset + length > viewStart_ + kViewWindow) {
      // Only a walk moves the window: a read just past its edge, or near
      // the last read that missed it. A lone read elsewhere (visits in an
      // index's order) costs less with pread than mapping a window for it.
      const bool nearWindow = view_ != nullptr && offset + length >= viewStart_ - kWalkDistance &&
                              offset <= viewStart_ + kViewWindow + kWalkDistance;
      const bool nearMiss = std::abs(offset - previousMiss_) <= kWalkDistance;
      previousMiss_ = offset;
      if (!(nearWindow || nearMiss) || !MoveView(offset)) return false;
    }
    if (GuardedCopy(buffer, view_ + (offset - viewStart_), static_cast<size_t>(length))) {
      return true;
    }
    // A page of the range is gone: another handle cut the file short.
    RefreshKnownSize(offset);
    return false;
  }

  // Learns the size of a file that shrank (offset should it not be told).
  void RefreshKnownSize(int64_t offset) {
    struct stat st;
    knownSize_ = fstat(fd_, &st) == 0 ? st.st_size : offset;
  }

  // Maps the window that holds offset in place of the current one; false
  // when the file cannot be mapped (it is then always read with pread).
  bool MoveView(int64_t offset) {
    if (viewFailed_) return false;
    if (view_ != nullptr) {
      munmap(view_, static_cast<size_t>(kViewWindow));
      view_ = nullptr;
    }
    const int64_t start = offset - offset % kViewStep;
    // Mapping beyond the end of the file is allowed; only touching a page
    // wholly past the end faults, and reads stay within the known size.
    void* view = mmap(nullptr, static_cast<size_t>(kViewWindow), PROT_READ, MAP_SHARED, fd_,
                      static_cast<off_t>(start));
    if (view == MAP_FAILED) {
      viewFailed_ = true;
      return false;
    }
    InstallSigbusGuard();
    view_ = static_cast<char*>(view);
    viewStart_ = start;
    return true;
  }

  int fd_;
  bool writable_;
  bool fdWritable_;
  int64_t knownSize_;
  char* view_ = nullptr;  // kViewWindow bytes of the file from viewStart_
  int64_t viewStart_ = 0;
  bool viewFailed_ = false;   // mmap refused or not wanted: every read uses pread
  int64_t previousMiss_ = 0;  // offset of the last read outside the window
  std::vector<TRange> locks_;
};

// ---- Files in memory --------------------------------------------------------

class TMemoryFile : public TFile {
 public:
  TOsStatus ReadAt(int64_t offset, void* buffer, int64_t length, int64_t& bytesRead) override {
    bytesRead = 0;
    if (offset < 0 || length < 0) return InvalidParameter();
    const int64_t size = static_cast<int64_t>(data_.size());
    if (offset >= size) return TOsStatus::Ok();
    bytesRead = std::min(length, size - offset);
    std::memcpy(buffer, data_.data() + offset, static_cast<size_t>(bytesRead));
    return TOsStatus::Ok();
  }

  TOsStatus WriteAt(int64_t offset, const void* buffer, int64_t length,
                    int64_t& bytesWritten) override {
    bytesWritten = 0;
    if (offset < 0 || length < 0 || length > std::numeric_limits<int64_t>::max() - offset) {
      return InvalidParameter();
    }
    if (length == 0) return TOsStatus::Ok();
    const auto end = static_cast<size_t>(offset + length);
    if (end > data_.size()) data_.resize(end, 0);
    std::memcpy(data_.data() + offset, buffer, static_cast<size_t>(length));
    bytesWritten = length;
    return TOsStatus::Ok();
  }

  TOsStatus Size(int64_t& size) override {
    size = static_cast<int64_t>(data_.size());
    return TOsStatus::Ok();
  }

  TOsStatus SetSize(int64_t size) override {
    if (size < 0) return InvalidParameter();
    data_.resize(static_cast<size_t>(size), 0);
    return TOsStatus::Ok();
  }

  TOsStatus Flush() override { return TOsStatus::Ok(); }
  TOsStatus Lock(uint64_t, uint64_t) override { return TOsStatus::Ok(); }
  TOsStatus Unlock(uint64_t, uint64_t) override { return TOsStatus::Ok(); }

 private:
  std::vector<char> data_;
};

// ---- Names ------------------------------------------------------------------

// Equal ignoring letter case: code point by code point in upper case, as a
// case-insensitive Windows file system compares names ("ı" and "i" both
// match "I").
bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  const auto lengthA = static_cast<int32_t>(a.size());
  const auto lengthB = static_cast<int32_t>(b.size());
  int32_t i = 0;
  int32_t j = 0;
  while (i < lengthA && j < lengthB) {
    const int32_t startA = i;
    const int32_t startB = j;
    UChar32 ca;
    UChar32 cb;
    U8_NEXT(a.data(), i, lengthA, ca);
    U8_NEXT(b.data(), j, lengthB, cb);
    if (ca < 0 || cb < 0) {
      // Not UTF-8: the bytes must be the same.
      if (a.compare(startA, i - startA, b, startB, j - startB) != 0) return false;
    } else if (ca != cb && u_toupper(ca) != u_toupper(cb)) {
      return false;
    }
  }
  return i == lengthA && j == lengthB;
}

// Calls fill(buffer, size, result), which gives false when the buffer is too
// small, with buffers growing from 256 bytes up to 1 MiB; gives the result,
// or "" when no buffer was large enough.
template <typename TFill>
std::string WithGrowingBuffer(TFill fill) {
  for (size_t size = 256; size <= (size_t{1} << 20); size *= 2) {
    std::vector<char> buffer(size);
    std::string result;
    if (fill(buffer.data(), size, result)) return result;
  }
  return std::string();
}

// The folder part of an absolute file name: "/a/b" gives "/a", "/b" gives "/".
std::string FolderOf(const std::string& name) {
  const size_t slash = name.rfind(kPathDelimiter);
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string(1, kPathDelimiter) : name.substr(0, slash);
}

// ---- The environment --------------------------------------------------------

class TPosixEnv : public TEnv {
 public:
  TOsStatus OpenFile(const std::string& name, TFileOpenMode mode,
                     std::unique_ptr<TFile>& file) override {
    const bool writable = mode != fmReadOnlyShared;
    // A read-only handle is opened for writing when the file allows it, so
    // that its byte-range locks can be exclusive; it never writes.
    int fd = open(name.c_str(), O_RDWR | O_CLOEXEC);
    bool fdWritable = true;
    if (fd < 0 && !writable &&
        (errno == EACCES || errno == EROFS || errno == ETXTBSY || errno == EPERM ||
         errno == EISDIR)) {
      fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
      fdWritable = false;
    }
    if (fd < 0) return StatusFromErrno(errno);

    struct stat st;
    if (fstat(fd, &st) != 0) {
      TOsStatus status = StatusFromErrno(errno);
      close(fd);
      return status;
    }
    if (!S_ISREG(st.st_mode)) {
      close(fd);
      return StatusFromErrno(EISDIR);
    }
    if (writable) {
      struct flock fl;
      std::memset(&fl, 0, sizeof fl);
      fl.l_type = mode == fmReadWriteDenyWrite ? F_WRLCK : F_RDLCK;
      fl.l_whence = SEEK_SET;
      fl.l_start = kShareModeByte;
      fl.l_len = 1;
      if (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        const int err = errno;
        close(fd);
        if (err == EAGAIN || err == EACCES) {
          return TOsStatus(kErrorSharingViolation,
                           "The process cannot access the file because it is being used by "
                           "another process.");
        }
        return StatusFromErrno(err);
      }
    }
    file = std::make_unique<TPosixFile>(fd, writable, fdWritable, st.st_size);
    return TOsStatus::Ok();
  }

  TOsStatus CreateFile(const std::string& name) override {
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return StatusFromErrno(errno);
    close(fd);
    return TOsStatus::Ok();
  }

  bool FileExists(const std::string& name) override {
    struct stat st;
    return stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  TOsStatus DeleteFile(const std::string& name) override {
    if (unlink(name.c_str()) != 0) return StatusFromErrno(errno);
    return TOsStatus::Ok();
  }

  TOsStatus RenameFile(const std::string& from, const std::string& to) override {
    if (rename(from.c_str(), to.c_str()) != 0) return StatusFromErrno(errno);
    // The rename is done; a folder that cannot be synced (some file systems
    // refuse fsync on folders) leaves it done, only less durable.
    const std::string folder = FolderOf(to);
    const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      fsync(fd);
      close(fd);
    }
    return TOsStatus::Ok();
  }

  void Sleep(uint32_t milliseconds) override {
    struct timespec remaining;
    remaining.tv_sec = milliseconds / 1000;
    remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
  }

  TSystemTime LocalTime() override {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts;
    localtime_r(&now.tv_sec, &parts);
    TSystemTime result;
    result.year = parts.tm_year + 1900;
    result.month = parts.tm_mon + 1;
    result.dayOfWeek = parts.tm_wday;
    result.day = parts.tm_mday;
    result.hour = parts.tm_hour;
    result.minute = parts.tm_min;
    result.second = std::min(parts.tm_sec, 59);
    result.milliseconds = static_cast<int>(now.tv_nsec / 1000000L);
    return result;
  }

  std::string ComputerName() override {
    char name[261];
    if (gethostname(name, sizeof name) != 0) return std::string();
    name[sizeof name - 1] = '\0';
    return std::string(name);
  }
};

}  // namespace

TEnv* TEnv::Default() {
  static TPosixEnv env;
  return &env;
}

std::string TEnv::ExecutableFolder() {
  const std::string file = WithGrowingBuffer([](char* buffer, size_t size, std::string& result) {
    const ssize_t n = readlink("/proc/self/exe", buffer, size);
    if (n < 0) return true;  // unknown: give ""
    if (static_cast<size_t>(n) >= size) return false;
    result.assign(buffer, static_cast<size_t>(n));
    return true;
  });
  return FolderOf(file);
}

std::string TEnv::CurrentFolder() {
  return WithGrowingBuffer([](char* buffer, size_t size, std::string& result) {
    if (getcwd(buffer, size) != nullptr) {
      result = buffer;
      return true;
    }
    return errno != ERANGE;  // another failure: give ""
  });
}

std::string TEnv::FindFileIgnoringCase(const std::string& name) {
  if (FileExists(name)) return name;
  const size_t slash = name.rfind(kPathDelimiter);
  const std::string prefix = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
  const std::string last = name.substr(prefix.size());
  if (last.empty() || last == "." || last == "..") return std::string();
  DIR* folder = opendir(prefix.empty() ? "." : prefix.c_str());
  if (folder == nullptr) return std::string();
  std::string found;
  while (const struct dirent* entry = readdir(folder)) {
    const std::string candidate = entry->d_name;
    if ((found.empty() || prefix + candidate < found) && SameNameIgnoringCase(candidate, last) &&
        FileExists(prefix + candidate)) {
      found = prefix + candidate;
    }
  }
  closedir(folder);
  return found;
}

bool IsAbsolutePath(const std::string& path) { return !path.empty() && path[0] == kPathDelimiter; }

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || IsAbsolutePath(name)) return name;
  if (name.empty()) return folder;
  const size_t end = folder.find_last_not_of(kPathDelimiter);
  // A folder of separators only is the root.
  const std::string head = end == std::string::npos ? std::string() : folder.substr(0, end + 1);
  return head + kPathDelimiter + name;
}

std::string ExpandPath(const std::string& path, const std::string& base) {
  const std::string full = IsAbsolutePath(path) ? path : JoinPath(base, path);
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= full.size()) {
    size_t next = full.find(kPathDelimiter, at);
    if (next == std::string::npos) next = full.size();
    const std::string part = full.substr(at, next - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = next + 1;
  }
  std::string result;
  for (const std::string& part : parts) result += kPathDelimiter + part;
  return result.empty() ? std::string(1, kPathDelimiter) : result;
}

std::unique_ptr<TFile> NewMemoryFile() { return std::make_unique<TMemoryFile>(); }

}  // namespace platform
