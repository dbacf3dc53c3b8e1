#include "app/qt_text.h"

QString Utf8ToQString(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string QStringToUtf8(const QString& text) { return text.toUtf8().toStdString(); }
