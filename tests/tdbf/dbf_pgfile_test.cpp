#include "tdbf/file/dbf_pgfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/env.h"
#include "runtime/exceptions.h"
#include "tests/support/child_process.h"
#include "tests/support/file_wrapper.h"
#include "tests/support/temp_dir.h"

namespace {

// A file that counts lock calls and can refuse the next reads with a lock
// violation, as a Windows file with a locked range does.
class TObservedFile : public TFileWrapper {
 public:
  using TFileWrapper::TFileWrapper;

  platform::TOsStatus ReadAt(int64_t offset, void* buffer, int64_t length,
                             int64_t& bytesRead) override {
    if (refusedReads > 0) {
      --refusedReads;
      bytesRead = 0;
      return platform::TOsStatus(platform::kErrorLockViolation, "locked");
    }
    return Target()->ReadAt(offset, buffer, length, bytesRead);
  }
  platform::TOsStatus Lock(uint64_t offset, uint64_t length) override {
    ++lockCalls;
    return Target()->Lock(offset, length);
  }

  int refusedReads = 0;
  int lockCalls = 0;
};

// Hands out observed files and records pauses; OnSleep runs at each pause.
class TObservedEnv : public platform::TEnvWrapper {
 public:
  TObservedEnv() : TEnvWrapper(platform::TEnv::Default()) {}

  platform::TOsStatus OpenFile(const std::string& name, platform::TFileOpenMode mode,
                               std::unique_ptr<platform::TFile>& file) override {
    std::unique_ptr<platform::TFile> real;
    platform::TOsStatus status = Target()->OpenFile(name, mode, real);
    if (status.IsOk()) {
      auto observed = std::make_unique<TObservedFile>(std::move(real));
      lastFile = observed.get();
      file = std::move(observed);
    }
    return status;
  }
  void Sleep(uint32_t milliseconds) override {
    sleeps.push_back(milliseconds);
    if (onSleep) onSleep();
  }

  TObservedFile* lastFile = nullptr;
  std::vector<uint32_t> sleeps;
  std::function<void()> onSleep;
};

bool FileOnDisk(const std::string& path) { return std::filesystem::exists(path); }

std::string Record(char fill, int size) { return std::string(static_cast<size_t>(size), fill); }

class TPagedFileTest : public ::testing::Test {
 protected:
  // A file of a 100-byte header and 20-byte records.
  std::string MakeTable(int records) {
    std::string bytes(100, 'H');
    for (int i = 0; i < records; ++i) bytes += Record(static_cast<char>('a' + i), 20);
    WriteWholeFile(path_, bytes);
    return bytes;
  }
  void Open(TPagedFile& file, TFileAccessMode mode) {
    file.SetMode(mode);
    file.OpenFile();
    file.SetRecordSize(20);
    file.SetHeaderSize(100);
  }
  std::unique_ptr<TChildProcess> StartHelper() {
    auto helper = std::make_unique<TChildProcess>(
        std::string(ZOZUR_HELPER_DIR) + "/pgfile_lock_helper", std::vector<std::string>{path_});
    EXPECT_EQ("ok", helper->Request("geometry 100 20"));
    return helper;
  }

  TTempDir dir_;
  std::string path_ = dir_.File("table.dbf");
};

TEST_F(TPagedFileTest, NewObjectDefaults) {
  TPagedFile file(path_);
  EXPECT_EQ(amReadOnly, file.Mode());
  EXPECT_TRUE(file.PageOffsetByHeader());
  EXPECT_TRUE(file.VirtualLocks());
  EXPECT_FALSE(file.AutoCreate());
  EXPECT_EQ(nullptr, file.Header());
  EXPECT_EQ(0, file.RecordSize());
  EXPECT_EQ(0, file.PageCount());
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(TPagedFileTest, MissingFileWithoutCreatingModeIsNotFound) {
  for (TFileAccessMode mode : {amExclusiveOpen, amSharedOpen, amReadOnly}) {
    TPagedFile file(path_);
    file.SetMode(mode);
    try {
      file.OpenFile();
      FAIL() << "opened a missing file";
    } catch (const EDbfError&) {
      FAIL() << "not the base exception";
    } catch (const Exception& e) {
      EXPECT_EQ("Open: file not found: \"" + path_ + "\".", e.Message());
    }
    EXPECT_FALSE(file.IsOpen());
  }
}

TEST_F(TPagedFileTest, AutoCreateTurnsOpeningModesIntoCreatingOnes) {
  const struct {
    TFileAccessMode asked;
    TFileAccessMode got;
  } cases[] = {{amSharedOpen, amSharedCreate},
               {amReadOnly, amSharedCreate},
               {amExclusiveOpen, amExclusiveCreate}};
  for (const auto& c : cases) {
    TTempDir dir;
    TPagedFile file(dir.File("new.dbf"));
    file.SetAutoCreate(true);
    file.SetMode(c.asked);
    file.OpenFile();
    EXPECT_EQ(c.got, file.Mode());
    file.SetRecordSize(20);
    file.SetHeaderSize(32);
    EXPECT_EQ(std::string(32, '\0'), std::string(file.Header(), 32));
    EXPECT_EQ(0, file.PageCount());
    file.CloseFile();
    EXPECT_EQ("", ReadWholeFile(dir.File("new.dbf")));
  }
}

TEST_F(TPagedFileTest, CreatingModeEmptiesAnExistingFile) {
  MakeTable(3);
  TPagedFile file(path_);
  file.SetMode(amExclusiveCreate);
  file.OpenFile();
  EXPECT_EQ(0, file.CachedSize());
  file.CloseFile();
  EXPECT_EQ("", ReadWholeFile(path_));
}

TEST_F(TPagedFileTest, PagesFollowTheHeader) {
  WriteWholeFile(path_, std::string(151, 'x'));
  TPagedFile file(path_);
  Open(file, amExclusiveOpen);
  EXPECT_EQ(0, file.PageOffset(0));
  EXPECT_EQ(100, file.PageOffset(1));
  EXPECT_EQ(140, file.PageOffset(3));
  // The trailing byte is not a page.
  EXPECT_EQ(2, file.PageCount());

  file.SetHeaderOffset(10);
  EXPECT_EQ(110, file.PageOffset(1));
  EXPECT_EQ(2, file.PageCount());  // (151 - 110) / 20

  file.SetPageOffsetByHeader(false);
  EXPECT_EQ(0, file.PageOffset(0));
  EXPECT_EQ(60, file.PageOffset(3));
  EXPECT_EQ(7, file.PageCount());
}

TEST_F(TPagedFileTest, PageSizeApartFromRecordSize) {
  WriteWholeFile(path_, std::string(4096, 'x'));
  TPagedFile file(path_);
  file.SetMode(amExclusiveOpen);
  file.OpenFile();
  file.SetPageOffsetByHeader(false);
  file.SetRecordSize(1024);
  file.SetPageSize(512);
  EXPECT_EQ(2, file.PagesPerRecord());
  EXPECT_EQ(8, file.PageCount());
  EXPECT_EQ(1536, file.PageOffset(3));
  file.SetPageSize(0);
  EXPECT_EQ(0, file.PagesPerRecord());
  EXPECT_EQ(0, file.PageCount());
}

TEST_F(TPagedFileTest, HeaderSmallerFileReadsZeroFilled) {
  WriteWholeFile(path_, "ABC");
  TPagedFile file(path_);
  file.SetMode(amExclusiveOpen);
  file.OpenFile();
  file.SetHeaderSize(8);
  EXPECT_EQ(std::string("ABC\0\0\0\0\0", 8), std::string(file.Header(), 8));
  EXPECT_EQ(0, file.PageCount());  // no record size yet
}

TEST_F(TPagedFileTest, ReadAndWritePages) {
  MakeTable(2);
  TPagedFile file(path_);
  Open(file, amExclusiveOpen);
  char buffer[20];
  EXPECT_EQ(20, file.ReadPage(2, buffer));
  EXPECT_EQ(Record('b', 20), std::string(buffer, 20));
  EXPECT_EQ(0, file.ReadPage(3, buffer));
  EXPECT_EQ(2, file.PageCount());

  const std::string third = Record('z', 20);
  file.WritePage(3, third.data());
  EXPECT_EQ(3, file.PageCount());
  EXPECT_EQ(160, file.CachedSize());
  file.WriteChar(0x1A);
  EXPECT_EQ(3, file.PageCount());
  file.CloseFile();
  const std::string bytes = ReadWholeFile(path_);
  ASSERT_EQ(161u, bytes.size());
  EXPECT_EQ(third, bytes.substr(140, 20));
  EXPECT_EQ('\x1A', bytes[160]);
}

TEST_F(TPagedFileTest, WritingPastTheEndCountsEveryPage) {
  MakeTable(1);
  TPagedFile file(path_);
  Open(file, amExclusiveOpen);
  const std::string record = Record('q', 20);
  file.WritePage(4, record.data());
  EXPECT_EQ(4, file.PageCount());
  char buffer[20];
  EXPECT_EQ(20, file.ReadPage(3, buffer));
  EXPECT_EQ(std::string(20, '\0'), std::string(buffer, 20));
}

TEST_F(TPagedFileTest, ReadingPastTheEndLeavesTheCountAlone) {
  MakeTable(2);
  TPagedFile file(path_);
  Open(file, amExclusiveOpen);
  char buffer[20];
  EXPECT_EQ(0, file.ReadPage(10, buffer));
  file.SetRecordSize(20);  // forces a recount from the cached size
  EXPECT_EQ(2, file.PageCount());
}

TEST_F(TPagedFileTest, SetPageCountTruncatesAndExtends) {
  MakeTable(5);
  TPagedFile file(path_);
  Open(file, amExclusiveOpen);
  file.SetPageCount(2);
  EXPECT_EQ(2, file.PageCount());
  EXPECT_EQ(140, file.CachedSize());
  file.SetPageCount(4);
  EXPECT_EQ(4, file.PageCount());
  file.CloseFile();
  const std::string bytes = ReadWholeFile(path_);
  ASSERT_EQ(180u, bytes.size());
  EXPECT_EQ(Record('b', 20), bytes.substr(120, 20));
  EXPECT_EQ(std::string(40, '\0'), bytes.substr(140));
}

TEST_F(TPagedFileTest, ReadAtAndCharactersAtThePosition) {
  MakeTable(1);
  TPagedFile file(path_);
  Open(file, amExclusiveOpen);
  char buffer[4];
  EXPECT_EQ(4, file.ReadAt(buffer, 4, 96));
  EXPECT_EQ("HHHH", std::string(buffer, 4));
  EXPECT_EQ('a', file.ReadChar());
  EXPECT_EQ(2, file.ReadAt(buffer, 4, 118));
  EXPECT_EQ(-1, file.ReadChar());
  file.WriteAt("xyz", 3, 120);
  EXPECT_EQ(123, file.CachedSize());
  file.WriteChar('!');
  file.CloseFile();
  EXPECT_EQ("xyz!", ReadWholeFile(path_).substr(120));
}

TEST_F(TPagedFileTest, ExclusiveHeaderIsWrittenOnClose) {
  MakeTable(1);
  TPagedFile file(path_);
  Open(file, amExclusiveOpen);
  file.Header()[0] = 'X';
  file.WriteHeader();
  EXPECT_EQ('H', ReadWholeFile(path_)[0]);
  file.CloseFile();
  EXPECT_EQ('X', ReadWholeFile(path_)[0]);
}

TEST_F(TPagedFileTest, SharedHeaderIsWrittenAtOnce) {
  MakeTable(1);
  TPagedFile file(path_);
  Open(file, amSharedOpen);
  file.Header()[0] = 'X';
  file.WriteHeader();
  EXPECT_EQ('X', ReadWholeFile(path_)[0]);
}

TEST_F(TPagedFileTest, ChangingTheHeaderSizeKeepsPendingChanges) {
  MakeTable(1);
  TPagedFile file(path_);
  Open(file, amExclusiveOpen);
  file.Header()[1] = 'Y';
  file.WriteHeader();
  file.SetHeaderSize(4);  // flushes, then reads the new size back
  EXPECT_EQ("HYHH", std::string(file.Header(), 4));
}

TEST_F(TPagedFileTest, SharedPageCountFollowsAnotherHandle) {
  MakeTable(2);
  TPagedFile reader(path_);
  Open(reader, amReadOnly);
  TPagedFile writer(path_);
  Open(writer, amSharedOpen);
  EXPECT_EQ(2, reader.PageCount());
  const std::string record = Record('n', 20);
  writer.WritePage(3, record.data());
  EXPECT_EQ(3, reader.PageCount());
  char buffer[20];
  ASSERT_EQ(20, reader.ReadPage(3, buffer));
  EXPECT_EQ(record, std::string(buffer, 20));
  // A record read once and changed by the other handle reads changed.
  const std::string changed = Record('m', 20);
  writer.WritePage(3, changed.data());
  ASSERT_EQ(20, reader.ReadPage(3, buffer));
  EXPECT_EQ(changed, std::string(buffer, 20));
}

TEST_F(TPagedFileTest, ExclusivePageCountTrustsItsCachedSize) {
  MakeTable(2);
  TPagedFile file(path_);
  Open(file, amExclusiveOpen);
  EXPECT_EQ(2, file.PageCount());
  WriteWholeFile(path_, std::string(300, 'x'));  // behind the engine's back
  EXPECT_EQ(2, file.PageCount());
}

TEST_F(TPagedFileTest, ReadOfAShrunkFileGivesNothing) {
  // Large enough that the record read lies on a page wholly past the new end.
  const int records = 2000;
  MakeTable(records);
  TPagedFile reader(path_);
  Open(reader, amReadOnly);
  char buffer[20];
  ASSERT_EQ(20, reader.ReadPage(records, buffer));
  {
    TPagedFile other(path_);
    Open(other, amExclusiveOpen);
    other.SetPageCount(1);
  }
  EXPECT_EQ(0, reader.ReadPage(records, buffer));
  EXPECT_EQ(20, reader.ReadPage(1, buffer));
  EXPECT_EQ(1, reader.PageCount());
}

TEST_F(TPagedFileTest, ReadsRetryWhileARangeIsLocked) {
  MakeTable(1);
  TObservedEnv env;
  TPagedFile file(path_);
  file.SetEnv(&env);
  Open(file, amSharedOpen);
  env.lastFile->refusedReads = 3;
  char buffer[20];
  EXPECT_EQ(20, file.ReadPage(1, buffer));
  EXPECT_EQ((std::vector<uint32_t>{1, 1, 1}), env.sleeps);
}

TEST_F(TPagedFileTest, CheckExclusiveAccess) {
  MakeTable(0);
  for (TFileAccessMode mode : {amSharedOpen, amReadOnly}) {
    TPagedFile file(path_);
    Open(file, mode);
    try {
      file.CheckExclusiveAccess();
      FAIL() << "no error in a shared mode";
    } catch (const EDbfError& e) {
      EXPECT_EQ("Exclusive access is required for this operation.", e.Message());
    }
  }
  TPagedFile file(path_);
  Open(file, amExclusiveOpen);
  EXPECT_NO_THROW(file.CheckExclusiveAccess());
}

TEST_F(TPagedFileTest, MemoryFileNeedsNoDisk) {
  TPagedFile file(path_);
  file.SetMode(amMemory);
  file.OpenFile();
  file.SetRecordSize(20);
  file.SetHeaderSize(100);
  EXPECT_TRUE(file.IsCreateMode());
  EXPECT_FALSE(file.IsSharedAccess());
  file.Header()[0] = 'M';
  file.WriteHeader();
  const std::string record = Record('r', 20);
  file.WritePage(1, record.data());
  file.WritePage(2, record.data());
  EXPECT_EQ(2, file.PageCount());
  EXPECT_TRUE(file.LockPage(1, false));
  char buffer[20];
  EXPECT_EQ(20, file.ReadPage(2, buffer));
  EXPECT_EQ(record, std::string(buffer, 20));
  file.CloseFile();
  EXPECT_FALSE(FileOnDisk(path_));
}

TEST_F(TPagedFileTest, DeleteFileOnlyWhileClosed) {
  MakeTable(0);
  TPagedFile file(path_);
  Open(file, amExclusiveOpen);
  file.DeleteFile();
  EXPECT_TRUE(FileOnDisk(path_));
  file.CloseFile();
  file.DeleteFile();
  EXPECT_FALSE(FileOnDisk(path_));
}

// ---- Sharing ----------------------------------------------------------------

TEST_F(TPagedFileTest, ShareModesConflictInsideOneProcess) {
  MakeTable(1);
  TPagedFile exclusive(path_);
  Open(exclusive, amExclusiveOpen);
  TPagedFile shared(path_);
  shared.SetMode(amSharedOpen);
  try {
    shared.OpenFile();
    FAIL() << "shared open beside an exclusive one";
  } catch (const EStreamError& e) {
    EXPECT_EQ("Cannot open file \"" + path_ +
                  "\". The process cannot access the file because it is being used by another "
                  "process.",
              e.Message());
  }
  TPagedFile second(path_);
  second.SetMode(amExclusiveOpen);
  EXPECT_THROW(second.OpenFile(), EStreamError);
  // Reading beside an exclusive user is allowed, as others may read.
  TPagedFile reader(path_);
  EXPECT_NO_THROW(Open(reader, amReadOnly));
}

TEST_F(TPagedFileTest, EnterExclusiveStaysSharedBesideAnotherHandle) {
  TPagedFile file(path_);
  Open(file, amSharedCreate);
  const std::string record = Record('r', 20);
  file.WritePage(1, record.data());
  {
    TPagedFile other(path_);
    Open(other, amSharedOpen);
    EXPECT_NO_THROW(file.EnterExclusive());
    EXPECT_EQ(amSharedOpen, file.Mode());
    EXPECT_FALSE(file.InExclusivePhase());
    EXPECT_TRUE(file.IsOpen());
  }
  file.EnterExclusive();
  EXPECT_EQ(amExclusiveOpen, file.Mode());
  EXPECT_TRUE(file.InExclusivePhase());
  EXPECT_EQ(1, file.PageCount());
  // A created file comes back opened, not created again.
  file.LeaveExclusive();
  EXPECT_EQ(amSharedOpen, file.Mode());
  EXPECT_FALSE(file.InExclusivePhase());
  EXPECT_EQ(1, file.PageCount());
}

TEST_F(TPagedFileTest, EnterExclusiveOnlyFromSharedModes) {
  MakeTable(1);
  TPagedFile file(path_);
  Open(file, amExclusiveOpen);
  file.EnterExclusive();
  EXPECT_FALSE(file.InExclusivePhase());
  file.LeaveExclusive();
  EXPECT_EQ(amExclusiveOpen, file.Mode());

  TPagedFile reader(dir_.File("other.dbf"));
  WriteWholeFile(reader.FileName(), std::string(120, 'x'));
  Open(reader, amReadOnly);
  reader.EnterExclusive();
  EXPECT_EQ(amExclusiveOpen, reader.Mode());
  reader.LeaveExclusive();
  EXPECT_EQ(amReadOnly, reader.Mode());
}

// ---- Locks ------------------------------------------------------------------

TEST_F(TPagedFileTest, ExclusiveModeLocksWithoutThePlatform) {
  MakeTable(6);
  TObservedEnv env;
  TPagedFile file(path_);
  file.SetEnv(&env);
  Open(file, amExclusiveOpen);
  EXPECT_FALSE(file.NeedLocks());
  EXPECT_TRUE(file.LockPage(5, false));
  EXPECT_TRUE(file.LockPage(5, true));
  file.UnlockPage(5);
  EXPECT_EQ(0, env.lastFile->lockCalls);
}

TEST_F(TPagedFileTest, VirtualLockOfARecordIsOneByteBeyondTheData) {
  MakeTable(6);
  TPagedFile file(path_);
  Open(file, amSharedOpen);
  ASSERT_TRUE(file.LockPage(5, false));
  std::unique_ptr<platform::TFile> raw;
  ASSERT_TRUE(platform::TEnv::Default()->OpenFile(path_, platform::fmReadWriteShared, raw).IsOk());
  EXPECT_TRUE(raw->Lock(0xEFFFFFF9, 1).IsLockViolation());
  EXPECT_TRUE(raw->Lock(0xEFFFFFF8, 1).IsOk());
  EXPECT_TRUE(raw->Lock(0xEFFFFFFA, 1).IsOk());
  // The record itself stays readable and lockable in real bytes.
  EXPECT_TRUE(raw->Lock(180, 20).IsOk());
  file.UnlockPage(5);
  EXPECT_TRUE(raw->Lock(0xEFFFFFF9, 1).IsOk());
  // The header is page 0.
  raw.reset();
  ASSERT_TRUE(file.LockPage(0, false));
  ASSERT_TRUE(platform::TEnv::Default()->OpenFile(path_, platform::fmReadWriteShared, raw).IsOk());
  EXPECT_TRUE(raw->Lock(0xEFFFFFFE, 1).IsLockViolation());
}

TEST_F(TPagedFileTest, RealLocksCoverTheRecordBytes) {
  MakeTable(6);
  TPagedFile file(path_);
  Open(file, amSharedOpen);
  file.SetVirtualLocks(false);
  ASSERT_TRUE(file.LockPage(2, false));
  std::unique_ptr<platform::TFile> raw;
  ASSERT_TRUE(platform::TEnv::Default()->OpenFile(path_, platform::fmReadWriteShared, raw).IsOk());
  EXPECT_TRUE(raw->Lock(139, 1).IsLockViolation());
  EXPECT_TRUE(raw->Lock(120, 1).IsLockViolation());
  EXPECT_TRUE(raw->Lock(140, 1).IsOk());
  EXPECT_TRUE(raw->Lock(119, 1).IsOk());
  ASSERT_TRUE(file.LockPage(0, false));
  EXPECT_TRUE(raw->Lock(0, 1).IsLockViolation());
  EXPECT_TRUE(raw->Lock(20, 1).IsOk());
}

TEST_F(TPagedFileTest, TwoHandlesOfOneProcessConflictOnLocks) {
  MakeTable(6);
  TPagedFile first(path_);
  Open(first, amSharedOpen);
  TPagedFile second(path_);
  Open(second, amSharedOpen);
  ASSERT_TRUE(first.LockPage(5, false));
  EXPECT_FALSE(second.LockPage(5, false));
  EXPECT_TRUE(second.LockPage(6, false));
  first.CloseFile();  // closing gives up the locks
  EXPECT_TRUE(second.LockPage(5, false));
}

TEST_F(TPagedFileTest, OtherProcessRecordLockRefusesOnlyThatRecord) {
  MakeTable(6);
  auto helper = StartHelper();
  ASSERT_EQ("ok", helper->Request("open shared"));
  ASSERT_EQ("granted", helper->Request("lock 5 0"));
  TPagedFile file(path_);
  Open(file, amSharedOpen);
  EXPECT_FALSE(file.LockPage(5, false));
  EXPECT_TRUE(file.LockPage(6, false));
  EXPECT_EQ("refused", helper->Request("lock 6 0"));
  file.UnlockPage(6);
  EXPECT_EQ("granted", helper->Request("lock 6 0"));
}

TEST_F(TPagedFileTest, WaitingLockGrantedOnceTheOtherProcessReleases) {
  MakeTable(6);
  auto helper = StartHelper();
  ASSERT_EQ("ok", helper->Request("open shared"));
  ASSERT_EQ("granted", helper->Request("lock 5 0"));
  TObservedEnv env;
  // The first pause of the waiting lock is when the other process lets go.
  env.onSleep = [&] {
    if (env.sleeps.size() == 1) {
      EXPECT_EQ("ok", helper->Request("unlock 5"));
    }
  };
  TPagedFile file(path_);
  file.SetEnv(&env);
  Open(file, amSharedOpen);
  EXPECT_TRUE(file.LockPage(5, true));
  EXPECT_EQ((std::vector<uint32_t>{10}), env.sleeps);
  EXPECT_EQ("refused", helper->Request("lock 5 0"));
}

TEST_F(TPagedFileTest, ExclusiveOpenRefusedWhileAnotherProcessShares) {
  MakeTable(2);
  auto helper = StartHelper();
  ASSERT_EQ("ok", helper->Request("open shared"));
  TPagedFile exclusive(path_);
  exclusive.SetMode(amExclusiveOpen);
  try {
    exclusive.OpenFile();
    FAIL() << "exclusive open beside another process";
  } catch (const EStreamError& e) {
    EXPECT_NE(std::string::npos, e.Message().find("\"" + path_ + "\""));
  }

  TPagedFile file(path_);
  Open(file, amSharedOpen);
  EXPECT_NO_THROW(file.EnterExclusive());
  EXPECT_EQ(amSharedOpen, file.Mode());
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(2, file.PageCount());

  ASSERT_EQ("ok", helper->Request("close"));
  file.EnterExclusive();
  EXPECT_EQ(amExclusiveOpen, file.Mode());
  EXPECT_EQ("error Cannot open file \"" + path_ +
                "\". The process cannot access the file because it is being used by another "
                "process.",
            helper->Request("open shared"));
  EXPECT_EQ("ok", helper->Request("open readonly"));
}

TEST_F(TPagedFileTest, OtherProcessWritesAndAppendsShow) {
  MakeTable(2);
  auto helper = StartHelper();
  ASSERT_EQ("ok", helper->Request("open shared"));
  TPagedFile file(path_);
  Open(file, amReadOnly);
  char buffer[20];
  ASSERT_EQ(20, file.ReadPage(2, buffer));
  ASSERT_EQ("ok", helper->Request("write 2 changed"));
  ASSERT_EQ(20, file.ReadPage(2, buffer));
  EXPECT_EQ("changed" + std::string(13, ' '), std::string(buffer, 20));
  ASSERT_EQ("ok", helper->Request("write 3 appended"));
  EXPECT_EQ(3, file.PageCount());
  ASSERT_EQ(20, file.ReadPage(3, buffer));
  EXPECT_EQ("appended" + std::string(12, ' '), std::string(buffer, 20));
  EXPECT_EQ("3", helper->Request("count"));
}

}  // namespace
