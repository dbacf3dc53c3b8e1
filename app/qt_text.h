#pragma once
// Engine text and Qt strings. The engine's text is UTF-8 (converted from
// and to each table's code page in the field layer); widgets hold UTF-16.
// Every string crosses between the two here, and nowhere else.

#include <QString>
#include <string>

QString Utf8ToQString(const std::string& text);
std::string QStringToUtf8(const QString& text);
