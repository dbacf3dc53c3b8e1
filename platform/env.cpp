#include "platform/env.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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

// The read-only view of a file grows in steps of at least this many bytes.
constexpr int64_t kMinViewLength = int64_t{1} << 20;

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

// Copies length bytes from the view; false when the source vanished.
bool GuardedCopy(void* buffer, const char* source, size_t length) {
  sigjmp_buf jump;
  if (sigsetjmp(jump, 0) != 0) return false;
  tGuardedCopyJump = &jump;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(buffer, source, length);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  tGuardedCopyJump = nullptr;
  return true;
}

// ---- Files on disk ----------------------------------------------------------
//
// Reads are served from a read-only shared memory view of the file when the
// range lies within the size this handle last knew: no system call, and the
// view shows the page cache, so what another process wrote is seen at once.
// The known size follows Size() (which asks the file system), this handle's
// own writes and truncations, and short reads. Anything beyond it is read
// with pread, which also notices a file that grew.
//
// A file only shrinks under a handle when another one truncates it, which
// needs write access while this handle is open. Handles that write hold a
// share mode that keeps every truncating (exclusive) user of this engine
// out, so they use the view. Read-only handles do not: an exclusive user may
// truncate beside them, and a view would then show zeros for the cut tail of
// the last page; they always read with pread. Should some other program cut
// a file anyway, the guarded copy turns the fault into an ordinary read.
class TPosixFile : public TFile {
 public:
  TPosixFile(int fd, bool writable, bool fdWritable, int64_t size)
      : fd_(fd),
        writable_(writable),
        fdWritable_(fdWritable),
        knownSize_(size),
        viewFailed_(!writable) {}

  ~TPosixFile() override {
    if (view_ != nullptr) munmap(view_, static_cast<size_t>(viewLength_));
    close(fd_);  // releases every lock of this handle
  }

  TOsStatus ReadAt(int64_t offset, void* buffer, int64_t length, int64_t& bytesRead) override {
    bytesRead = 0;
    if (offset < 0 || length < 0) return InvalidParameter();
    if (length == 0) return TOsStatus::Ok();
    if (length <= knownSize_ - offset && EnsureView(offset + length) &&
        GuardedCopy(buffer, view_ + offset, static_cast<size_t>(length))) {
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
        // The end of the file: it is exactly this long now.
        knownSize_ = offset + bytesRead;
        break;
      }
      bytesRead += n;
    }
    knownSize_ = std::max(knownSize_, offset + bytesRead);
    return TOsStatus::Ok();
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

  // Makes the view cover the first end bytes; false when it cannot.
  bool EnsureView(int64_t end) {
    if (end <= viewLength_) return true;
    if (viewFailed_) return false;
    if (view_ != nullptr) {
      munmap(view_, static_cast<size_t>(viewLength_));
      view_ = nullptr;
      viewLength_ = 0;
    }
    const int64_t page = sysconf(_SC_PAGESIZE);
    int64_t length = std::max(kMinViewLength, end * 2);
    length = (length + page - 1) / page * page;
    // Mapping beyond the end of the file is allowed; only touching a page
    // wholly past the end faults, and reads never go past the known size.
    void* view = mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, fd_, 0);
    if (view == MAP_FAILED) {
      viewFailed_ = true;
      return false;
    }
    InstallSigbusGuard();
    view_ = static_cast<char*>(view);
    viewLength_ = length;
    return true;
  }

  int fd_;
  bool writable_;
  bool fdWritable_;
  int64_t knownSize_;
  char* view_ = nullptr;
  int64_t viewLength_ = 0;
  bool viewFailed_;  // no view (read-only handle, or mmap refused)
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

std::unique_ptr<TFile> NewMemoryFile() { return std::make_unique<TMemoryFile>(); }

}  // namespace platform
