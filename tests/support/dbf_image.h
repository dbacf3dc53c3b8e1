#pragma once
// Builds the bytes of a table file by hand, without the engine, so that tests
// can read files the engine did not write and spoil single header bytes on
// purpose. Levels 3, 4 and 25 use 32-byte descriptors, level 7 (version low
// bits 4) 48-byte ones with the driver name at offset 32.

#include <cstdint>
#include <string>
#include <vector>

struct TDbfImageField {
  std::string name;
  char type;
  int width;
  int decimals = 0;
  uint32_t nextAutoInc = 0;  // level 7 "+" fields
};

struct TDbfImage {
  uint8_t version = 0x03;
  uint8_t languageId = 0;
  uint8_t productionIndex = 0;
  std::string driverName;  // level 7
  std::vector<TDbfImageField> fields;
  // Record images without the deletion flag; each is padded with spaces to
  // the record size. deleted[i] marks record i deleted.
  std::vector<std::string> records;
  std::vector<bool> deleted;
  // Level 7: bytes placed right after the terminator (a field-properties
  // block), counted in the header size.
  std::string properties;
  uint32_t recordCount = UINT32_MAX;  // header count; the number of records when unset

  bool Level7() const { return (version & 7) == 4; }
  int HeaderSize() const;
  int RecordSize() const;
  // The whole file: header, descriptors, 0x0D, properties, records, 0x1A.
  std::string Bytes() const;
};

// Little-endian 16-bit value into bytes at offset.
void PutWord(std::string& bytes, size_t offset, uint16_t value);
