#pragma once
// A platform file that forwards every call to another one; a test derives
// from it and overrides the calls it wants to fail or observe, as
// TEnvWrapper does for the environment.

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
