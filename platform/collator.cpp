#include "platform/collator.h"

#include <unicode/ucol.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/codepage.h"

namespace platform {

TCollator::TCollator() = default;

TCollator::~TCollator() {
  if (collator_ != nullptr) ucol_close(collator_);
}

bool TCollator::Open(uint32_t lcid, uint32_t codePage) {
  if (collator_ != nullptr) {
    ucol_close(collator_);
    collator_ = nullptr;
  }
  std::string name;
  if (!LocaleName(lcid, name)) return false;
  std::replace(name.begin(), name.end(), '-', '_');
  std::u16string probe;
  if (!MultiByteToWideChar(codePage, "A", probe)) return false;
  // Opening a collator reads ICU's rules; a copy of one opened before is
  // much cheaper, and tables with indexes open often.
  struct TCloser {
    void operator()(UCollator* collator) const { ucol_close(collator); }
  };
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<UCollator, TCloser>> opened;
  UErrorCode error = U_ZERO_ERROR;
  UCollator* collator = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = opened.find(name);
    if (found == opened.end()) {
      UCollator* first = ucol_open(name.c_str(), &error);
      if (U_FAILURE(error)) first = nullptr;
      found = opened.emplace(name, std::unique_ptr<UCollator, TCloser>(first)).first;
    }
    if (found->second == nullptr) return false;
    error = U_ZERO_ERROR;
    collator = ucol_clone(found->second.get(), &error);
  }
  if (U_FAILURE(error) || collator == nullptr) return false;
  collator_ = collator;
  codePage_ = codePage;
  singleByte_ = IsSingleByteCodePage(codePage);
  byteTable_.clear();
  if (singleByte_) {
    // One table per code page for the process: making it converts every
    // byte on its own.
    static std::mutex tablesMutex;
    static std::map<uint32_t, std::u16string> tables;
    std::lock_guard<std::mutex> lock(tablesMutex);
    std::u16string& table = tables[codePage];
    if (table.empty()) {
      table.assign(256, u'\0');
      for (int byte = 1; byte < 256; ++byte) {
        const char text[1] = {static_cast<char>(byte)};
        std::u16string wide;
        if (MultiByteToWideChar(codePage, std::string_view(text, 1), wide) && wide.size() == 1)
          table[static_cast<size_t>(byte)] = wide[0];
        else
          table[static_cast<size_t>(byte)] = u'\uFFFD';
      }
    }
    byteTable_ = table;
  }
  return true;
}

void TCollator::Decode(std::string_view text, std::u16string& out) const {
  if (singleByte_) {
    out.resize(text.size());
    for (size_t i = 0; i < text.size(); ++i)
      out[i] = byteTable_[static_cast<unsigned char>(text[i])];
    return;
  }
  out.clear();
  MultiByteToWideChar(codePage_, text, out);
}

int TCollator::Compare(std::string_view a, std::string_view b) const {
  if (collator_ == nullptr) return 0;
  thread_local std::u16string wideA;
  thread_local std::u16string wideB;
  Decode(a, wideA);
  Decode(b, wideB);
  const UCollationResult result = ucol_strcoll(
      collator_, reinterpret_cast<const UChar*>(wideA.data()), static_cast<int32_t>(wideA.size()),
      reinterpret_cast<const UChar*>(wideB.data()), static_cast<int32_t>(wideB.size()));
  return result == UCOL_LESS ? -1 : (result == UCOL_EQUAL ? 0 : 1);
}

int TCollator::Compare(std::u16string_view a, std::string_view b) const {
  if (collator_ == nullptr) return 0;
  thread_local std::u16string wideB;
  Decode(b, wideB);
  const UCollationResult result = ucol_strcoll(
      collator_, reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
      reinterpret_cast<const UChar*>(wideB.data()), static_cast<int32_t>(wideB.size()));
  return result == UCOL_LESS ? -1 : (result == UCOL_EQUAL ? 0 : 1);
}

void TCollator::SortKey(std::string_view text, std::string& key) const {
  key.clear();
  if (collator_ == nullptr) return;
  thread_local std::u16string wide;
  Decode(text, wide);
  key.resize(64 + wide.size() * 4);
  for (;;) {
    const int32_t length = ucol_getSortKey(
        collator_, reinterpret_cast<const UChar*>(wide.data()), static_cast<int32_t>(wide.size()),
        reinterpret_cast<uint8_t*>(key.data()), static_cast<int32_t>(key.size()));
    if (length <= static_cast<int32_t>(key.size())) {
      key.resize(length > 0 ? static_cast<size_t>(length - 1) : 0);
      return;
    }
    key.resize(static_cast<size_t>(length));
  }
}

}  // namespace platform
