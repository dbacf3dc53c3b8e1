#include "platform/env.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

using platform::TEnv;
using platform::TFile;
using platform::TOsStatus;

class TEnvTest : public ::testing::Test {
 protected:
  TOsStatus Open(platform::TFileOpenMode mode, std::unique_ptr<TFile>& file) {
    return env_->OpenFile(path_, mode, file);
  }
  std::unique_ptr<TFile> MustOpen(platform::TFileOpenMode mode) {
    std::unique_ptr<TFile> file;
    EXPECT_TRUE(Open(mode, file).IsOk());
    return file;
  }
  std::string Read(TFile& file, int64_t offset, int64_t length) {
    std::string buffer(static_cast<size_t>(length), '\0');
    int64_t bytesRead = 0;
    EXPECT_TRUE(file.ReadAt(offset, buffer.data(), length, bytesRead).IsOk());
    buffer.resize(static_cast<size_t>(bytesRead));
    return buffer;
  }
  void Write(TFile& file, int64_t offset, const std::string& bytes) {
    int64_t written = 0;
    EXPECT_TRUE(
        file.WriteAt(offset, bytes.data(), static_cast<int64_t>(bytes.size()), written).IsOk());
    EXPECT_EQ(static_cast<int64_t>(bytes.size()), written);
  }

  TEnv* env_ = TEnv::Default();
  TTempDir dir_;
  std::string path_ = dir_.File("data.bin");
};

TEST_F(TEnvTest, ShareModesConflictAsWindowsHandlesDo) {
  using platform::fmReadOnlyShared;
  using platform::fmReadWriteDenyWrite;
  using platform::fmReadWriteShared;
  WriteWholeFile(path_, "x");
  const struct {
    platform::TFileOpenMode first;
    platform::TFileOpenMode second;
    bool allowed;
  } cases[] = {
      {fmReadWriteDenyWrite, fmReadWriteDenyWrite, false},
      {fmReadWriteDenyWrite, fmReadWriteShared, false},
      {fmReadWriteDenyWrite, fmReadOnlyShared, true},
      {fmReadWriteShared, fmReadWriteDenyWrite, false},
      {fmReadWriteShared, fmReadWriteShared, true},
      {fmReadWriteShared, fmReadOnlyShared, true},
      {fmReadOnlyShared, fmReadWriteDenyWrite, true},
      {fmReadOnlyShared, fmReadWriteShared, true},
      {fmReadOnlyShared, fmReadOnlyShared, true},
  };
  for (const auto& c : cases) {
    std::unique_ptr<TFile> first = MustOpen(c.first);
    std::unique_ptr<TFile> second;
    const TOsStatus status = Open(c.second, second);
    EXPECT_EQ(c.allowed, status.IsOk()) << c.first << " then " << c.second;
    if (!c.allowed) {
      EXPECT_TRUE(status.IsSharingViolation());
      EXPECT_EQ(nullptr, second);
      first.reset();  // closing the first handle lifts the refusal
      EXPECT_TRUE(Open(c.second, second).IsOk());
    }
  }
}

TEST_F(TEnvTest, OpenFailures) {
  std::unique_ptr<TFile> file;
  TOsStatus status = Open(platform::fmReadOnlyShared, file);
  EXPECT_EQ(platform::kErrorFileNotFound, status.Code());
  EXPECT_EQ("No such file or directory", status.Message());
  EXPECT_EQ(platform::kErrorAccessDenied,
            env_->OpenFile(dir_.Path(), platform::fmReadOnlyShared, file).Code());
  WriteWholeFile(path_, "x");
  EXPECT_EQ(platform::kErrorPathNotFound,
            env_->OpenFile(path_ + "/inner", platform::fmReadWriteShared, file).Code());
  EXPECT_FALSE(env_->FileExists(dir_.Path()));
}

TEST_F(TEnvTest, CreateExistsDelete) {
  EXPECT_FALSE(env_->FileExists(path_));
  ASSERT_TRUE(env_->CreateFile(path_).IsOk());
  EXPECT_TRUE(env_->FileExists(path_));
  WriteWholeFile(path_, "keep");
  ASSERT_TRUE(env_->CreateFile(path_).IsOk());  // an existing file stays
  EXPECT_EQ("keep", ReadWholeFile(path_));
  ASSERT_TRUE(env_->DeleteFile(path_).IsOk());
  EXPECT_FALSE(env_->FileExists(path_));
  EXPECT_EQ(platform::kErrorFileNotFound, env_->DeleteFile(path_).Code());
}

TEST_F(TEnvTest, ReadOnlyHandleDoesNotWrite) {
  WriteWholeFile(path_, "abc");
  std::unique_ptr<TFile> file = MustOpen(platform::fmReadOnlyShared);
  int64_t written = 0;
  EXPECT_EQ(platform::kErrorAccessDenied, file->WriteAt(0, "x", 1, written).Code());
  EXPECT_EQ(0, written);
  EXPECT_EQ(platform::kErrorAccessDenied, file->SetSize(0).Code());
  EXPECT_EQ("abc", ReadWholeFile(path_));
}

TEST_F(TEnvTest, ReadsSeeOtherHandlesWritesGrowthAndShrinking) {
  for (platform::TFileOpenMode mode : {platform::fmReadOnlyShared, platform::fmReadWriteShared}) {
    WriteWholeFile(path_, std::string(10000, 'a'));
    std::unique_ptr<TFile> reader = MustOpen(mode);
    std::unique_ptr<TFile> writer = MustOpen(platform::fmReadWriteShared);
    EXPECT_EQ("aaaa", Read(*reader, 100, 4));
    EXPECT_EQ("aaaa", Read(*reader, 9000, 4));
    Write(*writer, 100, "bbbb");
    EXPECT_EQ("bbbb", Read(*reader, 100, 4));
    // Past the size the reader knew.
    Write(*writer, 10000, "tail");
    EXPECT_EQ("tail", Read(*reader, 10000, 10));
    EXPECT_EQ("ail", Read(*reader, 10001, 10));
    // Shrunk behind the reader's back: a read of a range now wholly past
    // the end is empty, not a crash.
    ASSERT_TRUE(writer->SetSize(10).IsOk());
    EXPECT_EQ("", Read(*reader, 9000, 4)) << mode;
    int64_t size = 0;
    ASSERT_TRUE(reader->Size(size).IsOk());
    EXPECT_EQ(10, size);
    EXPECT_EQ("aa", Read(*reader, 8, 4));
  }
}

TEST_F(TEnvTest, ReadOnlyReaderSeesTheExactEndAfterTruncation) {
  WriteWholeFile(path_, std::string(100, 'a'));
  std::unique_ptr<TFile> reader = MustOpen(platform::fmReadOnlyShared);
  EXPECT_EQ("aaaa", Read(*reader, 8, 4));
  std::unique_ptr<TFile> truncater = MustOpen(platform::fmReadWriteDenyWrite);
  ASSERT_TRUE(truncater->SetSize(10).IsOk());
  EXPECT_EQ("aa", Read(*reader, 8, 4));
}

TEST_F(TEnvTest, WriteSizeAndTruncate) {
  ASSERT_TRUE(env_->CreateFile(path_).IsOk());
  std::unique_ptr<TFile> file = MustOpen(platform::fmReadWriteDenyWrite);
  Write(*file, 5, "xy");
  int64_t size = 0;
  ASSERT_TRUE(file->Size(size).IsOk());
  EXPECT_EQ(7, size);
  EXPECT_EQ(std::string("\0\0\0\0\0xy", 7), Read(*file, 0, 100));
  ASSERT_TRUE(file->SetSize(3).IsOk());
  EXPECT_EQ(std::string(3, '\0'), Read(*file, 0, 100));
  ASSERT_TRUE(file->SetSize(6).IsOk());
  EXPECT_EQ(6u, ReadWholeFile(path_).size());
  EXPECT_TRUE(file->Flush().IsOk());
  int64_t count = 0;
  char byte = 0;
  EXPECT_EQ(platform::kErrorInvalidParameter, file->ReadAt(-1, &byte, 1, count).Code());
  EXPECT_EQ(platform::kErrorInvalidParameter, file->SetSize(-1).Code());
}

TEST_F(TEnvTest, LocksAreExclusivePerHandle) {
  WriteWholeFile(path_, "x");
  std::unique_ptr<TFile> first = MustOpen(platform::fmReadWriteShared);
  std::unique_ptr<TFile> second = MustOpen(platform::fmReadWriteShared);
  ASSERT_TRUE(first->Lock(100, 10).IsOk());
  // The same handle may not lock an overlapping range again.
  EXPECT_TRUE(first->Lock(105, 1).IsLockViolation());
  EXPECT_TRUE(second->Lock(109, 5).IsLockViolation());
  EXPECT_TRUE(second->Lock(99, 2).IsLockViolation());
  EXPECT_TRUE(second->Lock(110, 5).IsOk());
  EXPECT_TRUE(second->Lock(90, 10).IsOk());
  // Only the exact range unlocks.
  EXPECT_EQ(platform::kErrorNotLocked, first->Unlock(100, 5).Code());
  EXPECT_EQ(platform::kErrorNotLocked, first->Unlock(110, 5).Code());
  ASSERT_TRUE(first->Unlock(100, 10).IsOk());
  EXPECT_TRUE(second->Lock(100, 10).IsOk());
  // Far offsets, as the virtual locks use.
  EXPECT_TRUE(first->Lock(0xEFFFFFFE, 1).IsOk());
  EXPECT_TRUE(second->Lock(0xEFFFFFFE, 1).IsLockViolation());
  first.reset();
  EXPECT_TRUE(second->Lock(0xEFFFFFFE, 1).IsOk());
  EXPECT_EQ(platform::kErrorInvalidParameter, second->Lock(UINT64_MAX, 2).Code());
}

TEST_F(TEnvTest, MemoryFile) {
  std::unique_ptr<TFile> file = platform::NewMemoryFile();
  Write(*file, 2, "ab");
  EXPECT_EQ(std::string("\0\0ab", 4), Read(*file, 0, 10));
  EXPECT_EQ("", Read(*file, 10, 10));
  ASSERT_TRUE(file->SetSize(3).IsOk());
  int64_t size = 0;
  ASSERT_TRUE(file->Size(size).IsOk());
  EXPECT_EQ(3, size);
  EXPECT_TRUE(file->Lock(1, 1).IsOk());
}

TEST_F(TEnvTest, LocalTimeAndComputerName) {
  const platform::TSystemTime now = env_->LocalTime();
  EXPECT_GE(now.year, 2000);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_GE(now.day, 1);
  EXPECT_LE(now.day, 31);
  EXPECT_LE(now.hour, 23);
  EXPECT_LE(now.milliseconds, 999);
  EXPECT_LE(now.dayOfWeek, 6);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(std::string(host), env_->ComputerName());
}

}  // namespace
