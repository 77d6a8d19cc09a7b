// The window's dialogs behind small interfaces: the file-open dialog, the
// modal message boxes, the list of a run's warnings, the choice of the
// layers a run writes and that of the coordinate system it writes in. The window only talks to
// these, so that tests answer them with doubles; the Qt implementations are the program's own.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "layers/catalogue.h"
#include "sal/notify.h"

class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QMessageBox;
class QPushButton;
class QRadioButton;
class QWidget;

namespace quellmark {

// What the file-open dialog is asked for each time it is shown.
struct OpenDialogRequest {
  QString filter;  // one filter, "name (*.ext)"
  bool multi_select = false;
  bool folder = false;  // choose one folder instead of files
};

class FileOpenDialog {
 public:
  virtual ~FileOpenDialog() = default;
  // Shows the dialog modally over `owner`. The chosen files' full paths, in
  // the dialog's order, or nothing when the user cancels.
  virtual std::optional<QStringList> Execute(QWidget* owner, const OpenDialogRequest& request) = 0;
};

enum class BoxIcon { kNone, kWarning, kError };

struct BoxMessage {
  QWidget* owner = nullptr;  // none: a box of its own, owned by no window
  QString caption;
  QString text;
  QString detail;  // a second line under the text; may be empty
  BoxIcon icon = BoxIcon::kNone;
  QString check_box;  // the label of a check box under the text, unticked; empty: none
};

// One warning of a run, as the list of warnings shows it.
struct WarningRow {
  QString archive;  // the archive being converted; may be empty
  QString layer;    // its layer code, else the name of the file read; may be empty
  long line = 0;    // 1-based line in that layer's file, 0 if none
  QString text;
};

struct WarningList {
  QWidget* owner = nullptr;
  QString caption;
  QString text;  // above the list
  std::vector<WarningRow> rows;
};

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // Shows a modal box with an OK button and returns when it is closed:
  // whether its check box was ticked then; false for a box without one.
  virtual bool Show(const BoxMessage& message) = 0;
  // Shows the warnings in one modal dialog, a row each, and returns when it
  // is closed.
  virtual void ShowWarnings(const WarningList& list) = 0;
};

class LayerDialog {
 public:
  virtual ~LayerDialog() = default;
  // Shows the choice of the layers whose tables a run writes modally over
  // `owner`, `current` ticked. The layers chosen, at least one, or nothing
  // when the user cancels.
  virtual std::optional<LayerSelection> Execute(QWidget* owner, const LayerSelection& current) = 0;
};

class CrsDialog {
 public:
  virtual ~CrsDialog() = default;
  // Shows the choice of the coordinate system a run writes in modally over
  // `owner`, `current_zone` chosen. A plane rectangular zone (1 to 19), 0
  // for longitude and latitude, or nothing when the user cancels.
  virtual std::optional<int> Execute(QWidget* owner, int current_zone) = 0;
};

// The Qt file dialog. Qt's own dialog rather than the desktop's: its filter
// compares names without regard to case, so "*.lzh" also lists ".LZH" files
// on a case-sensitive file system.
class QtFileOpenDialog : public FileOpenDialog {
 public:
  std::optional<QStringList> Execute(QWidget* owner, const OpenDialogRequest& request) override;
};

// The dialog as Execute shows it, not yet shown.
std::unique_ptr<QFileDialog> BuildOpenDialog(QWidget* owner, const OpenDialogRequest& request);

class QtMessageBoxes : public MessageBoxes {
 public:
  bool Show(const BoxMessage& message) override;
  void ShowWarnings(const WarningList& list) override;
};

// The box as Show shows it, not yet shown.
std::unique_ptr<QMessageBox> BuildMessageBox(const BoxMessage& message);

// The dialog as ShowWarnings shows it, not yet shown: the text, the rows in a
// read-only table (archive, layer, line, text) and the buttons "コピー" and
// "閉じる". Rows are selectable; Ctrl+C copies the selected rows, "コピー"
// the selected rows or, with none selected, every row: a line each, its
// columns separated by tabs.
std::unique_ptr<QDialog> BuildWarningList(const WarningList& list);

// The dialog LayerDialog shows, not yet shown: a check box per layer, in
// catalogue order and a few columns, captioned with its code and Japanese
// name ("DK 道路", named "LayerDK"), those of `current` ticked; the buttons
// "すべて選択" (SelectAllButton) and "すべて解除" (SelectNoneButton); OK and
// Cancel. While no layer is ticked OK is disabled and a line (NoLayerNote)
// says that one is needed.
class LayerChoiceDialog : public QDialog {
  Q_OBJECT

 public:
  static const QString kCaption;
  static const QString kSelectAll;
  static const QString kSelectNone;
  static const QString kNoLayerNote;

  LayerChoiceDialog(QWidget* owner, const LayerSelection& current);
  // The layers ticked.
  LayerSelection selection() const;
  // Closes the dialog as accepted, unless no layer is ticked.
  void accept() override;

 private:
  void TickAll(bool ticked);
  void Update();

  std::vector<QCheckBox*> boxes_;  // one per layer, in catalogue order
  QPushButton* ok_;
  QLabel* no_layer_note_;
};

class QtLayerDialog : public LayerDialog {
 public:
  std::optional<LayerSelection> Execute(QWidget* owner, const LayerSelection& current) override;
};

// The dialog CrsDialog shows, not yet shown: the choices "経緯度（変換しない）"
// (LonLatChoice) and "平面直角座標系" (PlaneChoice), and under the latter a
// combo box (PlaneZones) of the nineteen zones, one item each in zone order
// ("IX系 東京都・神奈川県・...", its zone as the item's data), enabled only
// while PlaneChoice is; OK and Cancel. `current_zone` (0: longitude and
// latitude) is chosen; zone I stands in the combo box when it is 0.
class CrsChoiceDialog : public QDialog {
  Q_OBJECT

 public:
  static const QString kCaption;
  static const QString kLonLat;
  static const QString kPlane;

  CrsChoiceDialog(QWidget* owner, int current_zone);
  // The zone chosen, 0 for longitude and latitude.
  int zone() const;

 private:
  QRadioButton* lon_lat_;
  QRadioButton* plane_;
  QComboBox* zones_;
};

class QtCrsDialog : public CrsDialog {
 public:
  std::optional<int> Execute(QWidget* owner, int current_zone) override;
};

// Qt's own texts in Japanese, as the rest of the window is: the buttons of
// the message boxes ("キャンセル"), the file chooser's labels. Installs Qt's
// Japanese translations into the running application; false when they are
// not installed (qt6-translations-l10n), and Qt's texts stay English.
bool InstallJapaneseQtTexts();

// Shows every notice in a message box of its own, one by one: data problems
// with the file and line under the text, the archive library's reports under
// their own caption ("PANIC!!") with the error icon. Notice texts are CP932.
//
// Between StartRun and EndRun the data problems are one run's: the box of
// the first offers the check box kGatherLabel. Ticked, the run's later data
// problems are not shown as they come but gathered, and EndRun shows them in
// one list; left unticked, each has its box as before. The archive library's
// reports always have their own box.
class NoticeBoxes : public Notifier {
 public:
  static const QString kGatherLabel;

  NoticeBoxes(MessageBoxes& boxes, QWidget* owner, QString default_caption)
      : boxes_(boxes), owner_(owner), default_caption_(std::move(default_caption)) {}
  void Notify(const Notice& notice) override;

  // A run begins, its first data problem not yet shown.
  void StartRun();
  // The run is over: the data problems gathered, if any, are shown in one
  // list. Until the next StartRun every notice has its box.
  void EndRun();

 private:
  enum class RunState { kNoRun, kFirstAhead, kOneByOne, kGathering };

  MessageBoxes& boxes_;
  QWidget* owner_;
  QString default_caption_;
  RunState state_ = RunState::kNoRun;
  std::vector<WarningRow> gathered_;
};

}  // namespace quellmark
