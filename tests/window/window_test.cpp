// Drives the main window on the offscreen platform: a fake archive library
// and fake export drivers stand in for the conversion, doubles answer the
// file dialog, the message boxes and the choices of layers and coordinate
// system, and the settings are a file of the test's own.

#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/archive_library.h"
#include "app/output_formats.h"
#include "app/version.h"
#include "app/window/arguments.h"
#include "app/window/dialogs.h"
#include "app/window/main_form.h"
#include "convert/datum.h"
#include "convert/plane_zones.h"
#include "export_gpkg/gpkg_format.h"
#include "export_shape/shapefile_format.h"
#include "export_tab/tab_format.h"
#include "layers/map_styles.h"
#include "sal/cp932.h"
#include "sal/errors.h"
#include "support/table_reader.h"

using namespace quellmark;

namespace quellmark {
const OutputFormat& GeoJsonFormat();  // the tests' fourth format (tests/export_geojson)
}

namespace {

const QString kDone = QStringLiteral("変換が終了しました");
using Marks = QList<Qt::CheckState>;

// Answers each Execute with the next scripted answer; none left: cancelled.
struct ScriptedDialog : FileOpenDialog {
  std::optional<QStringList> Execute(QWidget* owner, const OpenDialogRequest& request) override {
    last_owner = owner;
    requests.push_back(request);
    if (answers.empty()) return std::nullopt;
    std::optional<QStringList> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<std::optional<QStringList>> answers;
  std::vector<OpenDialogRequest> requests;
  QWidget* last_owner = nullptr;
};

// Answers each Execute with the next scripted choice; none left: cancelled.
struct ScriptedLayers : LayerDialog {
  std::optional<LayerSelection> Execute(QWidget* owner, const LayerSelection& current) override {
    last_owner = owner;
    shown_with.push_back(current);
    if (answers.empty()) return std::nullopt;
    std::optional<LayerSelection> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<std::optional<LayerSelection>> answers;
  std::vector<LayerSelection> shown_with;
  QWidget* last_owner = nullptr;
};

// Answers each Execute with the next scripted zone; none left: cancelled.
struct ScriptedZones : CrsDialog {
  std::optional<int> Execute(QWidget* owner, int current_zone) override {
    last_owner = owner;
    shown_with.push_back(current_zone);
    if (answers.empty()) return std::nullopt;
    std::optional<int> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<std::optional<int>> answers;
  std::vector<int> shown_with;
  QWidget* last_owner = nullptr;
};

// Records each box, and whether Run was enabled and the window up meanwhile;
// ticks a box's check box when told to. Records each list of warnings, and
// how many boxes came before it.
struct RecordingBoxes : MessageBoxes {
  struct Shown {
    BoxMessage message;
    bool run_enabled = false;
    bool form_visible = false;
  };
  struct Listed {
    WarningList list;
    std::size_t boxes_before = 0;
    bool form_visible = false;
  };
  bool Show(const BoxMessage& message) override {
    Shown box{message};
    if (form != nullptr) {
      box.run_enabled = form->findChild<QPushButton*>("Button2")->isEnabled();
      box.form_visible = form->isVisible();
    }
    shown.push_back(box);
    return tick && !message.check_box.isEmpty();
  }
  void ShowWarnings(const WarningList& list) override {
    lists.push_back({list, shown.size(), form != nullptr && form->isVisible()});
  }
  QStringList Texts() const {
    QStringList texts;
    for (const Shown& box : shown) texts << box.message.text;
    return texts;
  }
  QWidget* form = nullptr;
  bool tick = false;
  std::vector<Shown> shown;
  std::vector<Listed> lists;
};

// The call numbered `failing_call` (from 1) fails with a report.
struct FakeLibrary : ArchiveLibrary {
  std::int32_t Unlha(void* window, const char* command_line, char* output,
                     std::uint32_t output_size) const override {
    windows.push_back(window);
    commands.emplace_back(command_line);
    if (on_call) on_call();
    if (commands.size() != failing_call) return 0;
    std::snprintf(output, output_size, "cannot read the archive\r\n");
    return 1;
  }
  std::size_t failing_call = 0;
  std::function<void()> on_call;
  mutable std::vector<void*> windows;
  mutable std::vector<std::string> commands;
};

// One window with its fakes, shown. Driver calls are recorded as
// "driver sheet-prefix output-prefix", the layers each is to write as
// LayerSelection::ToString() gives them, and the projected system each is
// to write in (its EPSG code, 0 for longitude and latitude). The settings
// are kept in `settings_file`; by default, one of the harness's own.
struct Harness {
  explicit Harness(const ArchiveLibrary* library_override = nullptr,
                   std::span<const OutputFormat* const> formats = OutputFormats(),
                   const QString& settings_file = QString())
      : settings(settings_file.isEmpty() ? settings_dir.filePath("quellmark.conf") : settings_file,
                 QSettings::IniFormat),
        form(FormServices{library_override ? *library_override : library, formats,
                          &DefaultOutputFormat(), Converter(), dialog, boxes, layer_dialog,
                          crs_dialog, settings}) {
    boxes.form = &form;
    form.show();
  }
  SheetConverter Converter() {
    return [this](const ExtractedArchive& archive, const OutputFormat& format, ExportContext& ctx) {
      const std::string sheet = archive.folder + "/" + archive.base_name;
      driver_calls << QString::fromStdString(std::string(format.id()) + " " + sheet + " " +
                                             archive.target.prefix());
      target_layers << QString::fromStdString(archive.target.layers.ToString());
      target_epsgs << archive.target.datum.projected_epsg;
      if (driver_action) driver_action(sheet, ctx);
      if (real_conversion) ConvertArchive(archive, format, ctx);
    };
  }
  template <typename T>
  T* Get(const char* name) {
    T* widget = form.findChild<T*>(QLatin1String(name));
    if (widget == nullptr) qFatal("no control named %s", name);
    return widget;
  }
  QListWidget* List() { return Get<QListWidget>("eInList"); }
  QPushButton* Run() { return Get<QPushButton>("Button2"); }
  QString Status() { return Get<QStatusBar>("StatusBar1")->currentMessage(); }
  void Click(const char* name) { QTest::mouseClick(Get<QWidget>(name), Qt::LeftButton); }
  void Add(const std::optional<QStringList>& answer) {
    dialog.answers.push_back(answer);
    Click("Button1");
  }
  QStringList Items() {
    QStringList items;
    for (int row = 0; row < List()->count(); ++row) items << List()->item(row)->text();
    return items;
  }
  Marks CheckMarks() {
    Marks marks;
    for (int row = 0; row < List()->count(); ++row) marks << List()->item(row)->checkState();
    return marks;
  }

  FakeLibrary library;
  ScriptedDialog dialog;
  RecordingBoxes boxes;
  ScriptedLayers layer_dialog;
  ScriptedZones crs_dialog;
  QTemporaryDir settings_dir;
  QSettings settings;
  QStringList driver_calls;
  QStringList target_layers;
  QList<int> target_epsgs;
  std::function<void(const std::string& sheet_prefix, ExportContext&)> driver_action;
  bool real_conversion = false;  // the driver converts what the folder holds
  TMainForm form;
};

// What extracting dir/<base>.lzh leaves in dir/<base>: a sheet whose layer
// CM has a whole line and then `damaged` lines each with a brace that closes
// nothing, a warning each.
struct DamagedSheet {
  QString archive;
  QString layer_file;  // the CM layer's
  QList<long> lines;   // the damaged lines' numbers
};
DamagedSheet WriteDamagedSheet(const QDir& dir, const QString& base, int damaged) {
  const QString folder = dir.filePath(base);
  if (!QDir().mkpath(folder)) qFatal("cannot create %s", qPrintable(folder));
  const auto write = [&](const QString& suffix, const QByteArray& bytes) {
    QFile file(folder + QLatin1Char('/') + base + suffix);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
      qFatal("cannot write %s", qPrintable(file.fileName()));
    }
  };
  QByteArray points;
  for (int i = 1; i <= 10; ++i) {
    points += QStringLiteral("%1%2\r\n")
                  .arg(i * 100, 8, 10, QLatin1Char('0'))
                  .arg(i * 50, 8, 10, QLatin1Char('0'))
                  .toLatin1();
  }
  write(".slm", "4868260000,1248680000\r\n0,0\r\n");
  write(".slp", points);
  write("MH.slp", points);
  DamagedSheet sheet{dir.filePath(base + ".lzh"), folder + QLatin1Char('/') + base + "CM.sal", {}};
  QByteArray cm = "CM(ID{CM000001}){SR{93}NM{A}PT(ID{PT000001}){000001}}\r\n";
  for (int i = 0; i < damaged; ++i) {
    cm += QStringLiteral("CM(ID{CM%1}){PT(ID{PT000001}){%2}}}\r\n")
              .arg(i + 2, 6, 10, QLatin1Char('0'))
              .arg(i % 10 + 1)
              .toLatin1();
    sheet.lines << 2 + i;
  }
  write("CM.sal", cm);
  return sheet;
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
    // Settings the tests might reach other than their own files stay out
    // of the user's.
    QStandardPaths::setTestModeEnabled(true);
  }

  void controlsStandAsDesigned_data() {
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    QTest::newRow("Label1") << QRect(16, 16, 88, 12) << "数値地図２５０００";
    QTest::newRow("Button1") << QRect(320, 8, 75, 25) << "追　加";
    QTest::newRow("Button2") << QRect(448, 88, 75, 25) << "実　行";
    QTest::newRow("Button3") << QRect(208, 8, 81, 25) << "リストクリア";
    QTest::newRow("RadioButton1") << QRect(440, 8, 97, 17) << "ArcInfo shape";
    QTest::newRow("RadioButton2") << QRect(440, 40, 97, 17) << "MapInfo TAB";
    // Further formats stack under Run, the window's width.
    QTest::newRow("RadioButton3") << QRect(440, 121, 108, 19) << "GeoPackage";
    QTest::newRow("eInList") << QRect(8, 40, 409, 361) << QString();
    QTest::newRow("StatusBar1") << QRect(0, 410, 548, 19) << QString();
  }
  void controlsStandAsDesigned() {
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    Harness h;
    auto* control = h.Get<QWidget>(QTest::currentDataTag());
    QCOMPARE(QRect(control->mapTo(&h.form, QPoint(0, 0)), control->size()), geometry);
    QCOMPARE(control->property("text").toString(), caption);
    // The window's font, drawn with the Japanese Gothic standing in for it.
    QCOMPARE(QFontInfo(control->font()).family(), TMainForm::kSubstituteFontFamily);
    QCOMPARE(QFontInfo(control->font()).pixelSize(), TMainForm::kFontPixelSize);
  }

  void formStartsAsDesigned() {
    Harness h;
    QCOMPARE(h.form.windowTitle(), QStringLiteral("Quellmark"));
    QCOMPARE(h.form.pos(), QPoint(197, 119));  // the frame's corner
    QCOMPARE(h.form.size(), QSize(548, 429));  // the client area
    QVERIFY(h.Get<QRadioButton>("RadioButton2")->isChecked());
    QVERIFY(!h.Get<QRadioButton>("RadioButton1")->isChecked());
    QVERIFY(!h.Get<QRadioButton>("RadioButton3")->isChecked());
    QVERIFY(h.Run()->isEnabled());

    QStringList tab_order;
    QWidget* first = h.Get<QWidget>("Button1");
    for (QWidget* w = first; tab_order.isEmpty() || w != first; w = w->nextInFocusChain()) {
      if ((w->focusPolicy() & Qt::TabFocus) && w->isVisible()) tab_order << w->objectName();
    }
    QCOMPARE(tab_order, QStringList({"Button1", "Button2", "Button3", "RadioButton1",
                                     "RadioButton2", "RadioButton3", "eInList"}));

    h.Click("RadioButton1");  // the formats exclude each other
    QVERIFY(!h.Get<QRadioButton>("RadioButton2")->isChecked());
    h.Click("RadioButton3");
    QVERIFY(!h.Get<QRadioButton>("RadioButton1")->isChecked());
  }

  void addAppendsAndClearEmpties() {
    Harness h;
    h.Add(QStringList{"/maps/b/533947.lzh", "/maps/a/533946.LZH"});
    QCOMPARE(h.dialog.requests.at(0).filter, QStringLiteral("lzh files (*.lzh)"));
    QVERIFY(h.dialog.requests.at(0).multi_select);
    QCOMPARE(h.dialog.last_owner, &h.form);
    QCOMPARE(h.CheckMarks(), Marks({Qt::Unchecked, Qt::Unchecked}));
    QVERIFY(h.List()->item(0)->flags() & Qt::ItemIsUserCheckable);

    // Rows hold the font's whole line, descenders too, and their check boxes.
    const QFontMetrics metrics(h.List()->font());
    const QRect row = h.List()->visualItemRect(h.List()->item(1));
    QVERIFY2(row.height() >= metrics.height() && row.height() > TMainForm::kFontPixelSize,
             qPrintable(QString::number(row.height())));
    QCOMPARE(h.List()->visualItemRect(h.List()->item(0)).height(), row.height());
    QVERIFY(h.List()->style()->pixelMetric(QStyle::PM_IndicatorHeight) <= row.height());

    // At the end, in the dialog's order; a file already listed is not listed again.
    h.List()->item(0)->setCheckState(Qt::Checked);
    h.Add(QStringList{"/maps/c/533950.lzh", "/maps/b/533947.lzh", "/maps/c/../b/533947.lzh"});
    const QStringList three{"/maps/b/533947.lzh", "/maps/a/533946.LZH", "/maps/c/533950.lzh"};
    QCOMPARE(h.Items(), three);
    QCOMPARE(h.CheckMarks(), Marks({Qt::Checked, Qt::Unchecked, Qt::Unchecked}));

    h.Add(std::nullopt);  // cancelled
    QCOMPARE(h.dialog.requests.size(), std::size_t{3});
    QCOMPARE(h.Items(), three);
    QCOMPARE(h.CheckMarks().at(0), Qt::Checked);

    h.Click("Button3");
    QCOMPARE(h.List()->count(), 0);
  }

  void commandLineArguments_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<bool>("help");
    QTest::addColumn<bool>("version");
    QTest::addColumn<QString>("error");
    QTest::newRow("none") << QStringList{} << QStringList{} << false << false << QString();
    QTest::newRow("archives") << QStringList{"a.lzh", "/m/b.LZH", "-"}
                              << QStringList{"a.lzh", "/m/b.LZH", "-"} << false << false
                              << QString();
    QTest::newRow("help") << QStringList{"a.lzh", "-h"} << QStringList{"a.lzh"} << true << false
                          << QString();
    QTest::newRow("version among unknown")
        << QStringList{"-platform", "x.lzh", "--version", "--bogus"} << QStringList{"x.lzh"}
        << false << true << "unknown option '-platform'";
    QTest::newRow("after --") << QStringList{"--", "--help", "-x.lzh", "--"}
                              << QStringList{"--help", "-x.lzh", "--"} << false << false
                              << QString();
  }
  void commandLineArguments() {
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, paths);
    QFETCH(bool, help);
    QFETCH(bool, version);
    QFETCH(QString, error);
    const WindowArguments parsed = ParseWindowArguments(arguments);
    QCOMPARE(parsed.paths, paths);
    QCOMPARE(parsed.help, help);
    QCOMPARE(parsed.version, version);
    QCOMPARE(parsed.error, error);
  }

  // Archives given on the command line and dropped onto the list: each
  // listed once, by whatever path; anything else left out.
  void givenAndDroppedArchivesAreListedOnce() {
    QTemporaryDir folder;
    // The current folder is reported without links; so is this one.
    const QDir dir(QFileInfo(folder.path()).canonicalFilePath());
    QVERIFY(dir.mkpath("maps/sub") && dir.mkpath("maps/folder.lzh"));
    for (const char* name : {"maps/a.lzh", "maps/B.LZH", "maps/c.lzh", "maps/notes.txt"}) {
      QFile file(dir.filePath(QLatin1String(name)));
      QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(QFile::link(dir.filePath("maps/a.lzh"), dir.filePath("maps/sub/link.lzh")));
    QVERIFY(::link(QFile::encodeName(dir.filePath("maps/c.lzh")).constData(),
                   QFile::encodeName(dir.filePath("maps/hard.lzh")).constData()) == 0);
    const QString a = dir.filePath("maps/a.lzh");
    const QString b = dir.filePath("maps/B.LZH");
    const QString c = dir.filePath("maps/c.lzh");
    const QString missing = dir.filePath("maps/missing.lzh");

    Harness h;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.filePath("maps/sub")));
    h.form.OpenPaths({"../a.lzh", "link.lzh", "../notes.txt", "../folder.lzh", "../B.LZH",
                      "../missing.lzh", "../sub/../missing.lzh"});
    QDir::setCurrent(previous);
    QCOMPARE(h.Items(), QStringList({a, b, missing}));

    QWidget* target = h.List()->viewport();
    const auto drag = [&](const QStringList& files, QEvent::Type type) {
      QMimeData data;
      QList<QUrl> urls;
      for (const QString& file : files) {
        urls << (file.startsWith('/') ? QUrl::fromLocalFile(file) : QUrl(file));
      }
      data.setUrls(urls);
      const QPoint middle = target->rect().center();
      bool accepted = false;
      Qt::DropAction action = Qt::IgnoreAction;
      if (type == QEvent::DragEnter) {
        QDragEnterEvent event(middle, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(target, &event);
        accepted = event.isAccepted();
        action = event.dropAction();
      } else {
        QDropEvent event(middle, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(target, &event);
        accepted = event.isAccepted();
        action = event.dropAction();
      }
      return accepted ? action : Qt::IgnoreAction;
    };
    // Nothing that is an archive: the drag is refused.
    QCOMPARE(drag({dir.filePath("maps/notes.txt"), dir.filePath("maps/folder.lzh"),
                   "https://example.org/x.lzh"},
                  QEvent::DragEnter),
             Qt::IgnoreAction);
    // An archive among them: taken, as a copy, never a move.
    const QStringList dropped{dir.filePath("maps/notes.txt"), dir.filePath("maps/hard.lzh"),
                              dir.filePath("maps/sub/link.lzh"), c};
    QCOMPARE(drag(dropped, QEvent::DragEnter), Qt::CopyAction);
    QCOMPARE(drag(dropped, QEvent::Drop), Qt::CopyAction);
    QCOMPARE(h.Items(), QStringList({a, b, missing, dir.filePath("maps/hard.lzh")}));

    // A folder, chosen through the context menu's Add folder, stands for every
    // archive under it, in path order, each file once (hard.lzh is c.lzh,
    // sub/link.lzh is a.lzh).
    Harness g;
    g.dialog.answers.push_back(QStringList{dir.filePath("maps")});
    auto* add_folder = g.form.findChild<QAction*>("AddFolderAction");
    QVERIFY(add_folder != nullptr && g.form.actions().contains(add_folder));
    add_folder->trigger();
    QVERIFY(g.dialog.requests.back().folder);
    QCOMPARE(g.Items(), QStringList({b, a, c}));
  }

  void aboutShowsTheVersion() {
    Harness h;
    auto* about = h.form.findChild<QAction*>("AboutAction");
    QVERIFY(about != nullptr);
    // In the window's context menu and on F1, so no control moves for it.
    QCOMPARE(h.form.contextMenuPolicy(), Qt::ActionsContextMenu);
    QVERIFY(h.form.actions().contains(about));
    QCOMPARE(about->shortcut(), QKeySequence(QKeySequence::HelpContents));
    about->trigger();
    QCOMPARE(h.boxes.shown.size(), std::size_t{1});
    QCOMPARE(h.boxes.shown[0].message.text, QStringLiteral("Quellmark ") + QLatin1String(kVersion));
    QCOMPARE(h.boxes.shown[0].message.owner, &h.form);
    QCOMPARE(h.form.windowTitle(), QStringLiteral("Quellmark"));
    // It names every format the window offers, as --help does.
    const QString detail = h.boxes.shown[0].message.detail;
    const QString usage = QString::fromStdString(WindowUsage(OutputFormats()));
    for (const OutputFormat* format : OutputFormats()) {
      QVERIFY2(detail.contains(QString::fromUtf8(format->label_ja().data(),
                                                 static_cast<int>(format->label_ja().size()))),
               qPrintable(detail));
      QVERIFY2(usage.contains(QString::fromUtf8(format->label().data(),
                                                static_cast<int>(format->label().size()))),
               qPrintable(usage));
    }
  }

  // The layers chosen through the context menu: every run writes only their
  // tables, the status bar names them, and the program run again (a new
  // window on the same settings) has them still.
  void chosenLayersReachEveryRunAndAreKept() {
    QTemporaryDir folder;
    const QDir dir(QFileInfo(folder.path()).canonicalFilePath());
    const QString settings_file = dir.filePath("quellmark.conf");
    const LayerSelection roads = LayerSelection::Parse("DK,TK,EK");
    const QString codes = QString::fromStdString(roads.ToString());
    const QString status = QStringLiteral("出力レイヤ: ") + codes;
    {
      Harness h(nullptr, OutputFormats(), settings_file);
      QCOMPARE(h.Status(), QString());  // every layer: nothing to say
      auto* choose = h.form.findChild<QAction*>("LayersAction");
      QVERIFY(choose != nullptr && h.form.actions().contains(choose));
      QCOMPARE(choose->text(), QStringLiteral("出力するレイヤ(&L)…"));
      h.layer_dialog.answers.push_back(roads);
      choose->trigger();
      QCOMPARE(h.layer_dialog.last_owner, &h.form);
      QVERIFY(h.layer_dialog.shown_with.at(0).all());
      QCOMPARE(h.Status(), status);
      choose->trigger();  // cancelled: the choice stays
      QVERIFY(h.layer_dialog.shown_with.at(1) == roads);
      QCOMPARE(h.Status(), status);
      h.Add(QStringList{"/maps/533946.lzh", "/maps/533947.lzh"});
      h.Click("Button2");
      QCOMPARE(h.target_layers, QStringList({codes, codes}));
    }
    QCOMPARE(QSettings(settings_file, QSettings::IniFormat).value(TMainForm::kLayersSetting),
             QVariant(codes));

    // Run again: the CM table of a sheet that has only CM lines is not written.
    const DamagedSheet sheet = WriteDamagedSheet(dir, "533946", 0);
    Harness again(nullptr, OutputFormats(), settings_file);
    QCOMPARE(again.Status(), status);
    again.real_conversion = true;
    again.Add(QStringList{sheet.archive});
    again.Click("Button2");
    QCOMPARE(again.target_layers, QStringList{codes});
    QCOMPARE(again.boxes.Texts(), QStringList{kDone});
    QVERIFY(!QFile::exists(dir.filePath("533946CM.tab")));

    // Every layer again: the status bar says nothing, the settings keep "".
    again.layer_dialog.answers.push_back(LayerSelection());
    again.form.findChild<QAction*>("LayersAction")->trigger();
    QCOMPARE(again.Status(), QString());
    QCOMPARE(QSettings(settings_file, QSettings::IniFormat).value(TMainForm::kLayersSetting),
             QVariant(QString()));
  }

  // What the settings keep for the layers, as a new window reads it: codes
  // it cannot read stand for every layer.
  void layerSettingsAreReadBackOrMeanEveryLayer_data() {
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("layers");
    QTest::newRow("codes") << QVariant("dk,TK") << "TK,DK";  // catalogue order
    QTest::newRow("all but") << QVariant("-MH,-KS")
                             << QString::fromStdString(LayerSelection::Parse("-MH,-KS").ToString());
    QTest::newRow("list written by hand") << QVariant(QStringList{"EK", "TK"}) << "TK,EK";
    QTest::newRow("unknown code") << QVariant("DK,XX") << QString();
    QTest::newRow("mixed") << QVariant("DK,-TK") << QString();
    QTest::newRow("not text") << QVariant(42) << QString();
  }
  void layerSettingsAreReadBackOrMeanEveryLayer() {
    QFETCH(QVariant, stored);
    QFETCH(QString, layers);
    QTemporaryDir folder;
    const QString settings_file = folder.filePath("quellmark.conf");
    QSettings(settings_file, QSettings::IniFormat).setValue(TMainForm::kLayersSetting, stored);
    Harness h(nullptr, OutputFormats(), settings_file);
    QCOMPARE(h.Status(), layers.isEmpty() ? QString() : QStringLiteral("出力レイヤ: ") + layers);
    h.Add(QStringList{"/maps/533946.lzh"});
    h.Click("Button2");
    QCOMPARE(h.target_layers, QStringList{layers});
  }

  // The dialog as the program shows it.
  void layerDialogTicksAndRefusesNone() {
    QVERIFY(InstallJapaneseQtTexts());
    LayerChoiceDialog dialog(nullptr, LayerSelection::Parse("DK,TK"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("出力するレイヤ"));
    QCOMPARE(dialog.findChildren<QCheckBox*>().size(), qsizetype(Layers().size()));
    auto* grid = dialog.findChild<QGridLayout*>();
    QVERIFY(grid != nullptr);
    QVERIFY(grid->columnCount() > 1 && grid->columnCount() < 6);
    // Each layer's box, captioned with its code and name; in catalogue order,
    // column after column.
    QList<std::pair<int, int>> places;
    for (const LayerSpec& layer : Layers()) {
      const QString code = QString::fromLatin1(layer.code.data(), qsizetype(layer.code.size()));
      auto* box = dialog.findChild<QCheckBox*>("Layer" + code);
      QVERIFY2(box != nullptr, qPrintable(code));
      const std::string_view title = MapStyleOf(layer).title;
      QCOMPARE(box->text(), code + ' ' + QString::fromUtf8(title.data(), qsizetype(title.size())));
      QCOMPARE(box->isChecked(), code == "DK" || code == "TK");
      int row = 0, column = 0, rows = 0, columns = 0;
      grid->getItemPosition(grid->indexOf(box), &row, &column, &rows, &columns);
      places << std::pair(column, row);
    }
    QVERIFY(std::is_sorted(places.begin(), places.end()));
    QVERIFY(std::adjacent_find(places.begin(), places.end()) == places.end());
    QCOMPARE(dialog.findChild<QCheckBox*>("LayerDK")->text(), QStringLiteral("DK 道路"));

    auto* buttons = dialog.findChild<QDialogButtonBox*>();
    QVERIFY(buttons != nullptr);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    QVERIFY(ok != nullptr);
    QCOMPARE(buttons->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("キャンセル"));
    auto* note = dialog.findChild<QLabel*>("NoLayerNote");
    QVERIFY(note != nullptr);
    dialog.show();
    QVERIFY(ok->isEnabled() && !note->isVisible());

    // None ticked: OK refuses, and the dialog says why.
    auto* none = dialog.findChild<QPushButton*>("SelectNoneButton");
    QCOMPARE(none->text(), QStringLiteral("すべて解除"));
    none->click();
    for (QCheckBox* box : dialog.findChildren<QCheckBox*>()) QVERIFY(!box->isChecked());
    QVERIFY(!ok->isEnabled() && note->isVisible());
    QVERIFY(dialog.selection().empty());
    dialog.accept();
    QVERIFY(dialog.isVisible());

    QTest::mouseClick(dialog.findChild<QCheckBox*>("LayerKK"), Qt::LeftButton);
    QVERIFY(ok->isEnabled() && !note->isVisible());
    QCOMPARE(dialog.selection().ToString(), std::string("KK"));
    auto* all = dialog.findChild<QPushButton*>("SelectAllButton");
    QCOMPARE(all->text(), QStringLiteral("すべて選択"));
    all->click();
    QVERIFY(dialog.selection().all());
    ok->click();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));

    // Shown through its interface: OK gives the layers ticked, Cancel nothing.
    QtLayerDialog layers;
    for (bool accept : {true, false}) {
      QTimer::singleShot(0, [accept] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
          auto* shown = qobject_cast<LayerChoiceDialog*>(widget);
          if (shown == nullptr || !shown->isVisible()) continue;
          shown->findChild<QPushButton*>("SelectNoneButton")->click();
          shown->findChild<QCheckBox*>("LayerEK")->setChecked(true);
          auto* box = shown->findChild<QDialogButtonBox*>();
          box->button(accept ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
        }
      });
      const std::optional<LayerSelection> chosen = layers.Execute(nullptr, LayerSelection());
      QCOMPARE(chosen.has_value(), accept);
      if (accept) QCOMPARE(chosen->ToString(), std::string("EK"));
    }
  }

  // The coordinate system chosen through the context menu: every run
  // writes in it, the status bar names it (beside the layers when they are
  // chosen too), and the program run again has it still.
  void chosenZoneReachesEveryRunAndIsKept() {
    QTemporaryDir folder;
    const QDir dir(QFileInfo(folder.path()).canonicalFilePath());
    const QString settings_file = dir.filePath("quellmark.conf");
    const int zone_ix = PlaneZoneEpsg(9, DatumLabel::kAsBefore);
    QCOMPARE(zone_ix, 2451);
    const QString status = QStringLiteral("座標系: 平面直角IX系 (EPSG:2451)");
    {
      Harness h(nullptr, OutputFormats(), settings_file);
      QCOMPARE(h.Status(), QString());  // longitude and latitude: nothing to say
      auto* choose = h.form.findChild<QAction*>("CrsAction");
      QVERIFY(choose != nullptr);
      QCOMPARE(choose->text(), QStringLiteral("座標系(&C)…"));
      // In the context menu, after the layers' entry.
      const QList<QAction*> entries = h.form.actions();
      QCOMPARE(entries.indexOf(choose),
               entries.indexOf(h.form.findChild<QAction*>("LayersAction")) + 1);
      h.crs_dialog.answers.push_back(9);
      choose->trigger();
      QCOMPARE(h.crs_dialog.last_owner, &h.form);
      QCOMPARE(h.crs_dialog.shown_with.at(0), 0);
      QCOMPARE(h.Status(), status);
      choose->trigger();  // cancelled: the choice stays
      QCOMPARE(h.crs_dialog.shown_with.at(1), 9);
      QCOMPARE(h.Status(), status);

      // With layers chosen too, the status bar names both.
      h.layer_dialog.answers.push_back(LayerSelection::Parse("DK,TK"));
      h.form.findChild<QAction*>("LayersAction")->trigger();
      QCOMPARE(h.Status(), QStringLiteral("出力レイヤ: ") +
                               QString::fromStdString(LayerSelection::Parse("DK,TK").ToString()) +
                               QStringLiteral(" / ") + status);
      h.layer_dialog.answers.push_back(LayerSelection());
      h.form.findChild<QAction*>("LayersAction")->trigger();
      QCOMPARE(h.Status(), status);

      h.Add(QStringList{"/maps/533946.lzh", "/maps/533947.lzh"});
      h.Click("Button2");
      QCOMPARE(h.target_epsgs, QList<int>({zone_ix, zone_ix}));
    }
    QCOMPARE(QSettings(settings_file, QSettings::IniFormat)
                 .value(TMainForm::kPlaneZoneSetting)
                 .toString(),
             QStringLiteral("9"));

    // Run again: zone IX still chosen. A sheet of 兵庫県 (near 34.69°N
    // 135.23°E), in zone V: its table is written there, in metres east and
    // south of the zone's origin (36°N 134°20′E), as PROJ's cs2cs gives
    // them (82109 m east, 145447 m south; in zone IX, 422 km west).
    const DamagedSheet sheet = WriteDamagedSheet(dir, "533946", 0);
    {
      Harness again(nullptr, OutputFormats(), settings_file);
      QCOMPARE(again.Status(), status);
      again.crs_dialog.answers.push_back(5);
      again.form.findChild<QAction*>("CrsAction")->trigger();
      QCOMPARE(again.crs_dialog.shown_with, std::vector<int>{9});
      QCOMPARE(again.Status(), QStringLiteral("座標系: 平面直角V系 (EPSG:2447)"));
      again.real_conversion = true;
      again.Add(QStringList{sheet.archive});
      again.Click("Button2");
      QCOMPARE(again.target_epsgs, QList<int>{PlaneZoneEpsg(5, DatumLabel::kAsBefore)});
      QCOMPARE(again.boxes.Texts(), QStringList{kDone});
      const testing::ReadTable table =
          testing::ReadTableBack(dir.filePath("533946CM.tab").toStdString());
      // MapInfo's form: Transverse Mercator on JGD2000 (152) about zone V's origin.
      QVERIFY2(table.coordsys.starts_with("Earth Projection 8, 152, \"m\", 134.3333333"),
               table.coordsys.c_str());
      QCOMPARE(table.features.size(), std::size_t{1});
      const testing::ReadFeature& point = table.features[0];
      QCOMPARE(point.x.size(), std::size_t{1});
      QVERIFY2(std::abs(point.x[0] - 82109) < 100, qPrintable(QString::number(point.x[0], 'f')));
      QVERIFY2(std::abs(point.y[0] + 145447) < 100, qPrintable(QString::number(point.y[0], 'f')));

      // Longitude and latitude again: the status bar says nothing, the
      // settings keep 0, runs project nothing.
      again.crs_dialog.answers.push_back(0);
      again.form.findChild<QAction*>("CrsAction")->trigger();
      QCOMPARE(again.crs_dialog.shown_with.at(1), 5);
      QCOMPARE(again.Status(), QString());
      again.form.show();
      again.Click("Button2");
      QCOMPARE(again.target_epsgs, QList<int>({2447, 0}));
    }
    QCOMPARE(QSettings(settings_file, QSettings::IniFormat)
                 .value(TMainForm::kPlaneZoneSetting)
                 .toString(),
             QStringLiteral("0"));
  }

  // What the settings keep for the coordinate system, as a new window reads
  // it: anything but a zone's number stands for longitude and latitude.
  void planeZoneSettingsAreReadBackOrMeanLonLat_data() {
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("zone");
    QTest::newRow("zone") << QVariant("12") << 12;
    QTest::newRow("last zone") << QVariant(19) << 19;
    QTest::newRow("longitude and latitude") << QVariant(0) << 0;
    QTest::newRow("past the last zone") << QVariant("20") << 0;
    QTest::newRow("negative") << QVariant("-9") << 0;
    QTest::newRow("not a number") << QVariant("IX") << 0;
    QTest::newRow("fraction") << QVariant("9.5") << 0;
    QTest::newRow("list") << QVariant(QStringList{"9", "10"}) << 0;
  }
  void planeZoneSettingsAreReadBackOrMeanLonLat() {
    QFETCH(QVariant, stored);
    QFETCH(int, zone);
    QTemporaryDir folder;
    const QString settings_file = folder.filePath("quellmark.conf");
    QSettings(settings_file, QSettings::IniFormat).setValue(TMainForm::kPlaneZoneSetting, stored);
    Harness h(nullptr, OutputFormats(), settings_file);
    const int epsg = zone == 0 ? 0 : PlaneZoneEpsg(zone, DatumLabel::kAsBefore);
    QCOMPARE(h.Status(), zone == 0 ? QString()
                                   : QStringLiteral("座標系: 平面直角%1系 (EPSG:%2)")
                                         .arg(QLatin1String(kPlaneZones[zone - 1].numeral))
                                         .arg(epsg));
    h.crs_dialog.answers.push_back(std::nullopt);
    h.form.findChild<QAction*>("CrsAction")->trigger();
    QCOMPARE(h.crs_dialog.shown_with, std::vector<int>{zone});
    h.Add(QStringList{"/maps/533946.lzh"});
    h.Click("Button2");
    QCOMPARE(h.target_epsgs, QList<int>{epsg});
  }

  // The dialog as the program shows it.
  void crsDialogOffersTheZones() {
    QVERIFY(InstallJapaneseQtTexts());
    CrsChoiceDialog dialog(nullptr, 0);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("座標系"));
    QVERIFY(dialog.layout() != nullptr);
    auto* lon_lat = dialog.findChild<QRadioButton*>("LonLatChoice");
    auto* plane = dialog.findChild<QRadioButton*>("PlaneChoice");
    auto* zones = dialog.findChild<QComboBox*>("PlaneZones");
    QVERIFY(lon_lat != nullptr && plane != nullptr && zones != nullptr);
    QCOMPARE(lon_lat->text(), QStringLiteral("経緯度（変換しない）"));
    QCOMPARE(plane->text(), QStringLiteral("平面直角座標系"));
    // A zone an item, in order, named by its numeral and what it serves.
    const QStringList numerals{"I",  "II",  "III",  "IV",  "V",  "VI",  "VII",  "VIII",  "IX", "X",
                               "XI", "XII", "XIII", "XIV", "XV", "XVI", "XVII", "XVIII", "XIX"};
    QCOMPARE(zones->count(), 19);
    for (int i = 0; i < zones->count(); ++i) {
      QVERIFY2(zones->itemText(i).startsWith(numerals[i] + QStringLiteral("系 ")),
               qPrintable(zones->itemText(i)));
      QVERIFY(zones->itemText(i).size() > numerals[i].size() + 4);
      QCOMPARE(zones->itemData(i).toInt(), i + 1);
    }
    QCOMPARE(
        zones->itemText(8),
        QStringLiteral("IX系 東京都・神奈川県・埼玉県・千葉県・茨城県・栃木県・群馬県・福島県"));
    QCOMPARE(zones->itemText(11), QStringLiteral("XII系 北海道（中央部）"));

    // The zones only with the plane choice.
    dialog.show();
    QVERIFY(lon_lat->isChecked() && !plane->isChecked());
    QVERIFY(!zones->isEnabled());
    QCOMPARE(dialog.zone(), 0);
    plane->click();
    QVERIFY(plane->isChecked() && !lon_lat->isChecked());
    QVERIFY(zones->isEnabled());
    zones->setCurrentIndex(8);
    QCOMPARE(dialog.zone(), 9);
    lon_lat->click();
    QVERIFY(!zones->isEnabled());
    QCOMPARE(dialog.zone(), 0);

    // Shown with a zone: it is chosen.
    CrsChoiceDialog with_zone(nullptr, 12);
    QVERIFY(with_zone.findChild<QRadioButton*>("PlaneChoice")->isChecked());
    QVERIFY(with_zone.findChild<QComboBox*>("PlaneZones")->isEnabled());
    QCOMPARE(with_zone.zone(), 12);

    auto* buttons = dialog.findChild<QDialogButtonBox*>();
    QVERIFY(buttons != nullptr && buttons->button(QDialogButtonBox::Ok) != nullptr);
    QCOMPARE(buttons->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("キャンセル"));

    // Shown through its interface: OK gives the zone chosen, or 0 for
    // longitude and latitude; Cancel nothing.
    QtCrsDialog crs;
    const struct {
      int current;
      int pick;  // the zone picked, 0 for longitude and latitude
      bool accept;
      std::optional<int> chosen;
    } answers[] = {{0, 9, true, 9}, {9, 0, true, 0}, {0, 3, false, std::nullopt}};
    for (const auto& answer : answers) {
      QTimer::singleShot(0, [answer] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
          auto* shown = qobject_cast<CrsChoiceDialog*>(widget);
          if (shown == nullptr || !shown->isVisible()) continue;
          if (answer.pick == 0) {
            shown->findChild<QRadioButton*>("LonLatChoice")->click();
          } else {
            shown->findChild<QRadioButton*>("PlaneChoice")->click();
            shown->findChild<QComboBox*>("PlaneZones")->setCurrentIndex(answer.pick - 1);
          }
          auto* box = shown->findChild<QDialogButtonBox*>();
          box->button(answer.accept ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
        }
      });
      QCOMPARE(crs.Execute(nullptr, answer.current), answer.chosen);
    }
  }

  void qtsOwnTextsAreJapanese() {
    QVERIFY2(InstallJapaneseQtTexts(), "Qt's Japanese translations (qt6-translations-l10n)");
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("キャンセル"));
    QCOMPARE(QCoreApplication::translate("QFileDialog", "Open"), QStringLiteral("開く"));
  }

  void runOnAnEmptyListFinishesAndCloses() {
    Harness h;
    h.Click("Button2");
    QVERIFY(h.library.commands.empty());
    QVERIFY(h.driver_calls.isEmpty());
    QCOMPARE(h.boxes.shown.size(), std::size_t{1});
    const RecordingBoxes::Shown& done = h.boxes.shown[0];
    QCOMPARE(done.message.text, kDone);
    QCOMPARE(done.message.caption, QStringLiteral("Quellmark"));
    QCOMPARE(done.message.owner, &h.form);
    QVERIFY(done.run_enabled && done.form_visible);
    QVERIFY(!h.form.isVisible());
    QVERIFY(h.Run()->isEnabled());
  }

  void runStopsAtTheArchiveThatFails_data() {
    QTest::addColumn<bool>("extraction_fails");
    QTest::addColumn<QStringList>("message_parts");
    QTest::addColumn<int>("driver_calls");
    QTest::newRow("extraction") << true
                                << QStringList{"/maps/b/533947.lzh", "extraction failed",
                                               "cannot read the archive"}
                                << 1;
    QTest::newRow("conversion") << false << QStringList{"/maps/b/533947/533947.slm:3", "non 表"}
                                << 2;
  }
  void runStopsAtTheArchiveThatFails() {
    QFETCH(bool, extraction_fails);
    QFETCH(QStringList, message_parts);
    QFETCH(int, driver_calls);
    Harness h;
    if (extraction_fails) {
      h.library.failing_call = 2;
    } else {
      h.driver_action = [](const std::string& sheet, ExportContext&) {
        if (sheet == "/maps/b/533947/533947") {
          throw InputError(sheet + ".slm", 3, "non " + EncodeCp932("表"));
        }
      };
    }
    h.Add(QStringList{"/maps/a/533946.lzh", "/maps/b/533947.lzh", "/maps/c/533950.lzh"});
    h.Click("Button2");

    QCOMPARE(h.library.commands.size(), std::size_t{2});
    QCOMPARE(h.driver_calls.size(), driver_calls);
    QCOMPARE(h.driver_calls[0], QStringLiteral("tab /maps/a/533946/533946 /maps/a/533946"));
    QCOMPARE(h.CheckMarks(), Marks({Qt::Checked, Qt::Unchecked, Qt::Unchecked}));
    QCOMPARE(h.boxes.shown.size(), std::size_t{1});  // the error, no completion
    const BoxMessage& error = h.boxes.shown[0].message;
    QVERIFY(error.icon == BoxIcon::kError);
    QCOMPARE(error.owner, &h.form);
    for (const QString& part : message_parts) QVERIFY2(error.text.contains(part), qPrintable(part));
    QVERIFY(h.form.isVisible());
    QCOMPARE(h.Status(), QStringLiteral("533947"));
    QVERIFY(h.Run()->isEnabled());

    // Once the cause is gone, Run goes through the whole list from the top.
    h.library.failing_call = 0;
    h.driver_action = nullptr;
    h.Click("Button2");
    QCOMPARE(h.library.commands.size(), std::size_t{5});
    QCOMPARE(h.library.commands[2], std::string(" e -x1 \"/maps/a/533946.lzh\" *.* -p2 -y1"));
    QCOMPARE(h.CheckMarks(), Marks({Qt::Checked, Qt::Checked, Qt::Checked}));
    QCOMPARE(h.boxes.Texts().last(), kDone);
    QVERIFY(!h.form.isVisible());
  }

  void runConvertsEveryItemAgain() {
    Harness h;
    h.Add(QStringList{"/maps/533946.lzh", "/maps/533947.lzh", "/maps/533948.lzh"});
    h.List()->item(0)->setCheckState(Qt::Checked);
    h.List()->item(2)->setCheckState(Qt::Checked);
    h.Click("RadioButton1");
    void* const window = reinterpret_cast<void*>(h.form.winId());
    h.Click("Button2");

    QCOMPARE(h.library.commands,
             std::vector<std::string>({" e -x1 \"/maps/533946.lzh\" *.* -p2 -y1",
                                       " e -x1 \"/maps/533947.lzh\" *.* -p2 -y1",
                                       " e -x1 \"/maps/533948.lzh\" *.* -p2 -y1"}));
    QCOMPARE(h.library.windows, std::vector<void*>(3, window));
    QCOMPARE(h.driver_calls, QStringList({"shape /maps/533946/533946 /maps/533946",
                                          "shape /maps/533947/533947 /maps/533947",
                                          "shape /maps/533948/533948 /maps/533948"}));
    QCOMPARE(h.CheckMarks(), Marks({Qt::Checked, Qt::Checked, Qt::Checked}));
    QCOMPARE(h.boxes.Texts(), QStringList{kDone});
  }

  // A fourth format, registered for this test only: the window offers it
  // under Run without any control overlapping another, at the window's font
  // and at a larger one; --help names it; choosing it converts to it.
  void aFourthFormatStacksUnderRunAndConverts() {
    // The tests' fourth format, added to the program's as its one line.
    const std::vector<const OutputFormat*> formats{&ShapefileFormat(), &TabFormat(), &GpkgFormat(),
                                                   &GeoJsonFormat()};
    Harness h(nullptr, formats);
    QVERIFY(QString::fromStdString(WindowUsage(formats)).contains("GeoJSON"));
    for (int pixels : {TMainForm::kFontPixelSize, 20}) {
      QFont font = h.form.font();
      font.setPixelSize(pixels);
      h.form.setFont(font);
      QList<QWidget*> controls;
      for (const char* name : {"Label1", "Button1", "Button2", "Button3", "RadioButton1",
                               "RadioButton2", "RadioButton3", "RadioButton4", "eInList"}) {
        controls << h.Get<QWidget>(name);
      }
      const QRect client = h.form.centralWidget()->rect();
      for (int i = 0; i < controls.size(); ++i) {
        const QRect a(controls[i]->mapTo(&h.form, QPoint(0, 0)), controls[i]->size());
        QVERIFY2(client.contains(a), qPrintable(controls[i]->objectName()));
        // The stacked choices are as high as their font's line.
        if (i >= 6) {
          QVERIFY2(a.height() >= QFontMetrics(controls[i]->font()).height(),
                   qPrintable(controls[i]->objectName()));
        }
        for (int j = i + 1; j < controls.size(); ++j) {
          const QRect b(controls[j]->mapTo(&h.form, QPoint(0, 0)), controls[j]->size());
          QVERIFY2(!a.intersects(b), qPrintable(controls[i]->objectName() + " overlaps " +
                                                controls[j]->objectName()));
        }
      }
    }
    h.Add(QStringList{"/maps/533946.lzh"});
    h.Click("RadioButton4");
    QVERIFY(!h.Get<QRadioButton>("RadioButton2")->isChecked());
    h.Click("Button2");
    QCOMPARE(h.driver_calls, QStringList({"geojson /maps/533946/533946 /maps/533946"}));
  }

  void runShowsEachArchiveBeforeExtractingIt() {
    Harness h;
    QVERIFY(QTest::qWaitForWindowExposed(&h.form));
    auto* status_bar = h.Get<QStatusBar>("StatusBar1");
    struct PaintCounter : QObject {
      bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return false;
      }
      int paints = 0;
    } counter;
    status_bar->installEventFilter(&counter);
    QStringList shown;
    QList<int> paints;
    h.library.on_call = [&] {
      shown << status_bar->currentMessage();
      paints << counter.paints;
    };
    h.Add(QStringList{"/地図/図郭一.lzh", "/地図/図郭二.lzh"});
    const int before = counter.paints;
    h.Click("Button2");  // no event loop runs meanwhile: the paints are the window's own
    QCOMPARE(shown, QStringList({"図郭一", "図郭二"}));
    QVERIFY(paints.at(0) > before && paints.at(1) > paints.at(0));
  }

  void dataProblemsComeOneByOneDecoded() {
    Harness h;
    h.driver_action = [](const std::string& sheet, ExportContext& context) {
      Reporter reporter(context.notifier);
      reporter.SetFile(sheet + "SK.sal");
      reporter.SetLine(12);
      reporter.Report("over scoordnum");
      reporter.SetLine(40);
      reporter.Report("non " + EncodeCp932("ＡＢ表"));
    };
    h.Add(QStringList{"/地図/533946.lzh"});
    h.Click("Button2");
    QCOMPARE(h.boxes.Texts(), QStringList({"over scoordnum", "non ＡＢ表", kDone}));
    const RecordingBoxes::Shown& problem = h.boxes.shown[1];
    QCOMPARE(problem.message.detail, QStringLiteral("/地図/533946/533946SK.sal:40"));
    QCOMPARE(problem.message.owner, &h.form);
    QVERIFY(problem.message.icon == BoxIcon::kWarning);
    QVERIFY(!problem.run_enabled);
  }

  // A run's data problems: the first box offers to gather the rest. Ticked,
  // the run goes on without a box, the rest come in one list once it ends
  // (ended by an error too), and the next run asks again; unticked, each
  // has its box.
  void runWarningsGatherIntoOneListOnceTicked() {
    QTemporaryDir folder;
    const QDir dir(QFileInfo(folder.path()).canonicalFilePath());
    const DamagedSheet sheet = WriteDamagedSheet(dir, "533946", 30);
    const DamagedSheet whole = WriteDamagedSheet(dir, "533947", 0);
    const auto box_of_line = [&](const RecordingBoxes::Shown& box, const QWidget* form, long line) {
      return box.message.icon == BoxIcon::kWarning && box.message.owner == form &&
             box.message.detail == sheet.layer_file + ':' + QString::number(line) &&
             !box.run_enabled && box.form_visible;
    };

    Harness one_by_one;
    one_by_one.real_conversion = true;
    one_by_one.Add(QStringList{sheet.archive});
    one_by_one.Click("Button2");
    const std::vector<RecordingBoxes::Shown>& boxes = one_by_one.boxes.shown;
    QCOMPARE(boxes.size(), std::size_t(sheet.lines.size()) + 1);
    for (qsizetype i = 0; i < sheet.lines.size(); ++i) {
      const RecordingBoxes::Shown& box = boxes[std::size_t(i)];
      QVERIFY2(box_of_line(box, &one_by_one.form, sheet.lines[i]), qPrintable(box.message.detail));
      QVERIFY(!box.message.text.isEmpty());
      QCOMPARE(box.message.check_box, i == 0 ? NoticeBoxes::kGatherLabel : QString());
    }
    QCOMPARE(boxes.back().message.text, kDone);
    QVERIFY(one_by_one.boxes.lists.empty());

    Harness h;
    h.real_conversion = true;
    h.boxes.tick = true;
    h.Add(QStringList{sheet.archive, whole.archive});
    h.library.failing_call = 2;
    // Each run: the first problem's box, ticked; the rest in one list; the
    // run's last box.
    const auto check_run = [&](std::size_t first_box, std::size_t list) {
      QCOMPARE(h.boxes.shown.size(), first_box + 2);
      QCOMPARE(h.boxes.lists.size(), list + 1);
      const RecordingBoxes::Shown& box = h.boxes.shown[first_box];
      QVERIFY(box_of_line(box, &h.form, sheet.lines[0]));
      QCOMPARE(box.message.text, boxes[0].message.text);
      QCOMPARE(box.message.check_box, NoticeBoxes::kGatherLabel);
      const RecordingBoxes::Listed& listed = h.boxes.lists[list];
      QCOMPARE(listed.boxes_before, first_box + 1);
      QVERIFY(listed.form_visible);
      QCOMPARE(listed.list.owner, &h.form);
      QCOMPARE(listed.list.caption, QStringLiteral("Quellmark"));
      QVERIFY(listed.list.text.contains(QString::number(sheet.lines.size() - 1)));
      QCOMPARE(listed.list.rows.size(), std::size_t(sheet.lines.size()) - 1);
      for (std::size_t i = 0; i < listed.list.rows.size(); ++i) {
        const WarningRow& row = listed.list.rows[i];
        QCOMPARE(row.archive, sheet.archive);
        QCOMPARE(row.layer, QStringLiteral("CM"));
        QCOMPARE(row.line, sheet.lines[qsizetype(i) + 1]);
        QCOMPARE(row.text, boxes[i + 1].message.text);
      }
    };
    h.Click("Button2");  // the second archive's extraction fails
    check_run(0, 0);
    if (QTest::currentTestFailed()) return;
    QVERIFY(h.boxes.shown.back().message.icon == BoxIcon::kError);
    QVERIFY(h.form.isVisible());

    h.library.failing_call = 0;
    h.Click("Button2");
    check_run(2, 1);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(h.boxes.shown.back().message.text, kDone);
    QCOMPARE(h.CheckMarks(), Marks({Qt::Checked, Qt::Checked}));
    QVERIFY(QFile::exists(dir.filePath("533946CM.tab")));
  }

  // The boxes and the list as the program shows them.
  void warningDialogsTickAndCopy() {
    BoxMessage message;
    message.caption = QStringLiteral("Quellmark");
    message.text = QStringLiteral("over scoordnum");
    message.icon = BoxIcon::kWarning;
    QVERIFY(BuildMessageBox(message)->checkBox() == nullptr);
    message.check_box = NoticeBoxes::kGatherLabel;
    const auto with_check_box = BuildMessageBox(message);
    QVERIFY(with_check_box->checkBox() != nullptr);
    QCOMPARE(with_check_box->checkBox()->text(), NoticeBoxes::kGatherLabel);
    QVERIFY(!with_check_box->checkBox()->isChecked());
    QtMessageBoxes boxes;
    for (bool tick : {false, true}) {
      // The user's answer, once the box is up.
      QTimer::singleShot(0, [tick] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
          auto* box = qobject_cast<QMessageBox*>(widget);
          if (box == nullptr || !box->isVisible()) continue;
          if (box->checkBox() != nullptr) box->checkBox()->setChecked(tick);
          box->accept();
        }
      });
      QCOMPARE(boxes.Show(message), tick);
    }

    WarningList list;
    list.caption = QStringLiteral("Quellmark");
    list.text = QStringLiteral("三件");
    list.rows = {{"/maps/533946.lzh", "CM", 12, "non 表"},
                 {"/maps/533946.lzh", "DK", 0, "tab\tin text"},
                 {"/maps/533947.lzh", "533947.slp", 3, "over scoordnum"}};
    const auto dialog = BuildWarningList(list);
    QCOMPARE(dialog->windowTitle(), list.caption);
    QVERIFY(dialog->layout() != nullptr);
    auto* table = dialog->findChild<QTableWidget*>("Warnings");
    QVERIFY(table != nullptr);
    QCOMPARE(table->rowCount(), 3);
    QCOMPARE(table->columnCount(), 4);
    QCOMPARE(table->horizontalHeaderItem(3)->text(), QStringLiteral("内容"));
    QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    QStringList rows;
    for (const WarningRow& row : list.rows) {
      QStringList cells{row.archive, row.layer, row.line ? QString::number(row.line) : QString(),
                        row.text};
      for (int column = 0; column < 4; ++column) {
        QCOMPARE(table->item(int(rows.size()), column)->text(), cells[column]);
        QVERIFY(!(table->item(int(rows.size()), column)->flags() & Qt::ItemIsEditable));
      }
      // A tab inside a cell is copied as a space, so that columns stay apart.
      for (QString& cell : cells) cell.replace('\t', ' ');
      rows << cells.join('\t');
    }
    // With nothing selected, Copy takes every row; Ctrl+C the selected ones.
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    auto* copy = dialog->findChild<QPushButton*>("CopyButton");
    QCOMPARE(copy->text(), QStringLiteral("コピー"));
    copy->click();
    QCOMPARE(clipboard->text(), rows.join('\n') + '\n');
    table->selectRow(2);
    QTest::keySequence(table, QKeySequence::Copy);
    QCOMPARE(clipboard->text(), rows[2] + '\n');
    auto* buttons = dialog->findChild<QDialogButtonBox*>();
    QPushButton* close = buttons->button(QDialogButtonBox::Close);
    QCOMPARE(close->text(), QStringLiteral("閉じる"));
    dialog->show();
    close->click();
    QVERIFY(!dialog->isVisible());
    QCOMPARE(dialog->result(), int(QDialog::Rejected));
  }

  // Without the library nothing is extracted: after its box the archive
  // fails as a failed extraction does, and nothing that an earlier run left
  // in its extraction folder is converted.
  void missingLibraryReportsAndFailsTheArchive() {
    // Bound as the program binds it: its reports in boxes owned by no window.
    RecordingBoxes library_boxes;
    NoticeBoxes library_reports(library_boxes, nullptr, QStringLiteral("Quellmark"));
    Unlha32 missing(&library_reports, "libquellmark-no-such-library.so");
    Harness h(&missing);
    h.Add(QStringList{"/maps/533946.lzh", "/maps/533947.lzh"});
    h.Click("Button2");
    QCOMPARE(library_boxes.shown.size(), std::size_t{1});
    const BoxMessage& panic = library_boxes.shown[0].message;
    QCOMPARE(panic.caption, QStringLiteral("PANIC!!"));
    QCOMPARE(panic.text, QStringLiteral("Unlha: LHA.DLL not loaded."));
    QVERIFY(panic.icon == BoxIcon::kError && panic.owner == nullptr);
    QVERIFY(h.driver_calls.isEmpty());
    QCOMPARE(h.CheckMarks(), Marks({Qt::Unchecked, Qt::Unchecked}));
    QCOMPARE(h.boxes.shown.size(), std::size_t{1});  // the error, no completion
    const BoxMessage& error = h.boxes.shown[0].message;
    QVERIFY(error.icon == BoxIcon::kError);
    for (const QString& part : {QStringLiteral("/maps/533946.lzh: extraction failed"),
                                QStringLiteral("libquellmark-no-such-library.so")}) {
      QVERIFY2(error.text.contains(part), qPrintable(error.text));
    }
    QVERIFY(h.form.isVisible());
    QCOMPARE(h.Status(), QStringLiteral("533946"));
    QVERIFY(h.Run()->isEnabled());
  }

  void openDialogOffersArchivesInEitherCase() {
    QTemporaryDir folder;
    for (const char* name : {"533946.lzh", "533947.LZH", "readme.txt", "533950.lzh.txt"}) {
      QFile file(folder.filePath(QLatin1String(name)));
      QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const auto dialog = BuildOpenDialog(nullptr, {QStringLiteral("lzh files (*.lzh)"), true});
    QCOMPARE(dialog->nameFilters(), QStringList{QStringLiteral("lzh files (*.lzh)")});
    QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
    dialog->setDirectory(folder.path());
    auto* model = dialog->findChild<QFileSystemModel*>();
    QVERIFY(model != nullptr);
    const auto offered = [&] {
      const QModelIndex root = model->index(folder.path());
      QStringList names;
      for (int row = 0; row < model->rowCount(root); ++row) {
        const QModelIndex index = model->index(row, 0, root);
        if (model->flags(index) & Qt::ItemIsEnabled) names << model->fileName(index);
      }
      names.sort();
      return names;
    };
    QTRY_COMPARE(offered(), QStringList({"533946.lzh", "533947.LZH"}));
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
