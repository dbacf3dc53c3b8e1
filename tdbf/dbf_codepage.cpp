#include "tdbf/dbf_codepage.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <memory>

#include "platform/codepage.h"
#include "platform/env.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_dbffile.h"
#include "tdbf/dbf_lang.h"

namespace {

// A ".cpg" file holds one short name; anything longer is no such file.
constexpr int64_t kMaxCpgSize = 64;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// A decimal number that is the whole text; -1 otherwise.
int Number(std::string_view text) {
  int value = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty() ? value : -1;
}

}  // namespace

int CodePageFromName(std::string_view name) {
  std::string text;
  for (char c : name) {
    // Blanks, a byte-order mark and NULs around the name are no part of it.
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte >= 0x80) {
      if (!text.empty() && text.back() != ' ') text += ' ';
      continue;
    }
    text += static_cast<char>(std::toupper(byte));
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  std::string_view rest = text;

  int codePage = -1;
  if (rest == "UTF-8" || rest == "UTF8") {
    codePage = static_cast<int>(platform::kCodePageUtf8);
  } else if (StartsWith(rest, "ISO")) {
    // ISO-8859-9, ISO8859-9, ISO_8859_9, ISO88599
    rest.remove_prefix(3);
    if (!rest.empty() && (rest[0] == '-' || rest[0] == '_' || rest[0] == ' '))
      rest.remove_prefix(1);
    if (!StartsWith(rest, "8859")) return 0;
    rest.remove_prefix(4);
    if (!rest.empty() && (rest[0] == '-' || rest[0] == '_')) rest.remove_prefix(1);
    const int part = Number(rest);
    codePage = part >= 1 && part <= 16 ? 28590 + part : -1;
  } else if (StartsWith(rest, "8859") && rest.size() > 4) {
    // "88591": ISO 8859-1, as GIS programs write it.
    const int part = Number(rest.substr(4));
    codePage = part >= 1 && part <= 16 ? 28590 + part : -1;
  } else {
    for (std::string_view prefix : {"WINDOWS-", "WINDOWS", "ANSI ", "ANSI", "OEM ", "OEM", "CP-",
                                    "CP ", "CP", "IBM-", "IBM", "MS"}) {
      if (StartsWith(rest, prefix)) {
        rest.remove_prefix(prefix.size());
        break;
      }
    }
    codePage = Number(rest);
  }
  if (codePage <= 0 || !platform::IsValidCodePage(static_cast<uint32_t>(codePage))) return 0;
  return codePage;
}

int CpgFileCodePage(const std::string& tableFileName) {
  platform::TEnv* env = platform::TEnv::Default();
  const std::string name = env->FindFileIgnoringCase(ChangeFileExt(tableFileName, ".cpg"));
  if (name.empty()) return 0;
  std::unique_ptr<platform::TFile> file;
  if (!env->OpenFile(name, platform::fmReadOnlyShared, file).IsOk()) return 0;
  int64_t size = 0;
  if (!file->Size(size).IsOk() || size <= 0 || size > kMaxCpgSize) return 0;
  std::string text(static_cast<size_t>(size), '\0');
  int64_t read = 0;
  if (!file->ReadAt(0, text.data(), size, read).IsOk()) return 0;
  text.resize(static_cast<size_t>(std::max<int64_t>(read, 0)));
  return CodePageFromName(text);
}

int TableCodePageFor(const TDbfFile& file, int chosen, TCodePageSource& source) {
  if (chosen != 0) {
    source = cpsUser;
    return chosen;
  }
  if (const int cpg = CpgFileCodePage(file.FileName()); cpg != 0) {
    source = cpsCpgFile;
    return cpg;
  }
  source = file.FileCodePage() != 0 ? cpsLanguageDriver : cpsSystemDefault;
  return file.UseCodePage();
}

bool TurkicCaseFor(const TDbfFile& file) {
  const int codePage = file.UseCodePage();
  if (codePage == 1254 || codePage == 857) return true;
  uint32_t locale = file.FileCodePage() != 0 ? LocaleOfLanguageId(file.LanguageId()) : 0;
  if (locale == 0) locale = platform::GetUserDefaultLCID();
  const uint32_t language = locale & 0x3FF;
  return language == 0x1F || language == 0x2C;
}
