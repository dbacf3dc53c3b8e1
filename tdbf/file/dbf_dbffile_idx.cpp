// The index side of TDbfFile: opening the production index with the table,
// the index-name list, opening, creating, regenerating and deleting
// indexes. The record operations of dbf_dbffile.cpp keep them up to date.

#include <algorithm>

#include "platform/env.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_str.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/index/dbf_idxfile.h"

namespace {

constexpr int kProductionIndexFlagAt = 28;

bool SameName(const std::string& a, const std::string& b) { return UpperCase(a) == UpperCase(b); }

// The access mode of an index file of a table opened in mode.
TFileAccessMode IndexModeFor(TFileAccessMode mode, bool create) {
  switch (mode) {
    case amExclusiveCreate:
    case amExclusiveOpen:
      return create ? amExclusiveCreate : amExclusiveOpen;
    case amSharedCreate:
    case amSharedOpen:
      return create ? amSharedCreate : amSharedOpen;
    default:
      return mode;
  }
}

}  // namespace

std::unique_ptr<TIndexFile> TDbfFile::NewIndexFile(const std::string& path, bool create,
                                                   bool autoCreate) {
  auto file = std::make_unique<TIndexFile>(path, this);
  file->SetEnv(Env());
  // Only a file to be made anew is opened in a creating mode, which empties
  // it; one that may be made opens an existing file as it is.
  file->SetMode(IndexModeFor(Mode(), create));
  // A read-only table may still be given a new index file: it is made
  // shared and reopened read-only.
  file->SetAutoCreate(autoCreate);
  file->SetOnLocaleError(onLocaleError_);
  return file;
}

void TDbfFile::OpenProductionIndex() {
  if (!Header() || HeaderSize() <= kProductionIndexFlagAt) return;
  if (Header()[kProductionIndexFlagAt] == 0 || indexLinkDropped_) return;
  const std::string name = ProductionIndexName();
  if (!Env()->FileExists(name)) return;
  std::unique_ptr<TIndexFile> file = NewIndexFile(name, false, false);
  try {
    file->Open();
  } catch (const Exception& e) {
    // The table opens in record order; changes are refused while the index
    // it names is closed, so that the index cannot go stale.
    indexOpenError_ = e.Message();
    return;
  }
  if (file->ForceClose()) return;
  productionIndex_ = file.get();
  for (const std::string& tag : file->IndexNames()) indexNames_.emplace_back(tag, file.get());
  indexFiles_.push_back(std::move(file));
}

void TDbfFile::CheckIndexesUsable() {
  if (indexOpenError_.empty()) return;
  throw EDbfError(Format(kIndexClosedNoEdit, FileName().c_str(), ProductionIndexName().c_str(),
                         indexOpenError_.c_str()));
}

TIndexFile* TDbfFile::IndexFileOf(const std::string& name) const {
  for (const auto& [entry, file] : indexNames_)
    if (SameName(entry, name)) return file;
  return nullptr;
}

std::vector<std::string> TDbfFile::IndexNameList() const {
  std::vector<std::string> names;
  for (const auto& entry : indexNames_) names.push_back(entry.first);
  return names;
}

TIndexFile* TDbfFile::OpenIndex(const std::string& name, const std::string& expression, bool create,
                                uint8_t options, const TIndexProgress& progress) {
  TIndexFile* file = IndexFileOf(name);
  if (file != nullptr && file == productionIndex_ && create) {
    DeleteIndex(name);
    file = nullptr;
  }
  std::unique_ptr<TIndexFile> opened;
  bool newName = false;
  if (file == nullptr && !name.empty()) {
    const bool separate = !ExtractFileExt(name).empty();
    const bool mayCreate = create || !expression.empty();
    if (!separate && productionIndex_ != nullptr) {
      file = productionIndex_;
    } else {
      const std::string path = separate ? name : ProductionIndexName();
      opened = NewIndexFile(path, create, mayCreate);
      if (Mode() == amReadOnly && mayCreate && !Env()->FileExists(path))
        opened->SetMode(amSharedCreate);
      opened->Open();
      if (opened->ForceClose()) return nullptr;
      if (opened->Created() && expression.empty()) {
        opened->Close();
        opened->DeleteFile();
        return nullptr;
      }
      file = opened.get();
    }
    newName = true;
  }
  if (file == nullptr) return nullptr;
  const bool makeTag =
      file->IsMultiIndex() ? file->PositionOf(name) < 0 : (create || file->Created());
  if (!makeTag) {
    if (opened) {
      if (!ExtractFileExt(name).empty() || productionIndex_ != nullptr) {
        indexFiles_.push_back(std::move(opened));
      } else {
        productionIndex_ = opened.get();
        for (const std::string& tag : productionIndex_->IndexNames())
          indexNames_.emplace_back(tag, productionIndex_);
        indexFiles_.push_back(std::move(opened));
        return productionIndex_;
      }
    }
    if (newName && IndexFileOf(name) == nullptr) indexNames_.emplace_back(name, file);
    return file;
  }

  // Creating: the new index is complete (every record in it) before it is
  // listed; a failure removes it again.
  const bool enter = IsSharedAccess();
  if (enter) {
    EnterExclusive();
    if (opened) opened->EnterExclusive();
  }
  try {
    file->CreateIndex(UpperCase(expression), name, options);
    RegenerateIndex(file, file->IsMultiIndex() ? UpperCase(name) : name, progress);
  } catch (...) {
    if (file->IsMultiIndex() && file->PositionOf(name) >= 0 && !IsSharedAccess()) {
      try {
        file->DeleteIndex(name);
      } catch (...) {
        // The creation's failure is what the caller must see.
      }
    }
    if (opened) {
      const bool made = opened->Created();
      opened->Close();
      if (made) opened->DeleteFile();
    }
    if (enter) LeaveExclusive();
    throw;
  }
  if (enter) {
    LeaveExclusive();
    if (opened) opened->LeaveExclusive();
  }
  if (opened) {
    const bool production = ExtractFileExt(name).empty();
    if (production) {
      productionIndex_ = opened.get();
      // The table names its production index from now on.
      if (Header() && HeaderSize() > kProductionIndexFlagAt &&
          Header()[kProductionIndexFlagAt] == 0) {
        Header()[kProductionIndexFlagAt] = 1;
        indexLinkDropped_ = false;
        WriteHeader();
      }
    }
    indexFiles_.push_back(std::move(opened));
  }
  if (file == productionIndex_) {
    const std::vector<std::string> tags = file->IndexNames();
    if (IndexFileOf(tags.back()) == nullptr) indexNames_.emplace_back(tags.back(), file);
  } else if (IndexFileOf(name) == nullptr) {
    indexNames_.emplace_back(name, file);
  }
  return file;
}

void TDbfFile::RegenerateIndex(TIndexFile* indexFile, const std::string& name,
                               const TIndexProgress& progress) {
  if (indexFile == nullptr) return;
  const std::string selected = indexFile->IndexName();
  const TIndexUpdateMode mode = indexFile->UpdateMode();
  indexFile->Rebuild(name.empty() ? -1 : indexFile->PositionOf(name), progress);
  indexFile->SetUpdateMode(mode);
  if (!selected.empty()) indexFile->SelectIndex(selected);
}

void TDbfFile::DeleteIndex(const std::string& name) {
  TIndexFile* file = IndexFileOf(name);
  if (file == nullptr) return;
  file->DeleteIndex(name);
  indexNames_.erase(std::remove_if(indexNames_.begin(), indexNames_.end(),
                                   [&](const auto& entry) { return SameName(entry.first, name); }),
                    indexNames_.end());
  if (file->IsMultiIndex()) return;
  // A separate index file is gone: its object goes too.
  indexFiles_.erase(std::remove_if(indexFiles_.begin(), indexFiles_.end(),
                                   [&](const auto& entry) {
                                     return dynamic_cast<TIndexFile*>(entry.get()) == file;
                                   }),
                    indexFiles_.end());
}
