#pragma once
// What the parts of TIndexFile share: the layout constants of the file, a
// tag's state and the operation guard of shared mode. Only the index
// file's own sources include this.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "platform/collator.h"
#include "tdbf/expr/dbf_parser.h"
#include "tdbf/index/dbf_idxfile.h"

constexpr int32_t kBlock = 512;
constexpr int32_t kMdxHeaderBytes = 2048;
constexpr int32_t kNdxHeaderBytes = 512;
constexpr int32_t kTagHeaderBytes = 1024;
// A deeper tree cannot hold 2^31 records even with 3 keys a page.
constexpr int kMaxDepth = 24;
// Pages kept in memory between operations of an exclusive handle.
constexpr size_t kMaxCachedPages = 16384;
constexpr int32_t kJulianDayOf18991230 = 2415019;

// Index header offsets.
constexpr int kRootAt = 0, kPageCountAt = 4, kFlagsAt = 8, kKeyTypeAt = 9, kMarkerAt = 10;
constexpr int kKeyLengthAt = 12, kMaxKeysAt = 14, kKeyNumericAt = 16, kEntrySizeAt = 18;
constexpr int kVersionWordAt = 20, kUniqueByteAt = 23, kExpressionAt = 24, kKeyPresentAt = 246;
constexpr int kExpressionWidth = 220;
constexpr uint8_t kFlagDescending = 0x08, kFlagCharacter = 0x10, kFlagDistinct = 0x20,
                  kFlagUnique = 0x40;
// Multi-index file header offsets.
constexpr int kTagEntrySizeAt = 26, kTagCountAt = 28, kLanguageIdAt = 31, kBlockCountAt = 32;

// The file name without folder and extension.
inline std::string BaseNameOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

struct TIndexFile::TTag {
  std::string name;
  int32_t headerBlock = 0;  // multi-index: block of the tag header
  std::vector<char> header;
  bool headerDirty = false;
  // In a shared mode: the header may have changed since it was read.
  bool headerStale = false;
  int32_t root = 0;
  uint8_t flags = 0;
  char keyType = 'C';
  int32_t keyLength = 0;
  int32_t maxKeys = 0;
  int32_t entrySize = 0;
  std::string expression;
  std::unique_ptr<TDbfParser> parser;
  // The walk: the path from the root, what it stands on, and the entry
  // (key and record) to find it again after the tree changed.
  std::vector<TLevel> path;
  TWalkState state = wsBefore;
  std::string currentKey;
  int32_t currentRecNo = 0;
  uint64_t pathVersion = 0;
  uint64_t treeVersion = 1;
  std::string rangeLow;
  std::string rangeHigh;
  // The locale collation of character keys, opened when keys are first
  // compared: showing a tag in its order needs none (see Collator).
  mutable std::unique_ptr<platform::TCollator> collator;
  mutable bool collatorOpened = false;

  TIndexUniqueMode Unique() const {
    if (flags & kFlagDistinct) return iuDistinct;
    if (flags & kFlagUnique) return iuUnique;
    return iuNormal;
  }
};

// One operation on the file. In a shared mode it holds the lock on page 0
// (a read lock for a read-only handle), starts from the headers and pages
// as other processes left them, and writes what it changed before letting
// go. Operations nest; the outermost one does the work. A hold
// (BeginHold) is an outermost operation that changes nothing: the
// operations within it write their changes as an outermost one would.
class TIndexFile::TOperation {
 public:
  explicit TOperation(TIndexFile& file) : file_(file), exceptions_(std::uncaught_exceptions()) {
    if (file_.lockDepth_++ > 0) return;
    if (!file_.NeedLocks()) {
      // An exclusive handle keeps pages between operations, up to a bound.
      // A trim that cannot write its pages fails the operation, which then
      // never began.
      if (file_.pages_.size() > kMaxCachedPages) {
        try {
          file_.TrimCache();
        } catch (...) {
          --file_.lockDepth_;
          throw;
        }
      }
      return;
    }
    file_.LockPage(0, true);
    locked_ = true;
    try {
      file_.DropCache();
      // Another process may have grown any tree a level or added pages.
      // The selected tag's header is read now; the file header and the
      // other tags' headers when the operation comes to need them.
      if (file_.IsMultiIndex()) {
        file_.fileHeaderStale_ = true;
        file_.fileHeaderDirty_ = false;
      }
      for (size_t i = 0; i < file_.tags_.size(); ++i) {
        TTag& tag = *file_.tags_[i];
        if (static_cast<int>(i) == file_.selected_) {
          file_.ReadTagHeader(tag);
        } else {
          tag.headerStale = true;
          tag.headerDirty = false;
        }
      }
    } catch (...) {
      Release();
      throw;
    }
  }
  ~TOperation() { Release(); }
  // Ends a changing operation: the changes go to the file while the lock
  // is held.
  void Commit() {
    const int holds = file_.holding_ ? 1 : 0;
    if ((locked_ || holds > 0) && file_.lockDepth_ == 1 + holds) file_.Flush();
  }

 private:
  void Release() {
    if (released_) return;
    released_ = true;
    --file_.lockDepth_;
    if (!locked_) {
      // A change that failed within a hold leaves no pages to later ones.
      if (file_.holding_ && file_.lockDepth_ == 1 && std::uncaught_exceptions() > exceptions_)
        file_.DropCache();
      return;
    }
    // Pages of a failed change must not outlive the lock.
    file_.DropCache();
    file_.UnlockPage(0);
  }

  TIndexFile& file_;
  int exceptions_;
  bool locked_ = false;
  bool released_ = false;
};
