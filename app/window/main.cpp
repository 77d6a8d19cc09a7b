// quellmark: the converter's window. The archive library is bound before the
// window exists and released after it is gone; closing the window ends the
// program.

#include <QApplication>

#include "app/archive_library.h"
#include "app/output_formats.h"
#include "app/window/dialogs.h"
#include "app/window/main_form.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QGuiApplication::setDesktopFileName(QStringLiteral("quellmark"));

  quellmark::QtMessageBoxes message_boxes;
  // The library's own reports ("PANIC!!" when it is not there) come in
  // plain boxes owned by no window.
  quellmark::NoticeBoxes library_reports(message_boxes, nullptr, QStringLiteral("Quellmark"));
  quellmark::Unlha32 library(&library_reports);

  int status = 0;
  {
    quellmark::QtFileOpenDialog open_dialog;
    quellmark::TMainForm form(quellmark::FormServices{library,
                                                      quellmark::OutputFormats(),
                                                      &quellmark::DefaultOutputFormat(),
                                                      {},
                                                      open_dialog,
                                                      message_boxes});
    form.show();
    status = application.exec();
  }
  return status;
}
