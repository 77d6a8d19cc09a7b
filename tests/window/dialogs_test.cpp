// The Qt side of the window's dialogs: the file dialog's filter on a
// case-sensitive file system, the message boxes, and how notices become boxes.

#include "app/window/dialogs.h"

#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>
#include <string>
#include <utility>
#include <vector>

#include "sal/cp932.h"

using namespace quellmark;

namespace {

class RecordingBoxes : public MessageBoxes {
 public:
  void Show(const BoxMessage& message) override { shown.push_back(message); }
  std::vector<BoxMessage> shown;
};

Notice MakeNotice(std::string text, std::string caption, std::string file, long line) {
  Notice notice;
  notice.text = std::move(text);
  notice.caption = std::move(caption);
  notice.file = std::move(file);
  notice.line = line;
  return notice;
}

// The files the dialog offers for choosing in `folder`.
QStringList OfferedFiles(QFileDialog& dialog, const QString& folder) {
  auto* model = dialog.findChild<QFileSystemModel*>();
  if (model == nullptr) return {QStringLiteral("(no file system model)")};
  const QModelIndex root = model->index(folder);
  QStringList names;
  for (int row = 0; row < model->rowCount(root); ++row) {
    const QModelIndex index = model->index(row, 0, root);
    if (!model->isDir(index) && (model->flags(index) & Qt::ItemIsEnabled)) {
      names << model->fileName(index);
    }
  }
  names.sort();
  return names;
}

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void openDialogOffersArchivesInEitherCase() {
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    for (const char* name : {"533946.lzh", "533947.LZH", "readme.txt", "533950.lzh.txt"}) {
      QFile file(folder.filePath(QLatin1String(name)));
      QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QWidget owner;
    const auto dialog =
        BuildOpenDialog(&owner, OpenDialogRequest{QStringLiteral("lzh files (*.lzh)"), true});
    QCOMPARE(dialog->parentWidget(), &owner);
    QCOMPARE(dialog->nameFilters(), QStringList{QStringLiteral("lzh files (*.lzh)")});
    QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
    QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptOpen);
    dialog->setDirectory(folder.path());
    QTRY_COMPARE(OfferedFiles(*dialog, folder.path()), QStringList({"533946.lzh", "533947.LZH"}));

    const auto single =
        BuildOpenDialog(nullptr, OpenDialogRequest{QStringLiteral("x (*.x)"), false});
    QCOMPARE(single->fileMode(), QFileDialog::ExistingFile);
  }

  void messageBoxesShowWhatTheyAreGiven() {
    QWidget owner;
    const auto error = BuildMessageBox(
        BoxMessage{&owner, QStringLiteral("PANIC!!"), QStringLiteral("<b>not loaded</b>"),
                   QStringLiteral("/maps/a.sal:3"), BoxIcon::kError});
    QCOMPARE(error->parentWidget(), &owner);
    QCOMPARE(error->icon(), QMessageBox::Critical);
    QCOMPARE(error->windowTitle(), QStringLiteral("PANIC!!"));
    QCOMPARE(error->text(), QStringLiteral("<b>not loaded</b>"));
    QCOMPARE(error->textFormat(), Qt::PlainText);
    QCOMPARE(error->informativeText(), QStringLiteral("/maps/a.sal:3"));
    QCOMPARE(error->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));

    const auto plain = BuildMessageBox(BoxMessage{
        nullptr, QStringLiteral("Quellmark"), QStringLiteral("done"), {}, BoxIcon::kNone});
    QCOMPARE(plain->parentWidget(), nullptr);
    QCOMPARE(plain->icon(), QMessageBox::NoIcon);
    QCOMPARE(plain->informativeText(), QString());
    const auto warning = BuildMessageBox(BoxMessage{nullptr, {}, {}, {}, BoxIcon::kWarning});
    QCOMPARE(warning->icon(), QMessageBox::Warning);
  }

  void noticesBecomeBoxes() {
    RecordingBoxes boxes;
    QWidget owner;
    NoticeBoxes notices(boxes, &owner, QStringLiteral("Quellmark"));
    notices.Notify(MakeNotice("non " + EncodeCp932("表示"), "", "/地図/533946SK.sal", 7));
    notices.Notify(MakeNotice("over scoordnum", "", "/maps/533946.slp", 0));
    notices.Notify(MakeNotice("Unlha: LHA.DLL not loaded.", "PANIC!!", "", 0));
    QCOMPARE(boxes.shown.size(), std::size_t{3});

    QCOMPARE(boxes.shown[0].text, QStringLiteral("non 表示"));
    QCOMPARE(boxes.shown[0].detail, QStringLiteral("/地図/533946SK.sal:7"));
    QCOMPARE(boxes.shown[0].caption, QStringLiteral("Quellmark"));
    QCOMPARE(boxes.shown[0].owner, &owner);
    QVERIFY(boxes.shown[0].icon == BoxIcon::kWarning);

    QCOMPARE(boxes.shown[1].detail, QStringLiteral("/maps/533946.slp"));

    QCOMPARE(boxes.shown[2].caption, QStringLiteral("PANIC!!"));
    QCOMPARE(boxes.shown[2].detail, QString());
    QVERIFY(boxes.shown[2].icon == BoxIcon::kError);
  }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
