#pragma once
// TCollator orders byte strings of one code page by the rules of one
// locale (ICU collation, no flags: case and accents count). Index files use
// it for character keys; it owns its ICU collator. Single-byte code pages
// are decoded through a table made once, so a comparison costs no
// conversion call.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct UCollator;

namespace platform {

class TCollator {
 public:
  TCollator();
  ~TCollator();
  TCollator(const TCollator&) = delete;
  TCollator& operator=(const TCollator&) = delete;

  // False when ICU knows no collation for the locale or the code page
  // cannot be decoded; the object is then unusable.
  bool Open(uint32_t lcid, uint32_t codePage);
  bool IsOpen() const { return collator_ != nullptr; }
  // -1, 0 or 1 as a sorts before, with or after b.
  int Compare(std::string_view a, std::string_view b) const;
  // A byte string whose unsigned byte order is the collation order of the
  // texts (ICU sort key, without its final NUL).
  void SortKey(std::string_view text, std::string& key) const;
  // The text in UTF-16, as the collator compares it; for a text compared
  // many times, decoded once.
  void Decode(std::string_view text, std::u16string& out) const;
  // Compare with a decoded as Decode gave it.
  int Compare(std::u16string_view a, std::string_view b) const;

 private:
  UCollator* collator_ = nullptr;
  uint32_t codePage_ = 0;
  bool singleByte_ = false;
  std::u16string byteTable_;
};

}  // namespace platform
