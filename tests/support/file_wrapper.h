#pragma once
// A platform file that forwards every call to another one; a test derives
// from it and overrides the calls it wants to fail or observe, as
// TEnvWrapper does for the environment. TRecordReadCounter counts the
// record reads of the files opened through it.

#include <memory>
#include <utility>

#include "platform/env.h"

class TFileWrapper : public platform::TFile {
 public:
  explicit TFileWrapper(std::unique_ptr<platform::TFile> target) : target_(std::move(target)) {}
  platform::TFile* Target() const { return target_.get(); }

  platform::TOsStatus ReadAt(int64_t offset, void* buffer, int64_t length,
                             int64_t& bytesRead) override {
    return target_->ReadAt(offset, buffer, length, bytesRead);
  }
  platform::TOsStatus WriteAt(int64_t offset, const void* buffer, int64_t length,
                              int64_t& bytesWritten) override {
    return target_->WriteAt(offset, buffer, length, bytesWritten);
  }
  platform::TOsStatus Size(int64_t& size) override { return target_->Size(size); }
  platform::TOsStatus SetSize(int64_t size) override { return target_->SetSize(size); }
  platform::TOsStatus Flush() override { return target_->Flush(); }
  platform::TOsStatus Lock(uint64_t offset, uint64_t length) override {
    return target_->Lock(offset, length);
  }
  platform::TOsStatus Unlock(uint64_t offset, uint64_t length) override {
    return target_->Unlock(offset, length);
  }

 private:
  std::unique_ptr<platform::TFile> target_;
};

// Counts the reads at offsets at or past a table's header (record reads)
// made through the files opened through it; the files must not outlive it.
class TRecordReadCounter : public platform::TEnvWrapper {
 public:
  explicit TRecordReadCounter(int64_t headerSize)
      : TEnvWrapper(platform::TEnv::Default()), headerSize_(headerSize) {}
  platform::TOsStatus OpenFile(const std::string& name, platform::TFileOpenMode mode,
                               std::unique_ptr<platform::TFile>& file) override {
    platform::TOsStatus status = Target()->OpenFile(name, mode, file);
    if (status.IsOk()) file = std::make_unique<TCountingFile>(std::move(file), *this);
    return status;
  }
  int64_t reads = 0;

 private:
  class TCountingFile : public TFileWrapper {
   public:
    TCountingFile(std::unique_ptr<platform::TFile> file, TRecordReadCounter& owner)
        : TFileWrapper(std::move(file)), owner_(owner) {}
    platform::TOsStatus ReadAt(int64_t offset, void* buffer, int64_t length,
                               int64_t& bytesRead) override {
      if (offset >= owner_.headerSize_) ++owner_.reads;
      return TFileWrapper::ReadAt(offset, buffer, length, bytesRead);
    }

   private:
    TRecordReadCounter& owner_;
  };
  int64_t headerSize_;
};
