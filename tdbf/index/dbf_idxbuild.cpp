// Work on a whole tag: building it bottom-up from the table's sorted keys,
// and checking every page and record of it.
#include "tdbf/index/dbf_idxfile.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "platform/codepage.h"
#include "platform/collator.h"
#include "platform/env.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_str.h"
#include "tdbf/expr/dbf_parser.h"
#include "tdbf/file/dbf_lang.h"
#include "tdbf/index/dbf_idxinternal.h"

// ---- Building from the table ------------------------------------------------------

void TIndexFile::Rebuild(int slot, const TIndexProgress& progress) {
  const int selected = selected_;
  const int first = slot < 0 ? 0 : slot;
  const int last = slot < 0 ? TagCount() - 1 : slot;
  TOperation op(*this);
  FreshHeaders();
  const int32_t total = dbfFile_->PageCount();
  if (slot < 0 && IsMultiIndex()) {
    // The whole file is laid out anew: tag headers first, then the trees.
    ClearPages();
    selected_ = -1;
    PutLE32(fileHeader_.data() + kBlockCountAt, kMdxHeaderBytes / kBlock);
    for (int t = 0; t < TagCount(); ++t) {
      int32_t block = 0;
      NewPage(block);
      ForgetPage(block);
      TTag& tag = *tags_[static_cast<size_t>(t)];
      tag.headerBlock = block;
      PutLE32(fileHeader_.data() + kBlock + tagEntrySize_ * (t + 1), static_cast<uint32_t>(block));
      tag.headerDirty = true;
    }
  }
  for (int t = first; t <= last; ++t) {
    SelectTag(t);
    TTag& tag = Tag();
    const bool distinct = tag.Unique() == iuDistinct;
    const int32_t keyLength = tag.keyLength;
    // Entries as sort key + key + record number, sorted by sort key and
    // then record number: equal keys keep the order of the records.
    const platform::TCollator* collator = Collator(tag);
    const bool collated = collator != nullptr;
    // The first bytes of each key's sort key in a locale collation: most
    // comparisons end within them; equal prefixes compare the keys whole.
    constexpr size_t kPrefix = 24;
    std::vector<char> sortBytes;
    std::vector<char> keys;
    std::vector<int32_t> recNos;
    keys.reserve(static_cast<size_t>(total) * static_cast<size_t>(keyLength));
    if (collated) sortBytes.reserve(static_cast<size_t>(total) * kPrefix);
    recNos.reserve(static_cast<size_t>(total));
    std::vector<char> record(static_cast<size_t>(dbfFile_->RecordSize()));
    std::string sortKey;
    for (int32_t recNo = 1; recNo <= total; ++recNo) {
      if (dbfFile_->ReadPage(recNo, record.data()) < dbfFile_->RecordSize()) break;
      if (progress && (recNo % 65536 == 0 || recNo == total)) progress(recNo, total);
      if (distinct && record[0] == '*') continue;
      const char* key = ExtractKey(record.data());
      keys.insert(keys.end(), key, key + keyLength);
      recNos.push_back(recNo);
      if (collated) {
        collator->SortKey(std::string_view(key, static_cast<size_t>(keyLength)), sortKey);
        sortKey.resize(kPrefix, '\0');
        sortBytes.insert(sortBytes.end(), sortKey.begin(), sortKey.end());
      }
    }
    const size_t n = recNos.size();
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    const bool descending = (tag.flags & kFlagDescending) != 0;
    auto less = [&](uint32_t a, uint32_t b) {
      const char* keyA = keys.data() + size_t{a} * keyLength;
      const char* keyB = keys.data() + size_t{b} * keyLength;
      int c = 0;
      if (collated)
        c = std::memcmp(sortBytes.data() + a * kPrefix, sortBytes.data() + b * kPrefix, kPrefix);
      if (c == 0) c = CompareRaw(keyA, keyB);
      if (descending) c = -c;
      return c != 0 ? c < 0 : a < b;
    };
    std::sort(order.begin(), order.end(), less);
    sortBytes = std::vector<char>();
    // The order without the unwanted equal keys of unique and distinct
    // indexes, kept in place.
    size_t count = 0;
    const char* previous = nullptr;
    for (uint32_t i : order) {
      const char* key = keys.data() + size_t{i} * keyLength;
      if (previous != nullptr && tag.Unique() != iuNormal && CompareKeys(previous, key) == 0) {
        if (distinct) {
          ResetTree(tag);
          RaiseKeyViolation(key, recNos[i]);
        }
        continue;
      }
      previous = key;
      order[count++] = i;
    }
    BuildFromSorted(tag, static_cast<int32_t>(count), [&](int32_t entry, int32_t& recNo) {
      const uint32_t i = order[static_cast<size_t>(entry)];
      recNo = recNos[i];
      return keys.data() + size_t{i} * keyLength;
    });
  }
  op.Commit();
  Flush();
  // What lies past the new trees of a rebuilt file is no longer referenced.
  if (slot < 0 && IsMultiIndex())
    SetPageCount(static_cast<int32_t>(GetLE32(fileHeader_.data() + kBlockCountAt)));
  else if (!IsMultiIndex() && !tags_.empty())
    SetPageCount(static_cast<int32_t>(GetLE32(tags_[0]->header.data() + kPageCountAt)));
  if (selected >= 0) SelectTag(selected);
}

// Writes a tree holding count sorted entries (entryAt gives the key and
// record number of each): leaves filled to one slot short of full, so that the next insert
// does not split at once, then each level of inner pages above, until one
// page holds the rest. Pages go straight to the file.
void TIndexFile::BuildFromSorted(TTag& tag, int32_t count, const TEntrySource& entryAt) {
  ResetTree(tag);
  Flush();
  ClearPages();
  if (count == 0) return;
  const int32_t keyLength = tag.keyLength;
  struct TChild {
    int32_t page;
    std::string maxKey;
  };
  std::vector<TChild> level;
  std::vector<char> buffer(static_cast<size_t>(pageBytes_));
  auto pagesFor = [](int32_t items, int32_t perPage) { return (items + perPage - 1) / perPage; };
  // The root page made by ResetTree takes the first leaf.
  const int32_t leafRoom = std::max(tag.maxKeys - 1, 2);
  const int32_t leaves = pagesFor(count, leafRoom);
  int32_t done = 0;
  for (int32_t p = 0; p < leaves; ++p) {
    const int32_t take = (count - done) / (leaves - p);
    std::fill(buffer.begin(), buffer.end(), 0);
    const char* key = nullptr;
    for (int32_t i = 0; i < take; ++i) {
      int32_t recNo = 0;
      key = entryAt(done + i, recNo);
      FillSlot(Slot(buffer.data(), i), key, recNo, 0, false);
    }
    PutLE32(buffer.data(), static_cast<uint32_t>(take));
    int32_t pageNo = tag.root;
    if (p > 0) {
      NewPage(pageNo);
      ForgetPage(pageNo);
    }
    WriteAt(buffer.data(), pageBytes_, int64_t{pageNo} * kBlock);
    level.push_back({pageNo, std::string(key, static_cast<size_t>(keyLength))});
    done += take;
  }
  const int32_t innerRoom = tag.maxKeys;  // children: keys + the last child
  while (level.size() > 1) {
    std::vector<TChild> upper;
    const auto children = static_cast<int32_t>(level.size());
    const int32_t pages = pagesFor(children, innerRoom);
    int32_t used = 0;
    for (int32_t p = 0; p < pages; ++p) {
      const int32_t take = (children - used) / (pages - p);
      std::fill(buffer.begin(), buffer.end(), 0);
      for (int32_t i = 0; i < take; ++i) {
        const TChild& child = level[static_cast<size_t>(used + i)];
        FillSlot(Slot(buffer.data(), i), child.maxKey.data(), 0, child.page, true);
      }
      PutLE32(buffer.data(), static_cast<uint32_t>(take - 1));
      int32_t pageNo = 0;
      NewPage(pageNo);
      ForgetPage(pageNo);
      WriteAt(buffer.data(), pageBytes_, int64_t{pageNo} * kBlock);
      upper.push_back({pageNo, level[static_cast<size_t>(used + take - 1)].maxKey});
      used += take;
    }
    level = std::move(upper);
  }
  tag.root = level.front().page;
  WriteTagHeader(tag);
  tag.state = wsBefore;
  tag.path.clear();
  ++tag.treeVersion;
}

int TIndexFile::TreeDepth() {
  TOperation op(*this);
  std::vector<TLevel> path(1, TLevel{Tag().root, 0});
  DescendEdge(path, false);
  return static_cast<int>(path.size());
}

// ---- Checking ---------------------------------------------------------------------

std::vector<std::string> TIndexFile::Check(const TIndexProgress& progress) {
  std::vector<std::string> faults;
  TOperation op(*this);
  TTag& tag = Tag();
  const int32_t tableRecords = dbfFile_->PageCount();
  PageCount();
  // Pages this handle added and has not written yet belong to the file too.
  int64_t fileEnd = CachedSize();
  for (const auto& [pageNo, page] : pages_)
    if (page.dirty) fileEnd = std::max(fileEnd, int64_t{pageNo} * kBlock + pageBytes_);
  std::vector<bool> seen(static_cast<size_t>(fileEnd / kBlock + 1), false);
  std::vector<char> lastKey;
  bool haveLast = false;
  int leafDepth = -1;
  std::vector<std::pair<std::string, int32_t>> entries;
  try {
    CheckPage(tag, tag.root, 0, leafDepth, lastKey, haveLast, seen, faults, entries, tableRecords,
              fileEnd);
  } catch (const EDbfError& e) {
    faults.push_back(e.Message());
  }
  // Every record that belongs in the index has its key there, once.
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
  std::vector<char> record(static_cast<size_t>(dbfFile_->RecordSize()));
  size_t next = 0;
  const bool distinct = tag.Unique() == iuDistinct;
  const bool unique = tag.Unique() == iuUnique;
  std::vector<std::string> present;
  for (int32_t recNo = 1; recNo <= tableRecords; ++recNo) {
    if (progress && (recNo % 65536 == 0 || recNo == tableRecords)) progress(recNo, tableRecords);
    if (dbfFile_->ReadPage(recNo, record.data()) < dbfFile_->RecordSize()) break;
    const std::string key(ExtractKey(record.data()), static_cast<size_t>(tag.keyLength));
    int found = 0;
    bool keyRight = true;
    while (next < entries.size() && entries[next].second < recNo) ++next;
    for (; next < entries.size() && entries[next].second == recNo; ++next) {
      ++found;
      if (CompareKeys(entries[next].first.data(), key.data()) != 0) keyRight = false;
    }
    if (found > 1) faults.push_back(Format("record %d has %d entries in the index", recNo, found));
    if (found >= 1 && !keyRight)
      faults.push_back(Format("record %d has a wrong key in the index", recNo));
    if (found == 0 && !(distinct && record[0] == '*') && !unique)
      faults.push_back(Format("record %d has no key in the index", recNo));
  }
  return faults;
}

void TIndexFile::CheckPage(TTag& tag, int32_t pageNo, int depth, int& leafDepth,
                           std::vector<char>& lastKey, bool& haveLast, std::vector<bool>& seen,
                           std::vector<std::string>& faults,
                           std::vector<std::pair<std::string, int32_t>>& entries,
                           int32_t tableRecords, int64_t fileEnd) {
  const int32_t first = IsMultiIndex() ? kMdxHeaderBytes / kBlock : 1;
  if (pageNo < first || static_cast<size_t>(pageNo) >= seen.size() ||
      int64_t{pageNo} * kBlock + pageBytes_ > fileEnd) {
    faults.push_back(Format("page %d lies outside the file", pageNo));
    return;
  }
  if (seen[static_cast<size_t>(pageNo)]) {
    faults.push_back(Format("page %d is reached twice (a cycle or a shared page)", pageNo));
    return;
  }
  seen[static_cast<size_t>(pageNo)] = true;
  if (depth > kMaxDepth) {
    faults.push_back(Format("the tree is deeper than %d levels", kMaxDepth));
    return;
  }
  // A copy: checking children loads other pages.
  const std::vector<char> page(Page(pageNo), Page(pageNo) + pageBytes_);
  const auto rawCount = static_cast<int32_t>(GetLE32(page.data()));
  const bool inner = IsInner(page.data());
  if (rawCount < 0 || rawCount > tag.maxKeys || (inner && rawCount + 1 > tag.maxKeys)) {
    faults.push_back(Format("page %d counts %d entries, more than its %d slots hold", pageNo,
                            rawCount, tag.maxKeys));
    return;
  }
  if (!inner) {
    if (leafDepth < 0) leafDepth = depth;
    if (leafDepth != depth)
      faults.push_back(
          Format("leaf page %d lies at depth %d, others at %d", pageNo, depth, leafDepth));
    for (int32_t i = 0; i < rawCount; ++i) {
      const char* key = KeyAt(page.data(), i);
      const int32_t recNo = RecordAt(page.data(), i);
      if (haveLast && CompareKeys(lastKey.data(), key) > 0)
        faults.push_back(
            Format("page %d entry %d (record %d) is out of key order", pageNo, i, recNo));
      lastKey.assign(key, key + tag.keyLength);
      haveLast = true;
      if (recNo < 1 || recNo > tableRecords)
        faults.push_back(Format("page %d entry %d points at record %d, past the table's %d", pageNo,
                                i, recNo, tableRecords));
      else
        entries.emplace_back(std::string(key, static_cast<size_t>(tag.keyLength)), recNo);
    }
    return;
  }
  for (int32_t i = 0; i <= rawCount; ++i) {
    CheckPage(tag, ChildAt(page.data(), i), depth + 1, leafDepth, lastKey, haveLast, seen, faults,
              entries, tableRecords, fileEnd);
    if (i < rawCount && haveLast && CompareKeys(lastKey.data(), KeyAt(page.data(), i)) > 0)
      faults.push_back(Format("page %d key %d is below the keys of its child", pageNo, i));
  }
}
