#include "app/window/arguments.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "app/archive_list.h"

namespace quellmark {

std::string WindowUsage(std::span<const OutputFormat* const> formats) {
  return "Usage: quellmark [ARCHIVE...]\n"
         "\n"
         "Opens the Quellmark window, the desktop converter of the 1:25,000 vector\n"
         "base map: list map sheet archives (.lzh), choose the format (" +
         FormatNames(formats) +
         "),\n"
         "and Run converts the list, writing the tables beside each archive.\n"
         "The archives given here are listed at start; more are added with the Add\n"
         "button or by dropping them onto the list. Each archive is listed once.\n"
         "\n"
         "Options:\n"
         "  --help     show this text\n"
         "  --version  show the version\n"
         "  --         take every argument after it as an archive\n"
         "Qt's own options (-platform, -style, ...) are taken as well.\n";
}

WindowArguments ParseWindowArguments(const QStringList& arguments) {
  WindowArguments parsed;
  bool options_done = false;
  for (const QString& argument : arguments) {
    if (options_done || !argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-")) {
      parsed.paths << argument;
    } else if (argument == QLatin1String("--")) {
      options_done = true;
    } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
      parsed.help = true;
    } else if (argument == QLatin1String("--version")) {
      parsed.version = true;
    } else if (parsed.error.isEmpty()) {
      parsed.error = QStringLiteral("unknown option '%1'").arg(argument);
    }
  }
  return parsed;
}

QStringList ArchivesAt(const QString& path) {
  if (QFileInfo(path).isDir()) {
    QStringList archives;
    for (const std::string& archive : ArchivesUnder(QFile::encodeName(path).toStdString())) {
      archives << QFile::decodeName(QByteArray::fromStdString(archive));
    }
    return archives;
  }
  if (!path.endsWith(QLatin1String(".lzh"), Qt::CaseInsensitive)) return {};
  return {path};
}

QString AbsoluteArchivePath(const QString& path) {
  return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QString ArchiveIdentity(const QString& path) {
  const QString absolute = AbsoluteArchivePath(path);
  struct stat status {};
  if (stat(QFile::encodeName(absolute).constData(), &status) != 0) return absolute;
  // Device and inode: the same for every name of the file, hard links too.
  return QStringLiteral("%1:%2").arg(status.st_dev).arg(status.st_ino);
}

}  // namespace quellmark
