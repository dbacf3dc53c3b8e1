#include "app/qt_text.h"

#include <QStringDecoder>
#include <QStringEncoder>

QString AnsiToQString(const std::string& text) {
  QStringDecoder decoder("windows-1252");
  return decoder(QByteArray::fromStdString(text));
}

std::string QStringToAnsi(const QString& text) {
  QStringEncoder encoder("windows-1252");
  return QByteArray(encoder(text)).toStdString();
}
