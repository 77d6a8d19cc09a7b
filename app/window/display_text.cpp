#include "app/window/display_text.h"

#include <QByteArray>
#include <QFile>
#include <QStringDecoder>

#include "sal/cp932.h"

namespace quellmark {

namespace {

QByteArray Bytes(std::string_view bytes) {
  return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

QString FromCp932(std::string_view bytes) {
  return QString::fromStdString(DecodeCp932ForDisplay(bytes));
}

QString FromPathBytes(std::string_view bytes) { return QFile::decodeName(Bytes(bytes)); }

std::string ToPathBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

QString FromMessageBytes(std::string_view bytes) {
  QStringDecoder system(QStringDecoder::System);
  QString text = system.decode(Bytes(bytes));
  if (!system.hasError()) return text;
  return FromCp932(bytes);
}

}  // namespace quellmark
