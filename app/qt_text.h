#pragma once
// Engine text and Qt strings. The engine keeps text as bytes in the
// system's ANSI code page; widgets show Unicode. Every string crosses
// between the two here, and nowhere else.

#include <QString>
#include <string>

QString AnsiToQString(const std::string& text);
// Characters the ANSI code page lacks become its default character.
std::string QStringToAnsi(const QString& text);
