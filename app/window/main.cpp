// quellmark: the converter's window. The archive library is bound before the
// window exists and released after it is gone; closing the window ends the
// program. Archives given on the command line are listed at start. The
// layers and the coordinate system chosen are kept in the user's settings
// (~/.config/quellmark/quellmark.conf).

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QSettings>
#include <cstdio>

#include "app/archive_library.h"
#include "app/output_formats.h"
#include "app/version.h"
#include "app/window/arguments.h"
#include "app/window/dialogs.h"
#include "app/window/main_form.h"

int main(int argc, char** argv) {
  // --help and --version are answered before Qt starts, so that they need no
  // display. Qt's own options are not known yet: only these two count here.
  QStringList raw;
  for (int i = 1; i < argc; ++i) raw << QFile::decodeName(argv[i]);
  const quellmark::WindowArguments early = quellmark::ParseWindowArguments(raw);
  if (early.help) {
    std::fputs(quellmark::WindowUsage(quellmark::OutputFormats()).c_str(), stdout);
    return 0;
  }
  if (early.version) {
    std::printf("quellmark (Quellmark) %s\n", quellmark::kVersion);
    return 0;
  }

  QApplication application(argc, argv);
  QGuiApplication::setDesktopFileName(QStringLiteral("quellmark"));
  // Where the settings are kept, whatever the program file is called.
  QCoreApplication::setOrganizationName(QStringLiteral("quellmark"));
  QCoreApplication::setApplicationName(QStringLiteral("quellmark"));
  QApplication::setApplicationVersion(QLatin1String(quellmark::kVersion));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("quellmark")));
  quellmark::InstallJapaneseQtTexts();

  // Qt has taken its own options out of the arguments by now.
  const quellmark::WindowArguments arguments =
      quellmark::ParseWindowArguments(QApplication::arguments().mid(1));
  if (!arguments.error.isEmpty()) {
    std::fprintf(stderr, "quellmark: %s\nTry 'quellmark --help'.\n",
                 arguments.error.toLocal8Bit().constData());
    return 2;
  }

  quellmark::QtMessageBoxes message_boxes;
  // The library's own reports ("PANIC!!" when it is not there) come in
  // plain boxes owned by no window.
  quellmark::NoticeBoxes library_reports(message_boxes, nullptr, QStringLiteral("Quellmark"));
  quellmark::Unlha32 library(&library_reports);

  int status = 0;
  {
    quellmark::QtFileOpenDialog open_dialog;
    quellmark::QtLayerDialog layer_dialog;
    quellmark::QtCrsDialog crs_dialog;
    QSettings settings;
    quellmark::TMainForm form(quellmark::FormServices{library,
                                                      quellmark::OutputFormats(),
                                                      &quellmark::DefaultOutputFormat(),
                                                      {},
                                                      open_dialog,
                                                      message_boxes,
                                                      layer_dialog,
                                                      crs_dialog,
                                                      settings});
    form.OpenPaths(arguments.paths);
    form.show();
    status = application.exec();
  }
  return status;
}
