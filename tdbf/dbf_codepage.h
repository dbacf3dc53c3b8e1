#pragma once
// Which code page a table's text is in: the names people and programs give
// code pages ("cp866", "windows-1251", "UTF-8", "ANSI 1254"), the ".cpg"
// file GIS programs write beside a table, and the order in which the
// user's choice, that file, the table's language driver and the system's
// default decide.

#include <cstdint>
#include <string>
#include <string_view>

class TDbfFile;

// Where the code page in force came from, first that applies:
//   cpsUser            chosen for this open (TDbf::SetCodePage)
//   cpsCpgFile         the ".cpg" file beside the table
//   cpsLanguageDriver  the table's language byte or driver name
//   cpsSystemDefault   none of these: the code page for tables that name
//                      none (the system's ANSI code page)
enum TCodePageSource : uint8_t { cpsUser, cpsCpgFile, cpsLanguageDriver, cpsSystemDefault };

// The code page a name stands for, in any letter case with blanks around
// it ignored: "UTF-8", "utf8", "1252", "CP1251", "cp866", "ANSI 1254",
// "OEM 866", "windows-1251", "IBM850", "88591", "ISO-8859-9", "ISO8859_1";
// 0 for a name that stands for none or for a code page that cannot be
// converted.
int CodePageFromName(std::string_view name);

// The code page the ".cpg" file beside the table names (found ignoring the
// letter case of its name); 0 when there is none, it cannot be read, or
// its text names no code page.
int CpgFileCodePage(const std::string& tableFileName);

// The code page a table's text is read and written in, and where it came
// from: chosen (when not 0), else the ".cpg" file's, else the file's own
// (its language driver or, naming none, the open code page).
int TableCodePageFor(const TDbfFile& file, int chosen, TCodePageSource& source);

// Whether the table's letters follow the Turkic case rules (i with İ, ı
// with I): its code page is a Turkish one (1254, 857), or its language
// driver is Turkish or Azeri, or, naming none, the system's locale is.
bool TurkicCaseFor(const TDbfFile& file);
