#include "platform/env.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
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

// A packed table is swapped in by a rename over the original: a handle open
// on the original goes on reading it, a new open sees the new file, and the
// share mode held on the new file travels with it.
TEST_F(TEnvTest, RenameReplacesTheFileInOneStep) {
  const std::string fresh = dir_.File("data.new");
  WriteWholeFile(path_, "old");
  WriteWholeFile(fresh, "new!");
  std::unique_ptr<TFile> old = MustOpen(platform::fmReadWriteShared);
  std::unique_ptr<TFile> held;
  ASSERT_TRUE(env_->OpenFile(fresh, platform::fmReadWriteDenyWrite, held).IsOk());
  ASSERT_TRUE(env_->RenameFile(fresh, path_).IsOk());
  EXPECT_FALSE(env_->FileExists(fresh));
  EXPECT_EQ("new!", ReadWholeFile(path_));
  EXPECT_EQ("old", Read(*old, 0, 10));
  std::unique_ptr<TFile> shared;
  EXPECT_TRUE(Open(platform::fmReadWriteShared, shared).IsSharingViolation());
  held.reset();
  EXPECT_TRUE(Open(platform::fmReadWriteShared, shared).IsOk());

  EXPECT_EQ(platform::kErrorFileNotFound, env_->RenameFile(fresh, path_).Code());
  EXPECT_EQ("new!", ReadWholeFile(path_));
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

// Byte i of the patterned test files.
char PatternByte(int64_t i) { return static_cast<char>('a' + (i * 7 + i / 4096) % 26); }

std::string Pattern(int64_t offset, int64_t length) {
  std::string bytes;
  for (int64_t i = offset; i < offset + length; ++i) bytes += PatternByte(i);
  return bytes;
}

// Bytes of the file at path this process has mapped into memory now.
int64_t MappedBytesOf(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return -1;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  int64_t total = 0;
  while (std::getline(maps, line)) {
    if (line.size() < std::strlen(resolved) ||
        line.compare(line.size() - std::strlen(resolved), std::string::npos, resolved) != 0) {
      continue;
    }
    std::istringstream fields(line);
    uint64_t start = 0;
    uint64_t end = 0;
    char dash = 0;
    fields >> std::hex >> start >> dash >> end;
    total += static_cast<int64_t>(end - start);
  }
  return total;
}

TEST_F(TEnvTest, ReadsAcrossALargeFileAndItsMappedPartStaysBounded) {
  constexpr int64_t kSize = 12 << 20;
  WriteWholeFile(path_, Pattern(0, kSize));
  for (platform::TFileOpenMode mode : {platform::fmReadOnlyShared, platform::fmReadWriteShared}) {
    std::unique_ptr<TFile> reader = MustOpen(mode);
    std::unique_ptr<TFile> writer = MustOpen(platform::fmReadWriteShared);
    // Forward record by record through the whole file, then backward.
    bool same = true;
    for (int64_t at = 0; at + 90 <= kSize; at += 90 * 97)
      same &= Read(*reader, at, 90) == Pattern(at, 90);
    for (int64_t at = kSize - 90; at >= 0; at -= 90 * 89)
      same &= Read(*reader, at, 90) == Pattern(at, 90);
    EXPECT_TRUE(same) << mode;
    EXPECT_GT(MappedBytesOf(path_), 0) << mode;
    EXPECT_LE(MappedBytesOf(path_), 4 << 20) << mode;
    // Across the 2 MiB steps the window moves by; longer than a step.
    const int64_t step = 2 << 20;
    EXPECT_EQ(Pattern(step - 3, 10), Read(*reader, step - 3, 10)) << mode;
    EXPECT_EQ(Pattern(3 * step - 5, 5), Read(*reader, 3 * step - 5, 5)) << mode;
    EXPECT_EQ(Pattern(100, 3 * step), Read(*reader, 100, 3 * step)) << mode;
    EXPECT_EQ(Pattern(kSize - 10, 10), Read(*reader, kSize - 10, 100)) << mode;
    // Another handle's write to a part read long before is seen.
    EXPECT_EQ(Pattern(1000, 4), Read(*reader, 1000, 4)) << mode;
    Read(*reader, kSize - 5000, 4);
    Write(*writer, 1000, "ZZZZ");
    EXPECT_EQ("ZZZZ", Read(*reader, 1000, 4)) << mode;
    Write(*writer, 1000, Pattern(1000, 4));
  }
}

// One byte every stride bytes (a table's deletion flags): from the memory
// window across its moves, from reads past the last whole page and on a
// memory file, short at the end of the file, and short, not faulting, when
// another handle cut the file below the window's pages.
TEST_F(TEnvTest, ReadEveryGivesOneByteEveryStride) {
  constexpr int64_t kSize = (9 << 20) + 777;
  constexpr int64_t kStride = 89;
  constexpr int64_t kFirst = 300;
  const std::string bytes = Pattern(0, kSize);
  WriteWholeFile(path_, bytes);
  const auto every = [&](TFile& file, int64_t count) {
    std::string out(static_cast<size_t>(count), '\0');
    int64_t got = -1;
    EXPECT_TRUE(
        file.ReadEvery(kFirst, kStride, count, reinterpret_cast<uint8_t*>(out.data()), got).IsOk());
    out.resize(static_cast<size_t>(got));
    return out;
  };
  std::string expected;
  for (int64_t at = kFirst; at < kSize; at += kStride) expected += bytes[static_cast<size_t>(at)];
  const auto all = static_cast<int64_t>(expected.size());

  std::unique_ptr<TFile> memory = platform::NewMemoryFile();
  Write(*memory, 0, bytes);
  EXPECT_EQ(expected, every(*memory, all + 5));
  for (platform::TFileOpenMode mode : {platform::fmReadOnlyShared, platform::fmReadWriteShared}) {
    std::unique_ptr<TFile> reader = MustOpen(mode);
    EXPECT_EQ(expected, every(*reader, all + 5)) << mode;
    EXPECT_EQ(expected.substr(0, 1000), every(*reader, 1000)) << mode;
    EXPECT_LE(MappedBytesOf(path_), 4 << 20) << mode;
    {
      std::unique_ptr<TFile> truncater = MustOpen(platform::fmReadWriteShared);
      ASSERT_TRUE(truncater->SetSize(5000).IsOk());
    }
    EXPECT_EQ(expected.substr(0, (5000 - kFirst - 1) / kStride + 1), every(*reader, all)) << mode;
    WriteWholeFile(path_, bytes);
  }
}

TEST_F(TEnvTest, ReaderOfAFileCutShortFarBelowItsPositionReadsTheNewEnd) {
  for (platform::TFileOpenMode mode : {platform::fmReadOnlyShared, platform::fmReadWriteShared}) {
    WriteWholeFile(path_, std::string(100000, 'a'));
    std::unique_ptr<TFile> reader = MustOpen(mode);
    EXPECT_EQ("aaaa", Read(*reader, 50000, 4));
    {
      std::unique_ptr<TFile> truncater = MustOpen(platform::fmReadWriteShared);
      ASSERT_TRUE(truncater->SetSize(10).IsOk());
    }
    // The page read before is gone: the fault ends in an ordinary read, and
    // the new size is learnt, so the end is exact afterwards.
    EXPECT_EQ("", Read(*reader, 50000, 4)) << mode;
    EXPECT_EQ("aa", Read(*reader, 8, 4)) << mode;
    EXPECT_EQ("", Read(*reader, 4096, 4)) << mode;
  }
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

// ---- Folders and names ------------------------------------------------------

TEST(TPathTest, AbsoluteJoinAndExpand) {
  EXPECT_TRUE(platform::IsAbsolutePath("/data/x.dbf"));
  EXPECT_TRUE(platform::IsAbsolutePath("/"));
  EXPECT_FALSE(platform::IsAbsolutePath("data/x.dbf"));
  EXPECT_FALSE(platform::IsAbsolutePath("./x.dbf"));
  EXPECT_FALSE(platform::IsAbsolutePath(""));

  // {first, second, JoinPath(first, second), ExpandPath(second, first)}
  const struct {
    const char* first;
    const char* second;
    const char* joined;
    const char* expanded;
  } cases[] = {
      {"/a/b", "../x//y/./z", "/a/b/../x//y/./z", "/a/x/y/z"},
      {"/a/b//", "t.dbf", "/a/b/t.dbf", "/a/b/t.dbf"},
      {"/", "t.dbf", "/t.dbf", "/t.dbf"},
      {"/a", "/../../t.dbf", "/../../t.dbf", "/t.dbf"},
      {"/a", "..", "/a/..", "/"},
      {"/a/b/.", "", "/a/b/.", "/a/b"},
      {"/a", "/q/", "/q/", "/q"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.joined, platform::JoinPath(c.first, c.second)) << c.first << " " << c.second;
    EXPECT_EQ(c.expanded, platform::ExpandPath(c.second, c.first)) << c.first << " " << c.second;
  }
  EXPECT_EQ("b.dbf", platform::JoinPath("", "b.dbf"));
}

TEST_F(TEnvTest, ExecutableAndCurrentFolder) {
  const std::string program = env_->ExecutableFolder();
  EXPECT_TRUE(platform::IsAbsolutePath(program));
  EXPECT_TRUE(env_->FileExists(platform::JoinPath(program, "platform_tests"))) << program;

  const std::string before = env_->CurrentFolder();
  ASSERT_TRUE(platform::IsAbsolutePath(before));
  ASSERT_EQ(0, chdir(dir_.Path().c_str()));
  char resolved[PATH_MAX];
  ASSERT_NE(nullptr, realpath(dir_.Path().c_str(), resolved));
  EXPECT_EQ(std::string(resolved), env_->CurrentFolder());
  ASSERT_EQ(0, chdir("/"));
  EXPECT_EQ("/", env_->CurrentFolder());
  ASSERT_EQ(0, chdir(before.c_str()));
  EXPECT_EQ(before, env_->CurrentFolder());
}

TEST_F(TEnvTest, FindFileIgnoringCaseOfItsName) {
  WriteWholeFile(dir_.File("AGENCIAS.DBT"), "m");
  EXPECT_EQ(dir_.File("AGENCIAS.DBT"), env_->FindFileIgnoringCase(dir_.File("agencias.dbt")));
  EXPECT_EQ(dir_.File("AGENCIAS.DBT"), env_->FindFileIgnoringCase(dir_.File("Agencias.Dbt")));
  EXPECT_EQ(dir_.File("AGENCIAS.DBT"), env_->FindFileIgnoringCase(dir_.File("AGENCIAS.DBT")));
  EXPECT_EQ("", env_->FindFileIgnoringCase(dir_.File("agencias.fpt")));
  EXPECT_EQ("", env_->FindFileIgnoringCase(dir_.File("agencias.dbt2")));
  EXPECT_EQ("", env_->FindFileIgnoringCase(dir_.Path() + "/"));
  EXPECT_EQ("", env_->FindFileIgnoringCase(dir_.File("missing/agencias.dbt")));

  // The name as given wins; of several others the first in byte order.
  WriteWholeFile(dir_.File("agencias.DBT"), "m");
  EXPECT_EQ(dir_.File("agencias.DBT"), env_->FindFileIgnoringCase(dir_.File("agencias.DBT")));
  EXPECT_EQ(dir_.File("AGENCIAS.DBT"), env_->FindFileIgnoringCase(dir_.File("agencias.dbt")));

  // Only files: a folder of that name is not one.
  ASSERT_EQ(0, mkdir(dir_.File("NOTES.DBT").c_str(), 0700));
  EXPECT_EQ("", env_->FindFileIgnoringCase(dir_.File("notes.dbt")));
  // The folder part is taken as it stands.
  ASSERT_EQ(0, mkdir(dir_.File("sub").c_str(), 0700));
  WriteWholeFile(dir_.File("sub/X.DBF"), "t");
  EXPECT_EQ(dir_.File("sub/X.DBF"), env_->FindFileIgnoringCase(dir_.File("sub/x.dbf")));
  EXPECT_EQ("", env_->FindFileIgnoringCase(dir_.File("SUB/x.dbf")));

  // Letters beyond ASCII fold too; bytes that are not UTF-8 must match.
  WriteWholeFile(dir_.File("ÇARŞI.DBF"), "t");
  EXPECT_EQ(dir_.File("ÇARŞI.DBF"), env_->FindFileIgnoringCase(dir_.File("çarşı.dbf")));
  WriteWholeFile(dir_.File("\xC7X.DBF"), "t");
  EXPECT_EQ(dir_.File("\xC7X.DBF"), env_->FindFileIgnoringCase(dir_.File("\xC7x.dbf")));
  EXPECT_EQ("", env_->FindFileIgnoringCase(dir_.File("\xE7x.dbf")));

  // A bare name is looked for in the current folder.
  const std::string before = env_->CurrentFolder();
  ASSERT_EQ(0, chdir(dir_.Path().c_str()));
  EXPECT_EQ("AGENCIAS.DBT", env_->FindFileIgnoringCase("agencias.dbt"));
  EXPECT_EQ("", env_->FindFileIgnoringCase("none.dbt"));
  ASSERT_EQ(0, chdir(before.c_str()));

  // A wrapped environment forwards the services.
  platform::TEnvWrapper wrapper(env_);
  EXPECT_EQ(dir_.File("AGENCIAS.DBT"), wrapper.FindFileIgnoringCase(dir_.File("agencias.dbt")));
  EXPECT_EQ(env_->CurrentFolder(), wrapper.CurrentFolder());
  EXPECT_EQ(env_->ExecutableFolder(), wrapper.ExecutableFolder());
}

}  // namespace
