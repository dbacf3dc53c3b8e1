#include "app/qt_text.h"

#include "platform/codepage.h"

QString AnsiToQString(const std::string& text) {
  std::u16string wide;
  if (!platform::MultiByteToWideChar(platform::GetACP(), text, wide))
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
  return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

std::string QStringToAnsi(const QString& text) {
  std::string bytes;
  const std::u16string_view wide(reinterpret_cast<const char16_t*>(text.utf16()),
                                 static_cast<size_t>(text.size()));
  if (!platform::WideCharToMultiByte(platform::GetACP(), wide, bytes))
    return text.toLatin1().toStdString();
  return bytes;
}
