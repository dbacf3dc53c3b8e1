#pragma once
// Reading and checking a table header: a pure function from the file's
// first bytes to a description of the header (format, sizes, field
// descriptors, level-7 field properties) or the reason the bytes are no
// table this engine reads. No file, lock or repair here: TDbfFile reads the
// bytes and acts on the description.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tdbf/dbf_common.h"

// One field descriptor as stored.
struct TDbfFieldDescriptor {
  std::string name;  // upper-cased, up to the first NUL
  char letter = 0;   // upper-cased type letter
  int32_t width = 0;
  int32_t decimals = 0;
  uint32_t nextAutoInc = 0;  // level 7 "+" fields, Visual FoxPro I fields
  int32_t offset = 0;        // in the record; the first field is at 1
  uint8_t flags = 0;         // Visual FoxPro: TDbfFieldDef::FieldFlags
  uint8_t autoIncStep = 1;   // Visual FoxPro: what each new record adds
};

// One level-7 standard field property (1 required, 2 minimum, 3 maximum,
// 4 default) of field number field (1-based); data in the field's own record
// encoding.
struct TDbfFieldProperty {
  int field = 0;
  int kind = 0;
  std::string data;
};

struct TDbfHeaderInfo {
  uint8_t version = 0;
  TTableFormat format = tfDBase4;
  // The version byte names dBase IV memos (0x8B), whatever the language
  // byte says about the level.
  bool dBase4Memos = false;
  uint32_t storedRecordCount = 0;
  int32_t headerSize = 0;
  int32_t recordSize = 0;
  uint8_t languageId = 0;
  std::string languageDriverName;  // level 7
  bool productionIndex = false;    // never for Visual FoxPro (its flags below)
  // Visual FoxPro: table flags (byte 28) and the database container the
  // table belongs to (the 263 bytes after the terminator, up to a NUL).
  uint8_t tableFlags = 0;
  std::string backlink;
  int32_t backlinkAt = 0;
  // Header or record size zero: there is nothing to open.
  bool empty = false;
  std::vector<TDbfFieldDescriptor> fields;
  std::vector<TDbfFieldProperty> properties;
};

struct TDbfHeaderCheck {
  bool valid = false;
  // Why the bytes are not a table header, when !valid ("field 3 'PRICE' has
  // unknown type 'X'"); the caller puts the file name before it.
  std::string reason;
  TDbfHeaderInfo header;
};

// Size of the main header of a format (32; 68 at level 7) and of one field
// descriptor (32; 48 at level 7).
int32_t DbfMainHeaderSize(TTableFormat format);
int32_t DbfDescriptorSize(TTableFormat format);

// The format a version byte and language byte name; false for a version
// byte no level has.
bool DbfFormatOfVersion(uint8_t version, uint8_t languageId, TTableFormat& format);

// Checks bytes (the first length bytes of a file of fileSize bytes; at least
// the whole header region when the file has it) as a table header.
TDbfHeaderCheck ParseDbfHeader(const uint8_t* bytes, size_t length, int64_t fileSize);

// The most bytes ParseDbfHeader looks at: the largest header size.
constexpr size_t kDbfMaxHeaderBytes = 0xFFFF;
