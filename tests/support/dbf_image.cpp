#include "tests/support/dbf_image.h"

#include <algorithm>

void PutWord(std::string& bytes, size_t offset, uint16_t value) {
  bytes[offset] = static_cast<char>(value & 0xFF);
  bytes[offset + 1] = static_cast<char>(value >> 8);
}

int TDbfImage::HeaderSize() const {
  const int main = Level7() ? 68 : 32;
  const int desc = Level7() ? 48 : 32;
  return main + desc * static_cast<int>(fields.size()) + 1 + static_cast<int>(properties.size());
}

int TDbfImage::RecordSize() const {
  int size = 1;
  for (const auto& f : fields) size += f.width;
  return size;
}

std::string TDbfImage::Bytes() const {
  const bool l7 = Level7();
  std::string out(l7 ? 68 : 32, '\0');
  out[0] = static_cast<char>(version);
  out[1] = 124;
  out[2] = 1;
  out[3] = 2;
  uint32_t count = recordCount == UINT32_MAX ? static_cast<uint32_t>(records.size()) : recordCount;
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<char>(count >> (8 * i));
  PutWord(out, 8, static_cast<uint16_t>(HeaderSize()));
  PutWord(out, 10, static_cast<uint16_t>(RecordSize()));
  out[28] = static_cast<char>(productionIndex);
  out[29] = static_cast<char>(languageId);
  if (l7) out.replace(32, std::min<size_t>(driverName.size(), 32), driverName, 0, 32);
  for (const auto& f : fields) {
    std::string d(l7 ? 48 : 32, '\0');
    d.replace(0, std::min<size_t>(f.name.size(), l7 ? 32 : 11), f.name, 0, l7 ? 32 : 11);
    d[l7 ? 32 : 11] = f.type;
    d[l7 ? 33 : 16] = static_cast<char>(f.width);
    d[l7 ? 34 : 17] = static_cast<char>(f.decimals);
    if (l7)
      for (int i = 0; i < 4; ++i) d[42 + i] = static_cast<char>(f.nextAutoInc >> (8 * i));
    out += d;
  }
  out += '\x0D';
  out += properties;
  for (size_t i = 0; i < records.size(); ++i) {
    std::string r = (i < deleted.size() && deleted[i] ? "*" : " ") + records[i];
    r.resize(RecordSize(), ' ');
    out += r;
  }
  out += '\x1A';
  return out;
}
