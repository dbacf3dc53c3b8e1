#include "tdbf/file/dbf_memo.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "runtime/classes.h"
#include "runtime/exceptions.h"
#include "tdbf/dbf_common.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

std::string Bytes(const std::string& file, size_t offset, size_t length) {
  return file.substr(offset, length);
}

uint32_t LE32At(const std::string& file, size_t offset) { return GetLE32(file.data() + offset); }
uint32_t BE32At(const std::string& file, size_t offset) { return GetBE32(file.data() + offset); }

class TMemoFileTest : public ::testing::Test {
 protected:
  // A new memo file of the format (block size 0: the default).
  std::unique_ptr<TMemoFile> Create(TTableFormat format, int32_t blockSize = 0) {
    auto memo = NewMemoFile(path_, format);
    memo->SetMode(amExclusiveCreate);
    memo->SetRequestedBlockSize(blockSize);
    memo->Open();
    return memo;
  }
  std::unique_ptr<TMemoFile> Reopen(TTableFormat format, TFileAccessMode mode = amExclusiveOpen) {
    auto memo = NewMemoFile(path_, format);
    memo->SetMode(mode);
    memo->Open();
    return memo;
  }
  static int32_t Write(TMemoFile& memo, const std::string& value, int32_t blockNo = 0,
                       int32_t readSize = 0) {
    TMemoryStream stream;
    stream.WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
    memo.WriteMemo(blockNo, readSize, stream);
    return blockNo;
  }
  static std::string Read(TMemoFile& memo, int32_t blockNo) {
    TMemoryStream stream;
    memo.ReadMemo(blockNo, stream);
    return stream.AsString();
  }
  std::string File() const { return ReadWholeFile(path_); }

  TTempDir dir_;
  std::string path_ = dir_.File("table.dbt");
};

TEST_F(TMemoFileTest, LevelFourValueInANewFile) {
  auto memo = Create(tfDBase4);
  EXPECT_EQ(1u, memo->NextFreeBlock());
  EXPECT_EQ(1, Write(*memo, "0123456789"));
  EXPECT_EQ(2u, memo->NextFreeBlock());
  memo->Close();
  const std::string file = File();
  ASSERT_EQ(1024u, file.size());
  EXPECT_EQ(512, GetLE16(file.data() + 20));
  EXPECT_EQ(std::string(512 - 24, '\0'), file.substr(24, 512 - 24));
  EXPECT_EQ(std::string("\xFF\xFF\x08\x00", 4), Bytes(file, 512, 4));
  EXPECT_EQ(18u, LE32At(file, 516));
  EXPECT_EQ("0123456789", Bytes(file, 520, 10));
  EXPECT_EQ(std::string(494, ' '), Bytes(file, 530, 494));
  EXPECT_EQ(2u, LE32At(file, 0));
  auto again = Reopen(tfDBase4);
  EXPECT_EQ("0123456789", Read(*again, 1));
}

TEST_F(TMemoFileTest, LevelThreeTerminatorsAcrossBlocks) {
  auto memo = Create(tfDBase3);
  const std::string fits(510, 'a');
  const std::string spills(511, 'b');
  EXPECT_EQ(1, Write(*memo, fits));
  EXPECT_EQ(2, Write(*memo, spills));
  EXPECT_EQ(4u, memo->NextFreeBlock());
  const std::string file = File();
  EXPECT_EQ(3, file[16]);
  EXPECT_EQ(fits + "\x1A\x1A", Bytes(file, 512, 512));
  EXPECT_EQ(spills + "\x1A", Bytes(file, 1024, 512));
  EXPECT_EQ("\x1A" + std::string(511, ' '), Bytes(file, 1536, 512));
  EXPECT_EQ(fits, Read(*memo, 1));
  EXPECT_EQ(spills, Read(*memo, 2));
}

TEST_F(TMemoFileTest, FoxProIsBigEndianAndKeepsTheDataLength) {
  auto memo = Create(tfFoxPro);
  const std::string value(100, 'f');
  EXPECT_EQ(1, Write(*memo, value));
  memo->Close();
  const std::string file = File();
  EXPECT_EQ(2u, BE32At(file, 0));
  EXPECT_EQ(512, (static_cast<uint8_t>(file[6]) << 8) | static_cast<uint8_t>(file[7]));
  EXPECT_EQ(1u, BE32At(file, 512));
  // The length FoxPro programs write and read: the data alone.
  EXPECT_EQ(100u, BE32At(file, 516));
  auto again = Reopen(tfFoxPro);
  EXPECT_EQ(value, Read(*again, 1));
  auto real = NewMemoFile(TestDataPath("real/dans-dbf/foxpro26/types/MEMOTEST.FPT"), tfFoxPro);
  real->Open();
  EXPECT_EQ("m", Read(*real, 1));
}

TEST_F(TMemoFileTest, FoxProSmallBlocksStartAfterTheHeader) {
  // A FoxPro file with 64-byte blocks and a header that names no free block.
  std::string file(512, '\0');
  file[7] = 64;
  WriteWholeFile(path_, file);
  auto memo = Reopen(tfFoxPro);
  EXPECT_EQ(64, memo->RecordSize());
  const std::string value(100, 'x');
  const int32_t block = Write(*memo, value);
  EXPECT_EQ(8, block);  // 512 / 64: the header stays untouched
  EXPECT_EQ(8u + 2u, memo->NextFreeBlock());
  EXPECT_EQ(value, Read(*memo, block));
  // A damaged record naming a block inside the header as its old chain: the
  // value goes to a new chain, never over the header.
  EXPECT_EQ(10, Write(*memo, value, 3, 1000));
  EXPECT_EQ(value, Read(*memo, 10));
  memo->Close();
  EXPECT_EQ(std::string(500, '\0'), File().substr(8, 500));
}

TEST_F(TMemoFileTest, OldChainIsReusedWhenLongEnough) {
  auto memo = Create(tfDBase4);
  const int32_t first = Write(*memo, std::string(20, 'a'));
  const int32_t other = Write(*memo, "another value");
  ASSERT_EQ(1, first);
  ASSERT_EQ(2, other);
  EXPECT_EQ(first, Write(*memo, std::string(30, 'b'), first, 20));
  EXPECT_EQ(std::string(30, 'b'), Read(*memo, first));
  EXPECT_EQ(3u, memo->NextFreeBlock());
  // 600 bytes need two blocks: a new chain at the end.
  const int32_t moved = Write(*memo, std::string(600, 'c'), first, 30);
  EXPECT_EQ(3, moved);
  EXPECT_EQ(5u, memo->NextFreeBlock());
  EXPECT_EQ(std::string(600, 'c'), Read(*memo, moved));
  EXPECT_EQ("another value", Read(*memo, other));
}

TEST_F(TMemoFileTest, EmptyValuesUseNoBlock) {
  auto memo = Create(tfDBase4);
  EXPECT_EQ(0, Write(*memo, "", 5, 20));
  EXPECT_EQ(1u, memo->NextFreeBlock());
  EXPECT_EQ("", Read(*memo, 0));
  EXPECT_EQ("", Read(*memo, -3));
}

TEST_F(TMemoFileTest, BadDbaseBlockSizesReadAs512) {
  for (int size : {0, 100}) {
    std::string file(512, '\0');
    file[0] = 1;
    PutLE16(file.data() + 20, static_cast<uint16_t>(size));
    WriteWholeFile(path_, file);
    auto memo = Reopen(tfDBase4);
    EXPECT_EQ(512, memo->RecordSize()) << size;
    EXPECT_EQ(512, memo->BlockLength()) << size;
    memo->Close();
    EXPECT_EQ(size, GetLE16(File().data() + 20)) << "opening writes nothing";
    // Level 3 always has 512-byte blocks, whatever the header says.
    EXPECT_EQ(512, Reopen(tfDBase3, amReadOnly)->RecordSize());
  }
}

TEST_F(TMemoFileTest, DamagedValuesEndAtTheEndOfTheFile) {
  std::string file(512, '\0');
  file[0] = 4;
  PutLE16(file.data() + 20, 512);
  // Block 1: a length header claiming 100000 bytes, but only 12 follow.
  file += std::string("\xFF\xFF\x08\x00", 4);
  file += std::string(4, '\0');
  PutLE32(file.data() + 516, 100000 + 8);
  file += "twelve bytes";
  WriteWholeFile(path_, file);
  auto memo = Reopen(tfDBase4, amReadOnly);
  EXPECT_EQ("twelve bytes", Read(*memo, 1));
  EXPECT_EQ("", Read(*memo, 7));           // beyond the file
  EXPECT_EQ("", Read(*memo, 0x7FFFFFFF));  // far beyond it

  // A length below the header's own 8 bytes reads as empty.
  PutLE32(file.data() + 516, 3);
  WriteWholeFile(path_, file);
  auto small = Reopen(tfDBase4, amReadOnly);
  EXPECT_EQ("", Read(*small, 1));
}

TEST_F(TMemoFileTest, TerminatedValues) {
  std::string file(512, '\0');
  file +=
      "before\x1A"
      "after" +
      std::string(499, 'k') + "\x1A";  // the pair spans two blocks
  file += "\x1A" + std::string(511, ' ');
  file += std::string(700, 'q');  // no terminator up to the end of the file
  WriteWholeFile(path_, file);
  auto memo = Reopen(tfDBase3, amReadOnly);
  EXPECT_EQ(
      "before\x1A"
      "after" +
          std::string(499, 'k'),
      Read(*memo, 1));
  EXPECT_EQ(std::string(700, 'q'), Read(*memo, 3));
}

TEST_F(TMemoFileTest, ZeroFoxProBlockSizeRefusesWrites) {
  WriteWholeFile(path_, std::string(512, '\0'));
  auto memo = Reopen(tfFoxPro);
  EXPECT_EQ("", Read(*memo, 1));
  try {
    Write(*memo, "x");
    FAIL() << "no error";
  } catch (const EDbfError& e) {
    EXPECT_EQ("Damaged memo file \"" + path_ + "\": its block size 0 cannot hold a value.",
              e.Message());
  }
}

TEST_F(TMemoFileTest, MissingFileIsNotCreatedOnOpen) {
  auto memo = NewMemoFile(path_, tfDBase4);
  memo->SetMode(amSharedOpen);
  try {
    memo->Open();
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ("Open: file not found: \"" + path_ + "\".", e.Message());
  }
}

// Two processes appending values at once get separate chains: each takes
// the header block's lock for its allocation.
TEST_F(TMemoFileTest, ConcurrentAppendsGetSeparateChains) {
  Create(tfDBase4)->Close();
  const std::string helper = std::string(ZOZUR_HELPER_DIR) + "/dbf_dataset_helper";
  TChildProcess first(helper, {});
  TChildProcess second(helper, {});
  ASSERT_EQ("ok", first.Request("memo " + path_));
  ASSERT_EQ("ok", second.Request("memo " + path_));
  std::string replyA, replyB;
  std::thread a([&] { replyA = first.Request("memoappend 40 A"); });
  std::thread b([&] { replyB = second.Request("memoappend 40 B"); });
  a.join();
  b.join();
  ASSERT_EQ("ok", replyA);
  ASSERT_EQ("ok", replyB);
  auto memo = Reopen(tfDBase4, amReadOnly);
  EXPECT_EQ(1u + 80u * 2u, memo->NextFreeBlock());  // 600-byte values take two blocks
  int as = 0, bs = 0;
  for (int32_t block = 1; block < 161; block += 2) {
    const std::string value = Read(*memo, block);
    ASSERT_EQ(600u, value.size()) << block;
    if (value == std::string(600, 'A')) ++as;
    if (value == std::string(600, 'B')) ++bs;
  }
  EXPECT_EQ(40, as);
  EXPECT_EQ(40, bs);
}

}  // namespace
