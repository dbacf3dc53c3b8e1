#include "tdbf/dbf_header.h"

#include <algorithm>
#include <cstring>

#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_fields.h"

namespace {

constexpr uint8_t kTerminator = 0x0D;
// Offsets inside the main header.
constexpr int kRecordCountAt = 4, kHeaderSizeAt = 8, kRecordSizeAt = 10;
constexpr int kProductionIndexAt = 28, kLanguageIdAt = 29, kDriverNameAt = 32;
constexpr int kDriverNameWidth = 32;
// Offsets inside a descriptor.
constexpr int kNameWidth = 11, kNameWidth7 = 32;
constexpr int kTypeAt = 11, kWidthAt = 16, kDecimalsAt = 17;
constexpr int kTypeAt7 = 32, kWidthAt7 = 33, kDecimalsAt7 = 34, kNextAutoIncAt7 = 42;
// Level-7 field-properties block.
constexpr int32_t kPropertiesHeadSize = 16;
constexpr int32_t kPropertyEntrySize = 15;

TDbfHeaderCheck Invalid(std::string reason) {
  TDbfHeaderCheck check;
  check.reason = std::move(reason);
  return check;
}

// A type letter as a reader would want to see it in a message.
std::string LetterText(uint8_t letter) {
  if (letter >= 0x21 && letter < 0x7F) return Format("'%c'", letter);
  return Format("0x%02X", letter);
}

std::string FieldText(int number, const std::string& name) {
  return name.empty() ? Format("field %d", number) : Format("field %d '%s'", number, name.c_str());
}

}  // namespace

int32_t DbfMainHeaderSize(TTableFormat format) { return format == tfDBase7 ? 68 : 32; }

int32_t DbfDescriptorSize(TTableFormat format) { return format == tfDBase7 ? 48 : 32; }

bool DbfFormatOfVersion(uint8_t version, uint8_t languageId, TTableFormat& format) {
  switch (version & 7) {
    case 2:
    case 5:
      format = tfFoxPro;
      return true;
    case 3:
      format = languageId != 0 ? tfDBase4 : tfDBase3;
      return true;
    case 4:
      format = tfDBase7;
      return true;
    default:
      return false;
  }
}

TDbfHeaderCheck ParseDbfHeader(const uint8_t* bytes, size_t length, int64_t fileSize) {
  if (fileSize == 0) return Invalid("the file is empty");
  if (length < 32 || fileSize < 32)
    return Invalid(Format("the file is too short for a table header (%lld bytes)",
                          static_cast<long long>(fileSize)));
  TDbfHeaderInfo h;
  h.version = bytes[0];
  h.languageId = bytes[kLanguageIdAt];
  if (!DbfFormatOfVersion(h.version, h.languageId, h.format))
    return Invalid(Format("not a dBase table (first byte 0x%02X)", h.version));
  h.dBase4Memos = h.version == 0x8B;
  h.storedRecordCount = GetLE32(bytes + kRecordCountAt);
  h.headerSize = GetLE16(bytes + kHeaderSizeAt);
  h.recordSize = GetLE16(bytes + kRecordSizeAt);
  h.productionIndex = bytes[kProductionIndexAt] != 0;
  if (h.headerSize == 0 || h.recordSize == 0) {
    h.empty = true;
    TDbfHeaderCheck check;
    check.valid = true;
    check.header = std::move(h);
    return check;
  }

  const int32_t mainSize = DbfMainHeaderSize(h.format);
  const int32_t descSize = DbfDescriptorSize(h.format);
  if (h.headerSize < mainSize)
    return Invalid(
        Format("header length %d is shorter than a %d-byte table header", h.headerSize, mainSize));
  if (fileSize < h.headerSize || length < static_cast<size_t>(h.headerSize))
    return Invalid(Format("header length %d runs past the end of the file (%lld bytes)",
                          h.headerSize, static_cast<long long>(fileSize)));
  if (h.format == tfDBase7) {
    const char* name = reinterpret_cast<const char*>(bytes + kDriverNameAt);
    h.languageDriverName.assign(name, strnlen(name, kDriverNameWidth));
  }

  // The descriptors end at the terminator or where the header does;
  // several writers leave the terminator out.
  const bool level7 = h.format == tfDBase7;
  const int32_t count = (h.headerSize - mainSize) / descSize;
  TDbfFieldDefs defs;
  defs.SetTableFormat(h.format);
  int32_t offset = 1;
  // The end of the furthest field: letters of a fixed width (I, L, M ...)
  // are read at that width even where a damaged descriptor stores less.
  int32_t needed = 1;
  int32_t n = 0;
  for (; n < count; ++n) {
    const uint8_t* d = bytes + mainSize + n * descSize;
    if (d[0] == kTerminator) break;
    const int nameWidth = level7 ? kNameWidth7 : kNameWidth;
    TDbfFieldDescriptor f;
    f.name = UpperCase(
        std::string(reinterpret_cast<const char*>(d),
                    strnlen(reinterpret_cast<const char*>(d), static_cast<size_t>(nameWidth))));
    const uint8_t letter = d[level7 ? kTypeAt7 : kTypeAt];
    f.width = d[level7 ? kWidthAt7 : kWidthAt];
    f.decimals = d[level7 ? kDecimalsAt7 : kDecimalsAt];
    f.nextAutoInc = level7 ? GetLE32(d + kNextAutoIncAt7) : 0;
    f.offset = offset;
    if (f.name.empty()) return Invalid(Format("field %d has no name", n + 1));

    TDbfFieldDef& def = defs.Add();
    def.SetSize(f.width);
    def.SetPrecision(f.decimals);
    def.SetNativeFieldType(static_cast<char>(letter));
    if (def.NativeFieldType() == 0)
      return Invalid(Format("%s has unknown type %s", FieldText(n + 1, f.name).c_str(),
                            LetterText(letter).c_str()));
    f.letter = def.NativeFieldType();
    // Offsets follow the stored widths, so that every later field is read
    // where the file has it.
    offset += f.width;
    needed = std::max({needed, offset, f.offset + def.Size()});
    h.fields.push_back(std::move(f));
  }
  if (needed > h.recordSize)
    return Invalid(
        Format("its fields need %d bytes but a record has only %d", needed, h.recordSize));

  if (level7) {
    const int32_t blockStart = mainSize + n * descSize + 1;
    const int32_t blockSize = h.headerSize - blockStart;
    if (blockSize > kPropertiesHeadSize) {
      const uint8_t* block = bytes + blockStart;
      const int32_t entries = GetLE16(block);
      const int32_t first = GetLE16(block + 2);
      if (first + entries * kPropertyEntrySize > blockSize)
        return Invalid(Format("its %d field properties run past the header", entries));
      for (int32_t i = 0; i < entries; ++i) {
        const uint8_t* e = block + first + i * kPropertyEntrySize;
        TDbfFieldProperty p;
        p.field = GetLE16(e + 2);
        p.kind = e[4];
        if (p.field == 0 || p.field > static_cast<int>(h.fields.size())) continue;
        if (p.kind < 1 || p.kind > 4) continue;
        if (p.kind > 1) {
          const int32_t dataOffset = GetLE16(e + 11);
          const int32_t dataSize = GetLE16(e + 13);
          if (dataOffset + dataSize > blockSize || dataSize > defs[p.field - 1].Size())
            return Invalid(
                Format("a property of field %d runs past the field or the header", p.field));
          p.data.assign(reinterpret_cast<const char*>(block + dataOffset), dataSize);
        }
        h.properties.push_back(std::move(p));
      }
    }
  }

  TDbfHeaderCheck check;
  check.valid = true;
  check.header = std::move(h);
  return check;
}
