#include "app/window/dialogs.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>

#include "app/window/display_text.h"

namespace quellmark {

std::unique_ptr<QFileDialog> BuildOpenDialog(QWidget* owner, const OpenDialogRequest& request) {
  auto dialog = std::make_unique<QFileDialog>(owner);
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  if (request.folder) {
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    return dialog;
  }
  dialog->setFileMode(request.multi_select ? QFileDialog::ExistingFiles
                                           : QFileDialog::ExistingFile);
  dialog->setNameFilter(request.filter);
  return dialog;
}

std::optional<QStringList> QtFileOpenDialog::Execute(QWidget* owner,
                                                     const OpenDialogRequest& request) {
  std::unique_ptr<QFileDialog> dialog = BuildOpenDialog(owner, request);
  if (dialog->exec() != QDialog::Accepted) return std::nullopt;
  return dialog->selectedFiles();
}

std::unique_ptr<QMessageBox> BuildMessageBox(const BoxMessage& message) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (message.icon) {
    case BoxIcon::kNone:
      break;
    case BoxIcon::kWarning:
      icon = QMessageBox::Warning;
      break;
    case BoxIcon::kError:
      icon = QMessageBox::Critical;
      break;
  }
  auto box = std::make_unique<QMessageBox>(icon, message.caption, message.text, QMessageBox::Ok,
                                           message.owner);
  box->setTextFormat(Qt::PlainText);
  if (!message.detail.isEmpty()) box->setInformativeText(message.detail);
  return box;
}

void QtMessageBoxes::Show(const BoxMessage& message) { BuildMessageBox(message)->exec(); }

void NoticeBoxes::Notify(const Notice& notice) {
  BoxMessage message;
  message.owner = owner_;
  message.text = FromCp932(notice.text);
  if (notice.caption.empty()) {
    message.caption = default_caption_;
    message.icon = BoxIcon::kWarning;
  } else {
    message.caption = FromCp932(notice.caption);
    message.icon = BoxIcon::kError;
  }
  if (!notice.file.empty()) {
    message.detail = FromPathBytes(notice.file);
    if (notice.line > 0) message.detail += QLatin1Char(':') + QString::number(notice.line);
  }
  boxes_.Show(message);
}

bool InstallJapaneseQtTexts() {
  // Japanese whatever the system's language: the window's own texts are.
  // The application owns the translator.
  auto* loaded = new QTranslator(QCoreApplication::instance());
  if (!loaded->load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"),
                    QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete loaded;
    return false;
  }
  QCoreApplication::installTranslator(loaded);
  return true;
}

}  // namespace quellmark
