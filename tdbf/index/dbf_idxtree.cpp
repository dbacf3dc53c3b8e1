// The tree operations of an index: searching, walking in both directions,
// inserting and deleting entries with page splits, and the key upkeep of
// records across the tags.
#include "tdbf/index/dbf_idxfile.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"
#include "platform/collator.h"
#include "platform/env.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_str.h"
#include "tdbf/expr/dbf_parser.h"
#include "tdbf/file/dbf_lang.h"
#include "tdbf/index/dbf_idxinternal.h"

// ---- Searching and walking --------------------------------------------------------

namespace {

// Asks the processor to fetch size bytes into its cache now: a binary
// search then waits for memory about once per page instead of once per step.
void Prefetch(const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  for (size_t at = 0; at < size; at += 64) __builtin_prefetch(bytes + at);
}

}  // namespace

// From the root to the leaf: in every page the first slot whose key is
// greater or equal (afterEqual: greater) than key; in an inner page the
// last-child slot when there is none. The leaf slot may be one past the
// last entry.
void TIndexFile::Descend(const char* key, bool afterEqual, std::vector<TLevel>& path) {
  path.clear();
  TProbe& probe = probe_;
  MakeProbe(key, probe);
  int32_t pageNo = Tag().root;
  for (;;) {
    TPage& page = CachedPage(pageNo);
    const char* bytes = page.bytes.data();
    Prefetch(bytes, page.bytes.size());
    if (!page.sortAt.empty()) {
      Prefetch(page.sortAt.data(), page.sortAt.size() * sizeof(uint32_t));
      Prefetch(page.sortBytes.data(), page.sortBytes.size());
    }
    const int32_t count = Count(bytes, pageNo);
    const bool inner = IsInner(bytes);
    int32_t lo = 0;
    int32_t hi = count;
    // The comparison with the slot at hi, once one was made.
    int atHi = 1;
    while (lo < hi) {
      const int32_t mid = (lo + hi) / 2;
      const int c = CompareProbe(probe, page, mid, inner);
      if (c < 0 || (c == 0 && !afterEqual)) {
        hi = mid;
        atHi = c;
      } else {
        lo = mid + 1;
      }
    }
    path.push_back({pageNo, lo});
    if (!inner) {
      // A slot before the end was compared last when hi came down to it.
      probe.atLeaf = atHi;
      return;
    }
    page.inner = true;
    pageNo = ChildOf(bytes, lo, path);
  }
}

// Moves the levels below the last one in path to their first (last) slot.
void TIndexFile::DescendEdge(std::vector<TLevel>& path, bool last) {
  for (;;) {
    TLevel& level = path.back();
    const char* page = Page(level.page);
    const int32_t count = Count(page, level.page);
    if (!IsInner(page)) {
      if (last) level.entry = count - 1;
      return;
    }
    const int32_t child = ChildOf(page, level.entry, path);
    const char* childPage = Page(child);
    const int32_t childCount = Count(childPage, child);
    path.push_back({child, last ? (IsInner(childPage) ? childCount : childCount - 1) : 0});
  }
}

// One entry on in key order; false at the end (the path is then left on
// the last leaf, one past its last entry).
bool TIndexFile::StepNext(std::vector<TLevel>& path) {
  if (path.empty()) return false;
  {
    TLevel& leaf = path.back();
    const int32_t count = Count(Page(leaf.page), leaf.page);
    if (leaf.entry + 1 < count) {
      ++leaf.entry;
      return true;
    }
  }
  // Climb to the first level with a later child, then down to its first
  // entry; empty leaves are passed over.
  std::vector<TLevel> trial = path;
  for (;;) {
    int level = static_cast<int>(trial.size()) - 2;
    for (; level >= 0; --level) {
      const char* page = Page(trial[level].page);
      if (trial[level].entry < Count(page, trial[level].page)) break;
    }
    if (level < 0) {
      path.back().entry = Count(Page(path.back().page), path.back().page);
      return false;
    }
    trial.resize(static_cast<size_t>(level) + 1);
    ++trial.back().entry;
    DescendEdge(trial, false);
    if (Count(Page(trial.back().page), trial.back().page) > 0) {
      path = trial;
      return true;
    }
  }
}

bool TIndexFile::StepPrev(std::vector<TLevel>& path) {
  if (path.empty()) return false;
  if (path.back().entry > 0) {
    --path.back().entry;
    return true;
  }
  std::vector<TLevel> trial = path;
  for (;;) {
    int level = static_cast<int>(trial.size()) - 2;
    for (; level >= 0 && trial[level].entry == 0; --level) {
    }
    if (level < 0) {
      path.back().entry = -1;
      return false;
    }
    trial.resize(static_cast<size_t>(level) + 1);
    --trial.back().entry;
    DescendEdge(trial, true);
    if (trial.back().entry >= 0) {
      path = trial;
      return true;
    }
  }
}

// Whether the path's leaf slot holds an entry.
bool TIndexFile::OnEntry(const std::vector<TLevel>& path) {
  if (path.empty()) return false;
  const TLevel& leaf = path.back();
  return leaf.entry >= 0 && leaf.entry < Count(Page(leaf.page), leaf.page);
}

// Places path on the entry of key and recNo; false when there is none.
bool TIndexFile::FindEntry(const char* key, int32_t recNo, std::vector<TLevel>& path) {
  Descend(key, false, path);
  if (!OnEntry(path) && !StepNext(path)) return false;
  for (;;) {
    const char* page = Page(path.back().page);
    const int32_t entry = path.back().entry;
    if (CompareKeys(key, KeyAt(page, entry)) != 0) return false;
    if (RecordAt(page, entry) == recNo) return true;
    if (!StepNext(path)) return false;
  }
}

bool TIndexFile::InRange(const char* key) const {
  const TTag& tag = Tag();
  if (!tag.rangeLow.empty() && CompareKeys(key, tag.rangeLow.data()) < 0) return false;
  if (!tag.rangeHigh.empty() && CompareKeys(key, tag.rangeHigh.data()) > 0) return false;
  return true;
}

void TIndexFile::RememberPosition() {
  TTag& tag = Tag();
  tag.pathVersion = tag.treeVersion;
  if (tag.state != wsOn) return;
  const char* page = Page(tag.path.back().page);
  tag.currentKey.assign(KeyAt(page, tag.path.back().entry), static_cast<size_t>(tag.keyLength));
  tag.currentRecNo = RecordAt(page, tag.path.back().entry);
}

// Finds the current entry again after the tree may have changed.
void TIndexFile::Resync() {
  TTag& tag = Tag();
  // Pages read within a hold stay as they were until it ends.
  if (tag.state != wsOn || (tag.pathVersion == tag.treeVersion && (!NeedLocks() || holding_)))
    return;
  if (!FindEntry(tag.currentKey.data(), tag.currentRecNo, tag.path)) {
    // The entry is gone: the walk stands on the next one in order.
    Descend(tag.currentKey.data(), true, tag.path);
    if (!OnEntry(tag.path) && !StepNext(tag.path)) {
      tag.state = wsAfter;
      return;
    }
  }
  RememberPosition();
}

void TIndexFile::BeginHold() {
  // An exclusive handle's pages stay valid between operations already;
  // a hold within a hold or an operation adds nothing.
  if (NeedLocks() && lockDepth_ == 0) {
    holds_.push_back(std::make_unique<TOperation>(*this));
    holding_ = true;
  } else {
    holds_.push_back(nullptr);
  }
}

void TIndexFile::EndHold() noexcept {
  if (holds_.empty()) return;
  try {
    holds_.pop_back();
  } catch (...) {
    // Letting go of the lock cannot be refused; a failure leaves nothing to undo.
  }
  if (holds_.empty()) holding_ = false;
}

void TIndexFile::GotoFirst() {
  Tag().state = wsBefore;
  Tag().path.clear();
}

void TIndexFile::GotoLast() {
  Tag().state = wsAfter;
  Tag().path.clear();
}

bool TIndexFile::GotoNext() {
  TOperation op(*this);
  TTag& tag = Tag();
  if (tag.state == wsAfter) return false;
  bool found;
  if (tag.state == wsBefore) {
    if (tag.rangeLow.empty()) {
      tag.path.assign(1, TLevel{tag.root, 0});
      DescendEdge(tag.path, false);
    } else {
      Descend(tag.rangeLow.data(), false, tag.path);
    }
    found = OnEntry(tag.path) || StepNext(tag.path);
  } else {
    Resync();
    if (tag.state != wsOn) return false;
    found = StepNext(tag.path);
  }
  if (found) found = InRange(KeyAt(Page(tag.path.back().page), tag.path.back().entry));
  tag.state = found ? wsOn : wsAfter;
  RememberPosition();
  return found;
}

bool TIndexFile::GotoPrev() {
  TOperation op(*this);
  TTag& tag = Tag();
  if (tag.state == wsBefore) return false;
  bool found;
  if (tag.state == wsAfter) {
    if (tag.rangeHigh.empty()) {
      tag.path.assign(1, TLevel{tag.root, 0});
      const char* root = Page(tag.root);
      tag.path[0].entry = IsInner(root) ? Count(root, tag.root) : Count(root, tag.root) - 1;
      DescendEdge(tag.path, true);
      found = OnEntry(tag.path) || StepPrev(tag.path);
    } else {
      Descend(tag.rangeHigh.data(), true, tag.path);
      found = StepPrev(tag.path);
    }
  } else {
    Resync();
    if (tag.state == wsAfter) return GotoPrev();
    found = StepPrev(tag.path);
  }
  if (found) found = InRange(KeyAt(Page(tag.path.back().page), tag.path.back().entry));
  tag.state = found ? wsOn : wsBefore;
  RememberPosition();
  return found;
}

int32_t TIndexFile::CurrentRecordNo() {
  if (selected_ < 0 || Tag().state != wsOn) return -1;
  return Tag().currentRecNo;
}

bool TIndexFile::GotoRecord(int32_t recNo) {
  if (recNo < 1 || recNo > dbfFile_->PageCount()) return false;
  if (dbfFile_->ReadPage(recNo, recordBuffer_.data()) < dbfFile_->RecordSize()) return false;
  TOperation op(*this);
  TTag& tag = Tag();
  const std::string key(ExtractKey(recordBuffer_.data()), static_cast<size_t>(tag.keyLength));
  std::vector<TLevel> path;
  if (!FindEntry(key.data(), recNo, path) || !InRange(key.data())) return false;
  tag.path = std::move(path);
  tag.state = wsOn;
  RememberPosition();
  return true;
}

bool TIndexFile::SearchKey(const char* key, int mode) {
  if (mode < 0 || mode > 2 || selected_ < 0) return false;
  TOperation op(*this);
  TTag& tag = Tag();
  std::vector<TLevel>& path = searchPath_;
  Descend(key, mode == 2, path);
  const bool inLeaf = OnEntry(path);
  if (!inLeaf && !StepNext(path)) return false;
  TPage& leaf = CachedPage(path.back().page);
  // The descent compared the entry it stopped on; one in a later leaf is
  // compared with the key it made ready.
  if (mode == 0 &&
      (inLeaf ? probe_.atLeaf : CompareProbe(probe_, leaf, path.back().entry, false)) != 0)
    return false;
  if (!InRange(KeyAt(leaf.bytes.data(), path.back().entry))) return false;
  tag.path.swap(path);
  tag.state = wsOn;
  RememberPosition();
  return true;
}

void TIndexFile::SetRange(const std::string& lowKey, const std::string& highKey) {
  TTag& tag = Tag();
  tag.rangeLow = lowKey;
  tag.rangeHigh = highKey;
  for (std::string* end : {&tag.rangeLow, &tag.rangeHigh})
    if (!end->empty())
      end->resize(static_cast<size_t>(tag.keyLength), tag.keyType == 'C' ? ' ' : 0);
}

void TIndexFile::CancelRange() {
  if (selected_ < 0) return;
  Tag().rangeLow.clear();
  Tag().rangeHigh.clear();
}

bool TIndexFile::HasRange() const {
  return selected_ >= 0 && (!Tag().rangeLow.empty() || !Tag().rangeHigh.empty());
}

double TIndexFile::PositionFraction() {
  TTag& tag = Tag();
  if (tag.state == wsBefore) return 0;
  if (tag.state == wsAfter) return 1;
  TOperation op(*this);
  Resync();
  if (tag.state != wsOn) return 1;
  double fraction = 0;
  double scale = 1;
  for (const TLevel& level : tag.path) {
    const char* page = Page(level.page);
    const int32_t slots = Count(page, level.page) + (IsInner(page) ? 1 : 0);
    if (slots <= 0) break;
    scale /= slots;
    fraction += scale * level.entry;
  }
  return std::clamp(fraction, 0.0, 1.0);
}

void TIndexFile::GotoFraction(double fraction) {
  TOperation op(*this);
  TTag& tag = Tag();
  fraction = std::clamp(fraction, 0.0, 1.0);
  tag.path.clear();
  int32_t pageNo = tag.root;
  for (;;) {
    const char* page = Page(pageNo);
    const bool inner = IsInner(page);
    const int32_t slots = Count(page, pageNo) + (inner ? 1 : 0);
    const int32_t entry =
        std::clamp(static_cast<int32_t>(fraction * slots), 0, std::max(slots - 1, 0));
    fraction = fraction * slots - entry;
    tag.path.push_back({pageNo, entry});
    if (!inner) break;
    pageNo = ChildOf(page, entry, tag.path);
  }
  bool found = OnEntry(tag.path) || StepNext(tag.path) || StepPrev(tag.path);
  if (found && !InRange(KeyAt(Page(tag.path.back().page), tag.path.back().entry))) {
    tag.state = wsBefore;
    GotoNext();
    return;
  }
  tag.state = found ? wsOn : wsAfter;
  RememberPosition();
}

// ---- Changing the tree ------------------------------------------------------------

void TIndexFile::ResetTree(TTag& tag) {
  if (!IsMultiIndex())
    PutLE32(tag.header.data() + kPageCountAt, 1);
  else
    PutLE32(tag.header.data() + kPageCountAt, 4);
  int32_t root = 0;
  NewPage(root);
  tag.root = root;
  WriteTagHeader(tag);
  tag.state = wsBefore;
  tag.path.clear();
  ++tag.treeVersion;
}

// Writes slot into the page of path[level] at its entry. A full page is
// split in two; the upper level then gets a slot for the left half and its
// slot for this page points at the right half. A split root grows the tree
// by a level.
void TIndexFile::InsertSlot(std::vector<TLevel>& path, int level, const std::vector<char>& slot) {
  TTag& tag = Tag();
  const int32_t entrySize = tag.entrySize;
  const int32_t pageNo = path[static_cast<size_t>(level)].page;
  const int32_t at = path[static_cast<size_t>(level)].entry;
  char* page = Page(pageNo);
  const bool inner = IsInner(page);
  const int32_t count = Count(page, pageNo);
  const int32_t used = count + (inner ? 1 : 0);
  const int32_t room = inner ? tag.maxKeys - 1 : tag.maxKeys;
  if (count < room) {
    std::memmove(Slot(page, at + 1), Slot(page, at), static_cast<size_t>((used - at) * entrySize));
    std::memcpy(Slot(page, at), slot.data(), static_cast<size_t>(entrySize));
    PutLE32(page, static_cast<uint32_t>(count + 1));
    MarkDirty(pageNo);
    return;
  }
  // All used slots plus the new one, then shared out.
  std::vector<char> all(static_cast<size_t>((used + 1) * entrySize));
  std::memcpy(all.data(), Slot(page, 0), static_cast<size_t>(at * entrySize));
  std::memcpy(all.data() + at * entrySize, slot.data(), static_cast<size_t>(entrySize));
  std::memcpy(all.data() + (at + 1) * entrySize, Slot(page, at),
              static_cast<size_t>((used - at) * entrySize));
  const int32_t total = used + 1;
  const int32_t left = (total + 1) / 2;
  const int32_t right = total - left;
  int32_t newPageNo = 0;
  char* newPage = NewPage(newPageNo);
  page = Page(pageNo);
  std::memset(page + pageHeader_, 0, static_cast<size_t>(pageBytes_ - pageHeader_));
  std::memcpy(Slot(page, 0), all.data(), static_cast<size_t>(left * entrySize));
  std::memcpy(Slot(newPage, 0), all.data() + left * entrySize,
              static_cast<size_t>(right * entrySize));
  PutLE32(page, static_cast<uint32_t>(inner ? left - 1 : left));
  PutLE32(newPage, static_cast<uint32_t>(inner ? right - 1 : right));
  MarkDirty(pageNo);
  // The greatest key of each half: its last slot's key.
  const std::string leftMax(all.data() + (left - 1) * entrySize + prefix_,
                            static_cast<size_t>(tag.keyLength));
  const std::string rightMax(all.data() + (total - 1) * entrySize + prefix_,
                             static_cast<size_t>(tag.keyLength));
  std::vector<char> upperSlot(static_cast<size_t>(entrySize));
  if (level == 0) {
    int32_t rootNo = 0;
    char* root = NewPage(rootNo);
    FillSlot(Slot(root, 0), leftMax.data(), 0, pageNo, true);
    FillSlot(Slot(root, 1), rightMax.data(), 0, newPageNo, true);
    PutLE32(root, 1);
    tag.root = rootNo;
    WriteTagHeader(tag);
    path.insert(path.begin(), TLevel{rootNo, 0});
  } else {
    TLevel& upper = path[static_cast<size_t>(level - 1)];
    char* upperPage = Page(upper.page);
    FillSlot(Slot(upperPage, upper.entry), rightMax.data(), 0, newPageNo, true);
    MarkDirty(upper.page);
    FillSlot(upperSlot.data(), leftMax.data(), 0, pageNo, true);
    InsertSlot(path, level - 1, upperSlot);
  }
  ++tag.treeVersion;
}

// After the last slot of the page at path[level] changed, the slots above
// that name this page as their child take its key, up the levels for as
// long as the page is the last child of its parent.
void TIndexFile::PropagateMax(std::vector<TLevel>& path, int level) {
  for (; level > 0; --level) {
    const TLevel& here = path[static_cast<size_t>(level)];
    const char* page = Page(here.page);
    const int32_t count = Count(page, here.page);
    const int32_t last = IsInner(page) ? count : count - 1;
    if (last < 0) return;
    const TLevel& upper = path[static_cast<size_t>(level - 1)];
    char* upperPage = Page(upper.page);
    std::memcpy(Slot(upperPage, upper.entry) + prefix_, KeyAt(page, last),
                static_cast<size_t>(Tag().keyLength));
    MarkDirty(upper.page);
    if (upper.entry != Count(upperPage, upper.page)) return;
  }
}

void TIndexFile::InsertEntry(std::vector<TLevel>& path, const char* key, int32_t recNo) {
  std::vector<char> slot(static_cast<size_t>(Tag().entrySize));
  FillSlot(slot.data(), key, recNo, 0, false);
  // A new greatest key of the leaf becomes the key of the slots above that
  // lead to it, before any split copies them.
  const TLevel& leaf = path.back();
  if (leaf.entry == Count(Page(leaf.page), leaf.page)) {
    for (int level = static_cast<int>(path.size()) - 2; level >= 0; --level) {
      const TLevel& here = path[static_cast<size_t>(level)];
      char* page = Page(here.page);
      std::memcpy(Slot(page, here.entry) + prefix_, key, static_cast<size_t>(Tag().keyLength));
      MarkDirty(here.page);
      if (here.entry != Count(page, here.page)) break;
    }
  }
  InsertSlot(path, static_cast<int>(path.size()) - 1, slot);
  ++Tag().treeVersion;
}

void TIndexFile::DeleteEntry(std::vector<TLevel>& path) {
  TTag& tag = Tag();
  const int level = static_cast<int>(path.size()) - 1;
  const TLevel leaf = path.back();
  char* page = Page(leaf.page);
  const int32_t count = Count(page, leaf.page);
  std::memmove(Slot(page, leaf.entry), Slot(page, leaf.entry + 1),
               static_cast<size_t>((count - leaf.entry - 1) * tag.entrySize));
  std::memset(Slot(page, count - 1), 0, static_cast<size_t>(tag.entrySize));
  PutLE32(page, static_cast<uint32_t>(count - 1));
  MarkDirty(leaf.page);
  ++tag.treeVersion;
  if (count - 1 == 0 && level > 0) {
    // An emptied leaf leaves its parent when the parent keeps two children
    // or more; otherwise it stays linked, empty, so that no inner page is
    // left with a single child, which some readers cannot follow.
    const TLevel& upper = path[static_cast<size_t>(level - 1)];
    char* upperPage = Page(upper.page);
    const int32_t upperCount = Count(upperPage, upper.page);
    if (upperCount < 2) return;
    const bool wasLast = upper.entry == upperCount;
    std::memmove(Slot(upperPage, upper.entry), Slot(upperPage, upper.entry + 1),
                 static_cast<size_t>((upperCount - upper.entry) * tag.entrySize));
    std::memset(Slot(upperPage, upperCount), 0, static_cast<size_t>(tag.entrySize));
    PutLE32(upperPage, static_cast<uint32_t>(upperCount - 1));
    MarkDirty(upper.page);
    if (wasLast) {
      path.pop_back();
      path.back().entry = upperCount - 1;
      PropagateMax(path, level - 1);
    }
    return;
  }
  if (leaf.entry == count - 1 && count - 1 > 0) PropagateMax(path, level);
}

void TIndexFile::RaiseKeyViolation(const char* key, int32_t holder) {
  std::string text(key, static_cast<size_t>(Tag().keyLength));
  if (Tag().keyType != 'C') text = "?";
  while (!text.empty() && text.back() == ' ') text.pop_back();
  throw EDbfError(Format(kKeyViolation, BaseNameOf(Tag().name).c_str(), holder, text.c_str()));
}

void TIndexFile::InsertRecord(int32_t recNo, const char* record) {
  if (noEdit_ || selected_ < 0) return;
  TTag& tag = Tag();
  if (distinctOnly_ && tag.Unique() != iuDistinct) return;
  TOperation op(*this);
  const std::string key(ExtractKey(record), static_cast<size_t>(tag.keyLength));
  std::vector<TLevel> path;
  if (tag.Unique() != iuNormal) {
    Descend(key.data(), false, path);
    std::vector<TLevel> probe = path;
    if (OnEntry(probe) || StepNext(probe)) {
      const char* page = Page(probe.back().page);
      if (CompareKeys(key.data(), KeyAt(page, probe.back().entry)) == 0) {
        if (tag.Unique() == iuUnique) return;
        RaiseKeyViolation(key.data(), RecordAt(page, probe.back().entry));
      }
    }
  } else {
    Descend(key.data(), true, path);
  }
  InsertEntry(path, key.data(), recNo);
  op.Commit();
}

void TIndexFile::DeleteRecord(int32_t recNo, const char* record) {
  if (noEdit_ || selected_ < 0) return;
  TTag& tag = Tag();
  if (distinctOnly_ && tag.Unique() != iuDistinct) return;
  TOperation op(*this);
  const std::string key(ExtractKey(record), static_cast<size_t>(tag.keyLength));
  std::vector<TLevel> path;
  if (!FindEntry(key.data(), recNo, path)) return;
  DeleteEntry(path);
  op.Commit();
}

void TIndexFile::UpdateRecordKeys(int32_t recNo, const char* oldRecord, const char* newRecord) {
  if (noEdit_ || selected_ < 0) return;
  const std::string newKey(ExtractKey(newRecord), static_cast<size_t>(Tag().keyLength));
  const std::string oldKey(ExtractKey(oldRecord), static_cast<size_t>(Tag().keyLength));
  // A record marked deleted has no key in a distinct index.
  const bool distinct = Tag().Unique() == iuDistinct;
  const bool oldIn = !(distinct && oldRecord[0] == '*');
  const bool newIn = !(distinct && newRecord[0] == '*');
  if (oldIn == newIn && CompareKeys(newKey.data(), oldKey.data()) == 0) return;
  TOperation op(*this);
  if (oldIn) DeleteRecord(recNo, oldRecord);
  try {
    if (newIn) InsertRecord(recNo, newRecord);
  } catch (...) {
    // The old key goes back: the index stays as it was.
    if (oldIn) InsertRecord(recNo, oldRecord);
    op.Commit();
    throw;
  }
  op.Commit();
}

// ---- Upkeep of every tag ----------------------------------------------------------

namespace {

// Runs action on each tag the update mode covers and selects the tag that
// was selected before, also when the action fails.
template <typename Action>
void ForEachTag(TIndexFile& file, Action action) {
  const int selected = file.SelectedTag();
  const bool all = file.UpdateMode() == umAll || selected < 0;
  try {
    if (all) {
      for (int i = 0; i < file.TagCount(); ++i) {
        file.SelectTag(i);
        action(i);
      }
    } else {
      action(selected);
    }
  } catch (...) {
    if (selected >= 0) file.SelectTag(selected);
    throw;
  }
  if (selected >= 0) file.SelectTag(selected);
}

}  // namespace

void TIndexFile::ApplyToTags(const std::function<void()>& action,
                             const std::function<void()>& undo) {
  TOperation op(*this);
  std::vector<int> done;
  try {
    ForEachTag(*this, [&](int slot) {
      action();
      done.push_back(slot);
    });
  } catch (...) {
    // What the tags already took is taken back before the failure goes on.
    const int selected = selected_;
    for (int slot : done) {
      SelectTag(slot);
      try {
        undo();
      } catch (...) {
        // The key violation is what the caller must see.
      }
    }
    SelectTag(selected);
    op.Commit();
    throw;
  }
  op.Commit();
}

void TIndexFile::InsertRecordAll(int32_t recNo, const char* record) {
  if (noEdit_) return;
  // A record appended already marked deleted stays out of distinct
  // indexes, as a record marked deleted later leaves them.
  ApplyToTags(
      [&] {
        if (!(record[0] == '*' && UniqueMode() == iuDistinct)) InsertRecord(recNo, record);
      },
      [&] { DeleteRecord(recNo, record); });
}

void TIndexFile::DeleteRecordAll(int32_t recNo, const char* record) {
  if (noEdit_) return;
  TOperation op(*this);
  ForEachTag(*this, [&](int) { DeleteRecord(recNo, record); });
  op.Commit();
}

void TIndexFile::UpdateRecordAll(int32_t recNo, const char* prevRecord, const char* record) {
  if (noEdit_) return;
  ApplyToTags([&] { UpdateRecordKeys(recNo, prevRecord, record); },
              [&] { UpdateRecordKeys(recNo, record, prevRecord); });
}

void TIndexFile::DropDistinctKeysAll(int32_t recNo, const char* record) {
  if (noEdit_) return;
  TOperation op(*this);
  distinctOnly_ = true;
  try {
    ForEachTag(*this, [&](int) { DeleteRecord(recNo, record); });
  } catch (...) {
    distinctOnly_ = false;
    throw;
  }
  distinctOnly_ = false;
  op.Commit();
}
