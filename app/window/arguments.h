// The window program's command line, and which archives a path given to the
// window (on its command line, or dropped onto its list) stands for.
#pragma once

#include <QString>
#include <QStringList>
#include <span>
#include <string>

#include "convert/output_format.h"

namespace quellmark {

// The text of --help: what the window does and takes.
std::string WindowUsage(std::span<const OutputFormat* const> formats);

struct WindowArguments {
  bool help = false;
  bool version = false;
  QString error;      // the first option the window does not know; empty if none
  QStringList paths;  // files (and folders) to list, as given
};

// Reads the arguments after the program's name. "--" ends the options; a
// lone "-" is a path. Qt's own options are to be taken out before.
WindowArguments ParseWindowArguments(const QStringList& arguments);

// The archives a given path stands for: an archive file (".lzh" in any case)
// itself; a folder, every archive under it, in path order; anything else
// none.
QStringList ArchivesAt(const QString& path);

// The path made absolute against the current folder, "." and ".." resolved.
QString AbsoluteArchivePath(const QString& path);

// Equal for two paths of the same file, whichever names, links or folders
// lead there; for a file that does not exist, its absolute path.
QString ArchiveIdentity(const QString& path);

}  // namespace quellmark
