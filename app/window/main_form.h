// The main window: the list of archives to convert, the output format, and
// the Run button that converts the whole list.
#pragma once

#include <QMainWindow>
#include <QString>
#include <memory>
#include <span>
#include <vector>

#include "app/batch.h"
#include "app/window/dialogs.h"

class QAction;
class QLabel;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSettings;
class QStatusBar;

namespace quellmark {

class ArchiveLibrary;

// What the window works with: the archive library, the output formats it
// offers (one choice each, in this order) and the one checked at start, the
// conversion of a sheet (ConvertSheet when empty), the dialogs it shows, and
// where it keeps the user's choices between runs of the program.
struct FormServices {
  const ArchiveLibrary& archive_library;
  std::span<const OutputFormat* const> formats;
  const OutputFormat* default_format;
  SheetConverter convert_sheet;
  FileOpenDialog& open_dialog;
  MessageBoxes& message_boxes;
  LayerDialog& layer_dialog;
  CrsDialog& crs_dialog;
  QSettings& settings;
};

class TMainForm : public QMainWindow {
  Q_OBJECT

 public:
  // The window's font, and the installed font that stands in for it.
  static const QString kDesignFontFamily;
  static const QString kSubstituteFontFamily;
  static constexpr int kFontPixelSize = 12;
  // The settings key of the layers chosen: their codes as
  // LayerSelection::ToString() gives them, empty for every layer.
  static const QString kLayersSetting;
  // The settings key of the coordinate system chosen: a plane rectangular
  // zone, 1 to 19; 0, none or anything else for longitude and latitude.
  static const QString kPlaneZoneSetting;

  explicit TMainForm(FormServices services, QWidget* parent = nullptr);
  ~TMainForm() override;

  // Lists the archives that files (and folders) given on the command line or
  // dropped onto the list stand for, at the end, in the given order.
  void OpenPaths(const QStringList& paths);

 public slots:
  void Button1Click();    // Add
  void Button2Click();    // Run
  void Button3Click();    // Clear list
  void AboutClick();      // the version, in a box
  void AddFolderClick();  // every archive under a folder the user chooses
  void LayersClick();     // the layers whose tables a run writes
  void CrsClick();        // the coordinate system a run writes in

 protected:
  // Archives dragged onto the list.
  bool eventFilter(QObject* watched, QEvent* event) override;
  // A new font: the format choices under Run are fitted to it.
  void changeEvent(QEvent* event) override;

 private:
  class BatchProgress;

  void FitMoreFormats();

  QLabel* Label1;
  QPushButton* Button1;
  FileOpenDialog& OpenDialog1;
  QPushButton* Button2;
  QPushButton* Button3;
  // RadioButton1, RadioButton2, ...: one per output format; from the
  // third on in MoreFormats, under Run.
  std::vector<QRadioButton*> format_buttons_;
  QWidget* MoreFormats = nullptr;
  QListWidget* eInList;
  QStatusBar* StatusBar1;
  QAction* AboutAction;      // the window's context menu, and F1
  QAction* AddFolderAction;  // the window's context menu
  QAction* LayersAction;     // the window's context menu
  QAction* CrsAction;        // the window's context menu

  FormServices services_;
  // The layers whose tables each run writes, as the settings keep them.
  LayerSelection layers_;
  // The plane rectangular zone each run writes in, 0 for longitude and
  // latitude, as the settings keep it.
  int plane_zone_;
  std::unique_ptr<NoticeBoxes> notices_;
  std::unique_ptr<BatchProgress> progress_;

  // Appends each archive not listed yet (the same file by any path).
  void AddArchives(const QStringList& archives);
  // What each run declares and writes in.
  DatumRule Datum() const;
  // The status bar names the chosen layers unless every layer is chosen,
  // and the chosen zone unless longitude and latitude are.
  void ShowChoices();
};

}  // namespace quellmark
