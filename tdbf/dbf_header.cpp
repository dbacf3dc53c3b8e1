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
// Visual FoxPro descriptors add these.
constexpr int kFieldOffsetAt = 12, kFieldFlagsAt = 18, kNextAutoIncAtVfp = 19, kAutoIncStepAt = 23;
constexpr int32_t kBacklinkSize = 263;
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

// Visual FoxPro places each field itself. Every field must lie inside the
// record, after the deletion flag, and no two may share a byte; where the
// stored offsets break that (some writers store none, others count from
// 0), the widths place the fields when they fit the record that way.
// Then each nullable field gets its null bit and each V and Q field its
// length bit, which a "_NullFlags" field must hold. Gives the reason the
// header is damaged, or an empty text.
std::string PlaceVisualFoxProFields(std::vector<TDbfFieldDescriptor>& fields, TDbfFieldDefs& defs,
                                    int32_t recordSize) {
  std::string fault;
  std::vector<std::pair<int32_t, size_t>> starts;
  for (size_t i = 0; i < fields.size() && fault.empty(); ++i) {
    const int32_t end = fields[i].offset + defs[static_cast<int>(i)].Size();
    if (fields[i].offset < 1 || end > recordSize)
      fault = Format("%s lies outside its %d-byte record",
                     FieldText(static_cast<int>(i) + 1, fields[i].name).c_str(), recordSize);
    starts.emplace_back(fields[i].offset, i);
  }
  std::sort(starts.begin(), starts.end());
  for (size_t k = 1; k < starts.size() && fault.empty(); ++k) {
    const size_t before = starts[k - 1].second;
    if (fields[before].offset + defs[static_cast<int>(before)].Size() > starts[k].first)
      fault = Format("fields %d and %d overlap",
                     static_cast<int>(std::min(before, starts[k].second)) + 1,
                     static_cast<int>(std::max(before, starts[k].second)) + 1);
  }
  if (!fault.empty()) {
    int32_t offset = 1;
    for (size_t i = 0; i < fields.size(); ++i) {
      fields[i].offset = offset;
      offset += defs[static_cast<int>(i)].Size();
    }
    if (offset > recordSize) return fault;
  }
  for (size_t i = 0; i < fields.size(); ++i) defs[static_cast<int>(i)].SetOffset(fields[i].offset);
  // A table without "_NullFlags" has no nulls (some writers flag fields
  // nullable without one); one too short for its fields is damaged.
  const TDbfFieldDef* nullFlags = defs.NullFlagsField();
  const int bits = defs.AssignNullFlags();
  if (nullFlags && bits > 8 * nullFlags->Size())
    return Format("its _NullFlags field holds %d bits but its fields need %d",
                  8 * nullFlags->Size(), bits);
  return std::string();
}

}  // namespace

int32_t DbfMainHeaderSize(TTableFormat format) { return format == tfDBase7 ? 68 : 32; }

int32_t DbfDescriptorSize(TTableFormat format) { return format == tfDBase7 ? 48 : 32; }

bool DbfFormatOfVersion(uint8_t version, uint8_t languageId, TTableFormat& format) {
  // Visual FoxPro: 0x31 with autoincrement fields, 0x32 with varchar or
  // varbinary fields.
  if (version == 0x30 || version == 0x31 || version == 0x32) {
    format = tfVisualFoxPro;
    return true;
  }
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
  if (h.format == tfVisualFoxPro) {
    h.productionIndex = false;
    h.tableFlags = bytes[kProductionIndexAt];
  }
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
  const bool vfp = h.format == tfVisualFoxPro;
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
    if (vfp) {
      f.flags = d[kFieldFlagsAt];
      f.nextAutoInc = GetLE32(d + kNextAutoIncAtVfp);
      f.autoIncStep = d[kAutoIncStepAt];
      f.offset = static_cast<int32_t>(std::min<uint32_t>(GetLE32(d + kFieldOffsetAt), 0xFFFF));
    }

    TDbfFieldDef& def = defs.Add();
    def.SetSize(f.width);
    def.SetPrecision(f.decimals);
    def.SetFieldFlags(f.flags);
    def.SetNativeFieldType(static_cast<char>(letter));
    if (def.NativeFieldType() == 0)
      return Invalid(Format("%s has unknown type %s", FieldText(n + 1, f.name).c_str(),
                            LetterText(letter).c_str()));
    f.letter = def.NativeFieldType();
    // Offsets follow the stored widths, so that every later field is read
    // where the file has it.
    offset += f.width;
    needed = std::max({needed, offset, vfp ? 1 : f.offset + def.Size()});
    h.fields.push_back(std::move(f));
  }
  if (vfp) {
    std::string fault = PlaceVisualFoxProFields(h.fields, defs, h.recordSize);
    if (!fault.empty()) return Invalid(std::move(fault));
    h.backlinkAt = mainSize + n * descSize + 1;
    if (h.backlinkAt < h.headerSize) {
      const char* link = reinterpret_cast<const char*>(bytes + h.backlinkAt);
      h.backlink.assign(
          link,
          strnlen(link, static_cast<size_t>(std::min(kBacklinkSize, h.headerSize - h.backlinkAt))));
    }
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
