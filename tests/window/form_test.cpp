// Drives the main window on the offscreen platform: a fake archive library
// and fake export drivers stand in for the conversion, and doubles answer the
// file dialog and the message boxes.

#include <QEvent>
#include <QFont>
#include <QFontInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QtTest>
#include <cstdio>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/unlha32.h"
#include "app/window/dialogs.h"
#include "app/window/main_form.h"
#include "sal/cp932.h"
#include "sal/errors.h"

using namespace quellmark;

namespace {

const QString kDone = QStringLiteral("変換が終了しました");

// Answers each Execute with the next scripted answer (nothing: cancelled).
class ScriptedDialog : public FileOpenDialog {
 public:
  std::optional<QStringList> Execute(QWidget* owner, const OpenDialogRequest& request) override {
    owners.push_back(owner);
    requests.push_back(request);
    if (answers.empty()) return std::nullopt;
    std::optional<QStringList> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<std::optional<QStringList>> answers;
  std::vector<QWidget*> owners;
  std::vector<OpenDialogRequest> requests;
};

// Records each box, and the window's state while it was up.
struct ShownBox {
  BoxMessage message;
  bool run_enabled = false;
  bool form_visible = false;
};

class RecordingBoxes : public MessageBoxes {
 public:
  void Show(const BoxMessage& message) override {
    ShownBox box{message, false, false};
    if (form != nullptr) {
      box.run_enabled = form->findChild<QPushButton*>("Button2")->isEnabled();
      box.form_visible = form->isVisible();
    }
    shown.push_back(box);
  }
  QStringList Texts() const {
    QStringList texts;
    for (const ShownBox& box : shown) texts << box.message.text;
    return texts;
  }
  QWidget* form = nullptr;
  std::vector<ShownBox> shown;
};

// Stands in for the archive library. The calls numbered in `failing_calls`
// (from 1) fail with a report in the output buffer.
class FakeLibrary : public ArchiveLibrary {
 public:
  std::int32_t Unlha(void* window, const char* command_line, char* output,
                     std::uint32_t output_size) const override {
    windows.push_back(window);
    commands.emplace_back(command_line);
    if (on_call) on_call();
    if (failing_calls.count(commands.size()) != 0) {
      std::snprintf(output, output_size, "cannot read the archive\r\n");
      return 1;
    }
    return 0;
  }
  std::set<std::size_t> failing_calls;
  std::function<void()> on_call;
  mutable std::vector<void*> windows;
  mutable std::vector<std::string> commands;
};

struct DriverCall {
  std::string driver;
  std::string sheet_prefix;
  std::string output_prefix;
  bool operator==(const DriverCall&) const = default;
};

class FakeDrivers {
 public:
  ExportDriver Driver(const std::string& name) {
    return [this, name](const std::string& sheet, const std::string& output, ExportContext& ctx) {
      calls.push_back({name, sheet, output});
      if (action) action(sheet, ctx);
    };
  }
  std::function<void(const std::string& sheet_prefix, ExportContext&)> action;
  std::vector<DriverCall> calls;
};

// One window with its fakes, shown.
struct Harness {
  explicit Harness(const ArchiveLibrary* other_library = nullptr)
      : form(FormServices{other_library ? *other_library : library, drivers.Driver("tab"),
                          drivers.Driver("shape"), dialog, boxes}) {
    boxes.form = &form;
    form.show();
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

  void Add(const std::optional<QStringList>& answer) {
    dialog.answers.push_back(answer);
    QTest::mouseClick(Get<QPushButton>("Button1"), Qt::LeftButton);
  }
  void ClickRun() { QTest::mouseClick(Run(), Qt::LeftButton); }

  QStringList Items() {
    QStringList items;
    for (int row = 0; row < List()->count(); ++row) items << List()->item(row)->text();
    return items;
  }
  QList<Qt::CheckState> Marks() {
    QList<Qt::CheckState> marks;
    for (int row = 0; row < List()->count(); ++row) marks << List()->item(row)->checkState();
    return marks;
  }

  FakeLibrary library;
  FakeDrivers drivers;
  ScriptedDialog dialog;
  RecordingBoxes boxes;
  TMainForm form;
};

// Counts the paint events a widget gets.
class PaintCounter : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
  int paints = 0;
};

}  // namespace

class FormTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

  void controlsStandWhereDesigned_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    QTest::newRow("Label1") << "Label1" << QRect(16, 16, 88, 12) << "数値地図２５０００";
    QTest::newRow("Button1") << "Button1" << QRect(320, 8, 75, 25) << "追　加";
    QTest::newRow("Button2") << "Button2" << QRect(448, 88, 75, 25) << "実　行";
    QTest::newRow("Button3") << "Button3" << QRect(208, 8, 81, 25) << "リストクリア";
    QTest::newRow("RadioButton1") << "RadioButton1" << QRect(440, 8, 97, 17) << "ArcInfo shape";
    QTest::newRow("RadioButton2") << "RadioButton2" << QRect(440, 40, 97, 17) << "MapInfo TAB";
    QTest::newRow("eInList") << "eInList" << QRect(8, 40, 409, 361) << QString();
    QTest::newRow("StatusBar1") << "StatusBar1" << QRect(0, 410, 548, 19) << QString();
  }

  void controlsStandWhereDesigned() {
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    Harness h;
    auto* control = h.form.findChild<QWidget*>(name);
    QVERIFY(control != nullptr);
    const QPoint origin = control->mapTo(&h.form, QPoint(0, 0));
    QCOMPARE(QRect(origin, control->size()), geometry);
    QCOMPARE(control->property("text").toString(), caption);
    // The design's font, drawn with the Japanese Gothic that stands in for it.
    const QFontInfo font(control->font());
    QCOMPARE(font.family(), TMainForm::kSubstituteFontFamily);
    QCOMPARE(font.pixelSize(), TMainForm::kFontPixelSize);
  }

  void formStartsAsDesigned() {
    Harness h;
    QCOMPARE(h.form.windowTitle(), QStringLiteral("Quellmark"));
    QCOMPARE(h.form.pos(), QPoint(197, 119));
    QCOMPARE(h.form.size(), QSize(548, 429));
    QVERIFY(h.Get<QRadioButton>("RadioButton2")->isChecked());
    QVERIFY(!h.Get<QRadioButton>("RadioButton1")->isChecked());
    QVERIFY(h.Run()->isEnabled());
    QCOMPARE(h.List()->count(), 0);
    QCOMPARE(h.Status(), QString());

    // Tab order, from Add; the label takes no focus.
    QStringList order;
    QWidget* widget = h.Get<QWidget>("Button1");
    do {
      if ((widget->focusPolicy() & Qt::TabFocus) && !widget->objectName().isEmpty() &&
          widget->isVisible()) {
        order << widget->objectName();
      }
      widget = widget->nextInFocusChain();
    } while (widget != h.Get<QWidget>("Button1"));
    QCOMPARE(order, QStringList({"Button1", "Button2", "Button3", "RadioButton1", "RadioButton2",
                                 "eInList"}));
    QCOMPARE(h.Get<QLabel>("Label1")->focusPolicy(), Qt::NoFocus);

    // The two formats exclude each other.
    QTest::mouseClick(h.Get<QRadioButton>("RadioButton1"), Qt::LeftButton);
    QVERIFY(h.Get<QRadioButton>("RadioButton1")->isChecked());
    QVERIFY(!h.Get<QRadioButton>("RadioButton2")->isChecked());
  }

  void addAppendsTheChosenFiles() {
    Harness h;
    h.Add(QStringList{"/maps/b/533947.lzh", "/maps/a/533946.LZH"});
    QCOMPARE(h.dialog.requests.size(), std::size_t{1});
    QCOMPARE(h.dialog.requests[0].filter, QStringLiteral("lzh files (*.lzh)"));
    QVERIFY(h.dialog.requests[0].multi_select);
    QCOMPARE(h.dialog.owners[0], &h.form);
    QCOMPARE(h.Items(), QStringList({"/maps/b/533947.lzh", "/maps/a/533946.LZH"}));
    QCOMPARE(h.Marks(), QList<Qt::CheckState>({Qt::Unchecked, Qt::Unchecked}));
    QVERIFY(h.List()->item(0)->flags() & Qt::ItemIsUserCheckable);
    QCOMPARE(h.List()->visualItemRect(h.List()->item(1)).height(), 12);

    // Appended at the end, in the dialog's order; a file already listed is
    // listed again.
    h.List()->item(0)->setCheckState(Qt::Checked);
    h.Add(QStringList{"/maps/c/533950.lzh", "/maps/b/533947.lzh"});
    QCOMPARE(h.Items(), QStringList({"/maps/b/533947.lzh", "/maps/a/533946.LZH",
                                     "/maps/c/533950.lzh", "/maps/b/533947.lzh"}));
    QCOMPARE(h.Marks(),
             QList<Qt::CheckState>({Qt::Checked, Qt::Unchecked, Qt::Unchecked, Qt::Unchecked}));

    // Cancelled: nothing changes.
    h.Add(std::nullopt);
    QCOMPARE(h.dialog.requests.size(), std::size_t{3});
    QCOMPARE(h.Items().size(), 4);
    QCOMPARE(h.Marks()[0], Qt::Checked);
  }

  void clearListEmptiesTheList() {
    Harness h;
    h.Add(QStringList{"/maps/533946.lzh", "/maps/533947.lzh"});
    h.List()->item(1)->setCheckState(Qt::Checked);
    QTest::mouseClick(h.Get<QRadioButton>("RadioButton1"), Qt::LeftButton);
    QTest::mouseClick(h.Get<QPushButton>("Button3"), Qt::LeftButton);
    QCOMPARE(h.List()->count(), 0);
    QVERIFY(h.Get<QRadioButton>("RadioButton1")->isChecked());
    h.Add(QStringList{"/maps/533950.lzh"});
    QCOMPARE(h.Items(), QStringList({"/maps/533950.lzh"}));
  }

  void runOnAnEmptyListFinishesAndCloses() {
    Harness h;
    h.ClickRun();
    QVERIFY(h.library.commands.empty());
    QVERIFY(h.drivers.calls.empty());
    QCOMPARE(h.boxes.shown.size(), std::size_t{1});
    const ShownBox& done = h.boxes.shown[0];
    QCOMPARE(done.message.text, kDone);
    QCOMPARE(done.message.caption, QStringLiteral("Quellmark"));
    QCOMPARE(done.message.owner, &h.form);
    QVERIFY(done.message.icon == BoxIcon::kNone);
    QVERIFY(done.run_enabled);
    QVERIFY(done.form_visible);
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
      h.library.failing_calls = {2};
    } else {
      h.drivers.action = [](const std::string& sheet, ExportContext&) {
        if (sheet == "/maps/b/533947/533947") {
          throw InputError(sheet + ".slm", 3, "non " + EncodeCp932("表"));
        }
      };
    }
    h.Add(QStringList{"/maps/a/533946.lzh", "/maps/b/533947.lzh", "/maps/c/533950.lzh"});
    h.ClickRun();

    QCOMPARE(h.library.commands.size(), std::size_t{2});
    QCOMPARE(h.drivers.calls.size(), std::size_t(driver_calls));
    QCOMPARE(h.Marks(), QList<Qt::CheckState>({Qt::Checked, Qt::Unchecked, Qt::Unchecked}));
    QCOMPARE(h.boxes.shown.size(), std::size_t{1});
    const BoxMessage& error = h.boxes.shown[0].message;
    QVERIFY(error.icon == BoxIcon::kError);
    QCOMPARE(error.caption, QStringLiteral("Quellmark"));
    QCOMPARE(error.owner, &h.form);
    for (const QString& part : message_parts) {
      QVERIFY2(error.text.contains(part), qPrintable(error.text));
    }
    QVERIFY(h.form.isVisible());
    QCOMPARE(h.Status(), QStringLiteral("533947"));
    QVERIFY(h.Run()->isEnabled());
    QCOMPARE(h.Items().size(), 3);

    // Once the cause is gone, Run goes through the whole list from the top.
    h.library.failing_calls.clear();
    h.drivers.action = nullptr;
    h.ClickRun();
    QCOMPARE(h.library.commands.size(), std::size_t{5});
    QCOMPARE(h.library.commands[2], std::string(" e -x1 /maps/a/533946 *.* -p2 -y1"));
    QCOMPARE(h.Marks(), QList<Qt::CheckState>({Qt::Checked, Qt::Checked, Qt::Checked}));
    QCOMPARE(h.boxes.Texts().last(), kDone);
    QVERIFY(!h.form.isVisible());
  }

  void runConvertsEveryItemAgain() {
    Harness h;
    h.Add(QStringList{"/maps/533946.lzh", "/maps/533946.lzh", "/maps/533947.lzh"});
    h.List()->item(0)->setCheckState(Qt::Checked);
    h.List()->item(2)->setCheckState(Qt::Checked);
    QTest::mouseClick(h.Get<QRadioButton>("RadioButton1"), Qt::LeftButton);
    void* const window = reinterpret_cast<void*>(h.form.winId());
    h.ClickRun();

    const std::string twice = " e -x1 /maps/533946 *.* -p2 -y1";
    QCOMPARE(h.library.commands,
             std::vector<std::string>({twice, twice, " e -x1 /maps/533947 *.* -p2 -y1"}));
    QCOMPARE(h.library.windows, std::vector<void*>(3, window));
    const DriverCall sheet{"shape", "/maps/533946/533946", "/maps/533946"};
    QCOMPARE(h.drivers.calls,
             std::vector<DriverCall>(
                 {sheet, sheet, DriverCall{"shape", "/maps/533947/533947", "/maps/533947"}}));
    QCOMPARE(h.Marks(), QList<Qt::CheckState>({Qt::Checked, Qt::Checked, Qt::Checked}));
    QCOMPARE(h.boxes.Texts(), QStringList{kDone});
  }

  void runShowsEachArchiveBeforeExtractingIt() {
    Harness h;
    QVERIFY(QTest::qWaitForWindowExposed(&h.form));
    auto* status_bar = h.Get<QStatusBar>("StatusBar1");
    PaintCounter counter;
    status_bar->installEventFilter(&counter);
    QStringList shown;
    QList<int> paints;
    h.library.on_call = [&] {
      shown << status_bar->currentMessage();
      paints << counter.paints;
    };
    h.Add(QStringList{"/地図/図郭一.lzh", "/地図/図郭二.lzh"});
    const int before = counter.paints;
    h.ClickRun();
    QCOMPARE(shown, QStringList({"図郭一", "図郭二"}));
    QCOMPARE(paints.size(), 2);
    QVERIFY(paints[0] > before);
    QVERIFY(paints[1] > paints[0]);
  }

  void dataProblemsComeOneByOneDecoded() {
    Harness h;
    h.drivers.action = [](const std::string& sheet, ExportContext& context) {
      Reporter reporter(context.notifier);
      reporter.SetFile(sheet + "SK.sal");
      reporter.SetLine(12);
      reporter.Report("over scoordnum");
      reporter.SetLine(40);
      reporter.Report("non " + EncodeCp932("ＡＢ表"));
    };
    h.Add(QStringList{"/maps/533946.lzh"});
    h.ClickRun();
    QCOMPARE(h.boxes.Texts(), QStringList({"over scoordnum", "non ＡＢ表", kDone}));
    const BoxMessage& problem = h.boxes.shown[1].message;
    QCOMPARE(problem.detail, QStringLiteral("/maps/533946/533946SK.sal:40"));
    QCOMPARE(problem.owner, &h.form);
    QCOMPARE(problem.caption, QStringLiteral("Quellmark"));
    QVERIFY(problem.icon == BoxIcon::kWarning);
    QVERIFY(!h.boxes.shown[1].run_enabled);
  }

  void missingLibraryReportsAndConvertsWhatIsThere() {
    // As the program binds it: the library's reports in boxes owned by no
    // window.
    RecordingBoxes library_boxes;
    NoticeBoxes library_reports(library_boxes, nullptr, QStringLiteral("Quellmark"));
    Unlha32 missing(&library_reports, "libquellmark-no-such-library.so");
    Harness h(&missing);
    h.Add(QStringList{"/maps/533946.lzh"});
    h.ClickRun();
    QCOMPARE(library_boxes.shown.size(), std::size_t{1});
    const BoxMessage& panic = library_boxes.shown[0].message;
    QCOMPARE(panic.caption, QStringLiteral("PANIC!!"));
    QCOMPARE(panic.text, QStringLiteral("Unlha: LHA.DLL not loaded."));
    QVERIFY(panic.icon == BoxIcon::kError);
    QCOMPARE(panic.owner, nullptr);
    QCOMPARE(h.drivers.calls.size(), std::size_t{1});
    QCOMPARE(h.Marks(), QList<Qt::CheckState>({Qt::Checked}));
    QCOMPARE(h.boxes.Texts(), QStringList{kDone});
  }
};

QTEST_MAIN(FormTest)
#include "form_test.moc"
