// Ordering the records by one field's value in memory: one pass over the
// table reads each record's key, the keys are sorted, and a TSortCursor
// walks the record numbers in that order.

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/codepage.h"
#include "platform/collator.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/dataset/dbf_sortcur.h"
#include "tdbf/dbf_common.h"
#include "tdbf/dbf_str.h"
#include "tdbf/file/dbf_codepage.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/file/dbf_fields.h"
#include "tdbf/file/dbf_lang.h"

namespace {

// What a field's values sort as.
enum class TSortKind { Text, Number, None };

TSortKind SortKindOf(const TDbfFieldDef& def) {
  if (def.IsBlob()) return TSortKind::None;
  switch (def.FieldType()) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftBytes:
    case ftVarBytes:
      return TSortKind::Text;
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftLargeint:
    case ftAutoInc:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftDate:
    case ftDateTime:
    case ftTime:
    case ftBoolean:
      return TSortKind::Number;
    default:
      return TSortKind::None;
  }
}

// A number as an unsigned value in the same order; 0 stays free for a
// blank field, which sorts first.
uint64_t NumberKey(double value) {
  if (value == 0) value = 0;  // -0 and 0 are the same value
  const auto bits = std::bit_cast<uint64_t>(value);
  const uint64_t key = (bits & 0x8000000000000000ull) != 0 ? ~bits : bits | 0x8000000000000000ull;
  return std::max<uint64_t>(key, 1);
}

// The value of a field that sorts as a number (dates by their day, logical
// values false before true); false when the field is blank.
bool NumberOf(const TDbfFieldDef& def, const char* record, double& number) {
  switch (def.FieldType()) {
    case ftDate: {
      int32_t day = 0;
      if (!DecodeFieldValue(def, ftDate, &day, record)) return false;
      number = day;
      return true;
    }
    case ftDateTime:
    case ftTime:
      return DecodeFieldValue(def, ftDateTime, &number, record);
    case ftBoolean: {
      int16_t truth = 0;
      if (!DecodeFieldValue(def, ftBoolean, &truth, record)) return false;
      number = truth;
      return true;
    }
    default:
      return DecodeFieldValue(def, ftFloat, &number, record);
  }
}

// One record's place in the sort: the first sixteen bytes of its key as
// two numbers (big endian, so that they compare as the bytes do; a number
// key is all in the first), its record number, and where the rest of a
// longer text key lies. Most comparisons end within the numbers, without
// a call.
struct TSortEntry {
  uint64_t head;
  uint64_t head2;
  int32_t recNo;
  int32_t tail;  // -1: none
};

constexpr size_t kWordBytes = sizeof(uint64_t);
constexpr size_t kHeadBytes = 2 * kWordBytes;

// Eight bytes from bytes[from] on (zeros past length) as a big-endian number.
uint64_t WordOf(const unsigned char* bytes, size_t length, size_t from) {
  uint64_t word = 0;
  for (size_t i = from; i < from + kWordBytes; ++i) word = word << 8 | (i < length ? bytes[i] : 0);
  return word;
}

// Collation keys of the values met so far, by value: names and cities
// repeat, and a key from ICU costs far more than a look-up. Equal values
// share their tail, so comparing them needs no look at its bytes.
struct TTextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};
using TKeyCache = std::unordered_map<std::string, TSortEntry, TTextHash, std::equal_to<>>;
constexpr size_t kKeyCacheLimit = size_t{1} << 16;

constexpr uint32_t kTurkishLocale = 0x041F;
constexpr uint32_t kNoLanguageLocale = 0x10000;

// The locale whose alphabet orders the table's text: Turkish for a Turkish
// code page, else the language of the table's language byte when its code
// page is the one in force, else the user's.
uint32_t SortLocaleOf(const TDbfFile& file, int codePage) {
  if (TurkicCaseFor(file)) return kTurkishLocale;
  if (file.FileCodePage() != 0 && file.FileCodePage() == codePage) {
    const uint32_t locale = LocaleOfLanguageId(file.LanguageId());
    if (locale != 0 && locale != kNoLanguageLocale) return locale;
  }
  return platform::GetUserDefaultLCID();
}

// A weight per byte of a single-byte code page (1 and up; 0 for byte 0)
// that orders the characters as the locale's alphabet does, equal for
// characters that collate alike: Ç between C and D and Ş between S and T
// in Turkish, Ё beside Е in Russian, where their codes lie after Z or
// after Я. False when ICU has no collation for the locale and code page.
bool CollationWeights(uint32_t locale, uint32_t codePage, std::array<uint8_t, 256>& weights) {
  platform::TCollator collator;
  if (!collator.Open(locale, codePage) && !collator.Open(platform::GetUserDefaultLCID(), codePage))
    return false;
  std::array<char, 255> bytes{};
  for (int c = 1; c < 256; ++c) bytes[static_cast<size_t>(c - 1)] = static_cast<char>(c);
  const auto compare = [&collator](char a, char b) {
    return collator.Compare(std::string_view(&a, 1), std::string_view(&b, 1));
  };
  std::stable_sort(bytes.begin(), bytes.end(),
                   [&compare](char a, char b) { return compare(a, b) < 0; });
  weights[0] = 0;
  uint8_t weight = 1;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && compare(bytes[i - 1], bytes[i]) != 0) ++weight;
    weights[static_cast<uint8_t>(bytes[i])] = weight;
  }
  return true;
}

}  // namespace

bool TDbf::CanSortByField(const std::string& fieldName) {
  TDbfFieldDef* def = dbfFile_ ? dbfFile_->FindFieldDef(fieldName) : nullptr;
  return def != nullptr && SortKindOf(*def) != TSortKind::None;
}

bool TDbf::SortByField(const std::string& fieldName, bool descending,
                       const TSortProgressEvent& progress) {
  CheckActive();
  TDbfFieldDef* found = dbfFile_->FindFieldDef(fieldName);
  if (found == nullptr || SortKindOf(*found) == TSortKind::None)
    throw EDbfError(Format(kDbfCannotSortBy, fieldName.c_str()));
  const TDbfFieldDef& def = *found;
  const bool text = SortKindOf(def) == TSortKind::Text;
  SettlePendingEdit();

  // Text sorts by the table's alphabet, letter case aside: leading blanks
  // skipped, trailing blanks ignored. On a single-byte code page letters
  // are put in upper case by the table's rules and weighed one by one; on
  // a multi-byte one (UTF-8) the collation's sort key of the whole value
  // decides, where case counts only between values equal but for it.
  // Binary text sorts as its bytes.
  const bool translated = !def.NoTranslation() && !def.IsBinary();
  const auto locale = SortLocaleOf(*dbfFile_, tableCodePage_);
  const auto codePage = static_cast<uint32_t>(tableCodePage_);
  std::array<uint8_t, 256> weights{};
  const bool collated = text && translated && codec_ && codec_->SingleByte() &&
                        CollationWeights(locale, codePage, weights);
  platform::TCollator collator;
  const bool sortKeys =
      text && translated && codec_ && !codec_->SingleByte() &&
      (collator.Open(locale, codePage) || collator.Open(platform::GetUserDefaultLCID(), codePage));
  std::string sortKey;
  TKeyCache keyCache;
  std::array<uint8_t, 256> fold{};
  const uint8_t* upper = codec_ ? codec_->CaseBytes(true) : nullptr;
  for (int c = 0; c < 256; ++c) {
    uint8_t folded = static_cast<uint8_t>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
    if (upper != nullptr) folded = upper[c];
    if (collated) folded = weights[folded];
    if (!translated) folded = static_cast<uint8_t>(c);
    fold[static_cast<size_t>(c)] = folded;
  }
  const size_t width = static_cast<size_t>(std::max(def.Size(), 1));

  TDbfFile& file = *dbfFile_;
  const int32_t slots = file.PageCount();
  std::vector<TSortEntry> entries;
  entries.reserve(static_cast<size_t>(slots));
  // The rest of each key longer than the two numbers: tail i is the bytes
  // from tailStarts[i] to tailStarts[i + 1].
  std::vector<unsigned char> tails;
  std::vector<size_t> tailStarts{0};
  std::vector<char> record(static_cast<size_t>(file.RecordSize()));
  std::vector<unsigned char> value(width + 1);
  constexpr int32_t kProgressStep = 65536;
  for (int32_t recNo = 1; recNo <= slots; ++recNo) {
    if (progress && recNo % kProgressStep == 0 && !progress(recNo, slots)) return false;
    if (file.ReadPage(recNo, record.data()) < file.RecordSize()) break;
    // Slots holding no record (another program's holes) are left out.
    const auto flag = static_cast<uint8_t>(record[0]);
    if (flag != kLiveFlag && flag != kDeletedFlag) continue;
    TSortEntry entry{0, 0, recNo, -1};
    if (text) {
      size_t length = 0;
      if (DecodeFieldValue(def, ftString, value.data(), record.data()))
        length = strnlen(reinterpret_cast<const char*>(value.data()), width);
      size_t start = 0;
      if (translated)
        while (start < length && value[start] < 33) ++start;
      unsigned char* key = value.data() + start;
      size_t keyLength = length - start;
      const std::string_view raw(reinterpret_cast<const char*>(key), keyLength);
      if (sortKeys) {
        if (const auto known = keyCache.find(raw); known != keyCache.end()) {
          entry.head = known->second.head;
          entry.head2 = known->second.head2;
          entry.tail = known->second.tail;
          entries.push_back(entry);
          continue;
        }
        collator.SortKey(raw, sortKey);
        key = reinterpret_cast<unsigned char*>(sortKey.data());
        keyLength = sortKey.size();
      } else {
        for (size_t i = 0; i < keyLength; ++i) key[i] = fold[key[i]];
      }
      entry.head = WordOf(key, keyLength, 0);
      entry.head2 = WordOf(key, keyLength, kWordBytes);
      // Only keys longer than the two numbers keep their rest.
      if (keyLength > kHeadBytes) {
        entry.tail = static_cast<int32_t>(tailStarts.size() - 1);
        tails.insert(tails.end(), key + kHeadBytes, key + keyLength);
        tailStarts.push_back(tails.size());
      }
      if (sortKeys && keyCache.size() < kKeyCacheLimit) keyCache.emplace(raw, entry);
    } else {
      double number = 0;
      if (NumberOf(def, record.data(), number)) entry.head = NumberKey(number);
    }
    entries.push_back(entry);
  }
  if (progress && !progress(slots, slots)) return false;

  // Equal keys keep record-number order in both directions.
  auto less = [&](const TSortEntry& a, const TSortEntry& b) {
    if (a.head != b.head) return (a.head < b.head) != descending;
    if (a.head2 != b.head2) return (a.head2 < b.head2) != descending;
    if (a.tail != b.tail && (a.tail < 0 || b.tail < 0)) return (a.tail < 0) != descending;
    if (a.tail >= 0 && b.tail >= 0 && a.tail != b.tail) {
      const size_t aFrom = tailStarts[static_cast<size_t>(a.tail)];
      const size_t aLength = tailStarts[static_cast<size_t>(a.tail) + 1] - aFrom;
      const size_t bFrom = tailStarts[static_cast<size_t>(b.tail)];
      const size_t bLength = tailStarts[static_cast<size_t>(b.tail) + 1] - bFrom;
      int c = std::memcmp(tails.data() + aFrom, tails.data() + bFrom, std::min(aLength, bLength));
      if (c == 0) c = aLength < bLength ? -1 : (aLength > bLength ? 1 : 0);
      if (c != 0) return (c < 0) != descending;
    }
    return a.recNo < b.recNo;
  };
  std::sort(entries.begin(), entries.end(), less);
  std::vector<int32_t> order(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) order[i] = entries[i].recNo;
  entries = {};
  tails = {};
  tailStarts = {};
  keyCache = {};

  ForgetRejected();
  CursorToActive();
  const int32_t current = cursor_->PhysicalPosition();
  indexName_.clear();
  sortField_ = def.FieldName();
  sortDescending_ = descending;
  cursor_ = std::make_unique<TSortCursor>(dbfFile_.get(), std::move(order), slots);
  if (current > 0)
    cursor_->SetPhysicalPosition(current);
  else
    cursor_->First();
  CursorMoved();
  if (State() == rsBrowse) RefillBuffers(0);
  return true;
}
