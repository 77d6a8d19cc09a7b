#include "app/window/main_form.h"

#include <QAction>
#include <QButtonGroup>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QSettings>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "app/version.h"
#include "app/window/arguments.h"
#include "app/window/display_text.h"
#include "convert/plane_zones.h"

namespace quellmark {

const QString TMainForm::kDesignFontFamily = QStringLiteral("ＭＳ Ｐゴシック");
const QString TMainForm::kSubstituteFontFamily = QStringLiteral("IPAPGothic");
const QString TMainForm::kLayersSetting = QStringLiteral("layers");
const QString TMainForm::kPlaneZoneSetting = QStringLiteral("planeZone");

namespace {

const QString kCaption = QStringLiteral("Quellmark");
const QString kArchiveFilter = QStringLiteral("lzh files (*.lzh)");
const QString kDoneMessage = QStringLiteral("変換が終了しました");
const QString kAboutEntry = QStringLiteral("Quellmark について(&A)");
const QString kAddFolderEntry = QStringLiteral("フォルダを追加(&F)…");
const QString kLayersEntry = QStringLiteral("出力するレイヤ(&L)…");
const QString kCrsEntry = QStringLiteral("座標系(&C)…");
const QString kLayersStatus = QStringLiteral("出力レイヤ: %1");
const QString kCrsStatus = QStringLiteral("座標系: 平面直角%1系 (EPSG:%2)");
const QString kStatusSeparator = QStringLiteral(" / ");

// The window is laid out in pixels of a 96 dpi screen. The window's outer
// size there is 556 x 463; its client area, which Qt sizes, is what the
// status bar spans: 548 x 429.
constexpr QPoint kFormPosition(197, 119);
constexpr QSize kClientSize(548, 429);
constexpr int kStatusBarHeight = 19;
// The list's item height, which is the font's character height and cuts
// the descenders of "p", "q" and "g"; rows get at least the font's whole
// line, and a pixel above and below it.
constexpr int kItemHeight = 12;
// Between the format choices under Run, and between Run and the first.
constexpr int kMoreFormatsSpacing = 8;
int RowHeight(const QFont& font) { return std::max(kItemHeight, QFontMetrics(font).height() + 2); }

// The local files a drag carries.
QStringList DraggedFiles(const QMimeData* data) {
  QStringList files;
  if (data == nullptr || !data->hasUrls()) return files;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) files << url.toLocalFile();
  }
  return files;
}

// Rows of the archive list, all of one height.
class FixedHeightDelegate : public QStyledItemDelegate {
 public:
  FixedHeightDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return QSize(QStyledItemDelegate::sizeHint(option, index).width(), height_);
  }

 private:
  int height_;
};

// Check boxes small enough for those rows; the style's own would be cut off.
class RowCheckBoxStyle : public QProxyStyle {
 public:
  explicit RowCheckBoxStyle(int row_height) : indicator_(row_height - 2) {}
  int pixelMetric(PixelMetric metric, const QStyleOption* option,
                  const QWidget* widget) const override {
    if (metric == PM_IndicatorWidth || metric == PM_IndicatorHeight) return indicator_;
    return QProxyStyle::pixelMetric(metric, option, widget);
  }

 private:
  int indicator_;
};

// The layers the settings keep; every layer when they keep none, or
// anything that is not a list of codes. A list written by hand without
// quotes reads as several values: they are taken as its codes.
LayerSelection ReadLayers(const QSettings& settings) {
  const QVariant value = settings.value(TMainForm::kLayersSetting);
  const QString codes = value.typeId() == QMetaType::QStringList
                            ? value.toStringList().join(QLatin1Char(','))
                            : value.toString();
  if (codes.isEmpty()) return LayerSelection();
  try {
    return LayerSelection::Parse(codes.toStdString());
  } catch (const std::invalid_argument&) {
    return LayerSelection();
  }
}

// The plane rectangular zone the settings keep; longitude and latitude (0)
// when they keep none, or anything but a zone's number.
int ReadPlaneZone(const QSettings& settings) {
  bool number = false;
  const int zone = settings.value(TMainForm::kPlaneZoneSetting).toString().toInt(&number);
  return number && zone >= 1 && zone <= kPlaneZoneCount ? zone : 0;
}

template <typename Widget>
Widget* Place(Widget* widget, const char* name, const QRect& geometry) {
  widget->setObjectName(QLatin1String(name));
  widget->setGeometry(geometry);
  return widget;
}

}  // namespace

// Shows the batch's progress: the archive's base name in the status bar,
// painted at once since the batch does not return to the event loop, and the
// archive's check mark once it is converted.
class TMainForm::BatchProgress : public BatchObserver {
 public:
  BatchProgress(QStatusBar* status_bar, QListWidget* list) : status_bar_(status_bar), list_(list) {}

  void ArchiveStarted(std::size_t, const ArchiveNames& names) override {
    status_bar_->showMessage(FromPathBytes(names.base_name));
    status_bar_->repaint();
  }
  void ArchiveDone(std::size_t index) override {
    if (QListWidgetItem* item = list_->item(static_cast<int>(index))) {
      item->setCheckState(Qt::Checked);
    }
  }

 private:
  QStatusBar* status_bar_;
  QListWidget* list_;
};

TMainForm::TMainForm(FormServices services, QWidget* parent)
    : QMainWindow(parent),
      OpenDialog1(services.open_dialog),
      services_(std::move(services)),
      layers_(ReadLayers(services_.settings)),
      plane_zone_(ReadPlaneZone(services_.settings)) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(kCaption);
  setBackgroundRole(QPalette::Button);

  // The window's font (MS P Gothic) is a Windows font; a Japanese
  // proportional Gothic stands in for it under its name.
  QFont::insertSubstitution(kDesignFontFamily, kSubstituteFontFamily);
  QFont font(kDesignFontFamily);
  font.setPixelSize(kFontPixelSize);
  font.setStyleHint(QFont::SansSerif);
  setFont(font);

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("Client"));
  setCentralWidget(client);

  Label1 = Place(new QLabel(QStringLiteral("数値地図２５０００"), client), "Label1",
                 QRect(16, 16, 88, 12));
  Button1 =
      Place(new QPushButton(QStringLiteral("追　加"), client), "Button1", QRect(320, 8, 75, 25));
  Button2 =
      Place(new QPushButton(QStringLiteral("実　行"), client), "Button2", QRect(448, 88, 75, 25));
  Button3 = Place(new QPushButton(QStringLiteral("リストクリア"), client), "Button3",
                  QRect(208, 8, 81, 25));
  // The format choices: the first two one under the other, 32 pixels
  // apart, above Run; any further ones stacked under Run by a layout, each
  // as high as its font needs, so none overlaps another control whatever
  // the number of formats and the font.
  MoreFormats = new QWidget(client);
  MoreFormats->setObjectName(QStringLiteral("MoreFormats"));
  // One choice among all, whichever widget holds it.
  auto* choices = new QButtonGroup(this);
  auto* more_layout = new QVBoxLayout(MoreFormats);
  more_layout->setContentsMargins(0, 0, 0, 0);
  more_layout->setSpacing(kMoreFormatsSpacing);
  for (std::size_t i = 0; i < services_.formats.size(); ++i) {
    const OutputFormat* format = services_.formats[i];
    const QString name = QStringLiteral("RadioButton%1").arg(i + 1);
    const QString caption = QString::fromUtf8(format->label().data(), format->label().size());
    QRadioButton* button = nullptr;
    if (i < 2) {
      button = Place(new QRadioButton(caption, client), name.toLatin1().constData(),
                     QRect(440, 8 + 32 * int(i), 97, 17));
    } else {
      button = new QRadioButton(caption, MoreFormats);
      button->setObjectName(name);
      more_layout->addWidget(button);
    }
    choices->addButton(button);
    button->setChecked(format == services_.default_format);
    format_buttons_.push_back(button);
  }
  MoreFormats->setVisible(services_.formats.size() > 2);
  FitMoreFormats();
  eInList = Place(new QListWidget(client), "eInList", QRect(8, 40, 409, 361));
  eInList->setSortingEnabled(false);
  eInList->setUniformItemSizes(true);
  const int row_height = RowHeight(eInList->font());
  eInList->setItemDelegate(new FixedHeightDelegate(row_height, eInList));
  auto* list_style = new RowCheckBoxStyle(row_height);
  list_style->setParent(eInList);
  eInList->setStyle(list_style);
  // Archives dropped from a file manager land on the list's viewport.
  eInList->viewport()->setAcceptDrops(true);
  eInList->viewport()->installEventFilter(this);

  StatusBar1 = statusBar();
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setFixedHeight(kStatusBarHeight);

  setTabOrder(Button1, Button2);
  setTabOrder(Button2, Button3);
  QWidget* previous = Button3;
  for (QRadioButton* button : format_buttons_) {
    setTabOrder(previous, button);
    previous = button;
  }
  setTabOrder(previous, eInList);

  connect(Button1, &QPushButton::clicked, this, &TMainForm::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TMainForm::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TMainForm::Button3Click);

  // A folder's archives, the layers written, the coordinate system and the
  // version, without a menu bar that would move the window's controls.
  AddFolderAction = new QAction(kAddFolderEntry, this);
  AddFolderAction->setObjectName(QStringLiteral("AddFolderAction"));
  addAction(AddFolderAction);
  connect(AddFolderAction, &QAction::triggered, this, &TMainForm::AddFolderClick);
  LayersAction = new QAction(kLayersEntry, this);
  LayersAction->setObjectName(QStringLiteral("LayersAction"));
  addAction(LayersAction);
  connect(LayersAction, &QAction::triggered, this, &TMainForm::LayersClick);
  CrsAction = new QAction(kCrsEntry, this);
  CrsAction->setObjectName(QStringLiteral("CrsAction"));
  addAction(CrsAction);
  connect(CrsAction, &QAction::triggered, this, &TMainForm::CrsClick);
  AboutAction = new QAction(kAboutEntry, this);
  AboutAction->setObjectName(QStringLiteral("AboutAction"));
  AboutAction->setShortcut(QKeySequence::HelpContents);
  AboutAction->setShortcutContext(Qt::WindowShortcut);
  addAction(AboutAction);
  setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(AboutAction, &QAction::triggered, this, &TMainForm::AboutClick);

  notices_ = std::make_unique<NoticeBoxes>(services_.message_boxes, this, kCaption);
  progress_ = std::make_unique<BatchProgress>(StatusBar1, eInList);
  ShowChoices();

  resize(kClientSize);
  move(kFormPosition);
}

TMainForm::~TMainForm() = default;

// Under Run, from the choices' left edge to the window's right edge, as high
// as its choices need.
void TMainForm::FitMoreFormats() {
  const QRect run = Button2->geometry();
  const int top = run.bottom() + 1 + kMoreFormatsSpacing;
  const int left = 440;
  MoreFormats->setGeometry(left, top, kClientSize.width() - left,
                           MoreFormats->layout()->sizeHint().height());
}

void TMainForm::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange && MoreFormats != nullptr) FitMoreFormats();
  QMainWindow::changeEvent(event);
}

void TMainForm::Button1Click() {
  OpenDialogRequest request;
  request.multi_select = true;
  request.filter = kArchiveFilter;
  std::optional<QStringList> files = OpenDialog1.Execute(this, request);
  if (!files) return;
  AddArchives(*files);
}

void TMainForm::AddFolderClick() {
  OpenDialogRequest request;
  request.folder = true;
  std::optional<QStringList> folders = OpenDialog1.Execute(this, request);
  if (folders) OpenPaths(*folders);
}

void TMainForm::LayersClick() {
  std::optional<LayerSelection> chosen = services_.layer_dialog.Execute(this, layers_);
  if (!chosen || chosen->empty()) return;
  layers_ = *chosen;
  services_.settings.setValue(kLayersSetting, QString::fromStdString(layers_.ToString()));
  services_.settings.sync();
  ShowChoices();
}

void TMainForm::CrsClick() {
  std::optional<int> chosen = services_.crs_dialog.Execute(this, plane_zone_);
  if (!chosen || *chosen < 0 || *chosen > kPlaneZoneCount) return;
  plane_zone_ = *chosen;
  services_.settings.setValue(kPlaneZoneSetting, plane_zone_);
  services_.settings.sync();
  ShowChoices();
}

DatumRule TMainForm::Datum() const {
  DatumRule datum;
  if (plane_zone_ != 0) datum.projected_epsg = PlaneZoneEpsg(plane_zone_, datum.Declared());
  return datum;
}

void TMainForm::ShowChoices() {
  QStringList choices;
  if (!layers_.all()) choices << kLayersStatus.arg(QString::fromStdString(layers_.ToString()));
  if (plane_zone_ != 0) {
    const std::string_view numeral = kPlaneZones[plane_zone_ - 1].numeral;
    choices << kCrsStatus.arg(QLatin1String(numeral.data(), static_cast<qsizetype>(numeral.size())))
                   .arg(Datum().projected_epsg);
  }
  if (choices.isEmpty()) {
    StatusBar1->clearMessage();
  } else {
    StatusBar1->showMessage(choices.join(kStatusSeparator));
  }
}

void TMainForm::OpenPaths(const QStringList& paths) {
  QStringList archives;
  for (const QString& path : paths) archives << ArchivesAt(path);
  AddArchives(archives);
}

void TMainForm::AddArchives(const QStringList& archives) {
  QSet<QString> listed;
  for (int row = 0; row < eInList->count(); ++row) {
    listed.insert(ArchiveIdentity(eInList->item(row)->text()));
  }
  for (const QString& archive : archives) {
    const QString path = AbsoluteArchivePath(archive);
    const QString identity = ArchiveIdentity(path);
    if (listed.contains(identity)) continue;
    listed.insert(identity);
    auto* item = new QListWidgetItem(path);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
    eInList->addItem(item);
  }
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched != eInList->viewport()) return QMainWindow::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      // Taken only when it carries an archive; always as a copy, so that a
      // file manager never removes what it dragged.
      auto* drag = static_cast<QDropEvent*>(event);
      bool archives = false;
      for (const QString& file : DraggedFiles(drag->mimeData())) {
        archives = archives || !ArchivesAt(file).isEmpty();
      }
      if (archives) {
        drag->setDropAction(Qt::CopyAction);
        drag->accept();
      } else {
        drag->ignore();
      }
      return true;
    }
    case QEvent::Drop: {
      auto* drop = static_cast<QDropEvent*>(event);
      OpenPaths(DraggedFiles(drop->mimeData()));
      drop->setDropAction(Qt::CopyAction);
      drop->accept();
      return true;
    }
    default:
      return QMainWindow::eventFilter(watched, event);
  }
}

void TMainForm::AboutClick() {
  BoxMessage about;
  about.owner = this;
  about.caption = kCaption;
  about.text = QStringLiteral("Quellmark ") + QLatin1String(kVersion);
  about.detail = QStringLiteral("数値地図２５０００（空間データ基盤）を") +
                 QString::fromStdString(FormatNamesJa(services_.formats)) +
                 QStringLiteral("に変換します");
  services_.message_boxes.Show(about);
}

void TMainForm::Button2Click() {
  Button2->setEnabled(false);

  BatchOptions options;
  for (std::size_t i = 0; i < format_buttons_.size(); ++i) {
    if (format_buttons_[i]->isChecked()) options.format = services_.formats[i];
  }
  options.layers = layers_;
  options.datum = Datum();
  options.jobs = 1;  // the progress goes straight to the widgets, on this thread
  const int count = eInList->count();
  for (int row = 0; row < count; ++row) {
    options.archives.push_back(ToPathBytes(eInList->item(row)->text()));
  }
  const BatchServices batch{services_.archive_library, notices_.get(), progress_.get(),
                            reinterpret_cast<void*>(winId()), services_.convert_sheet};
  // Each run asks anew whether its data problems are to be gathered; those
  // gathered come in one list once it ends, however it ends.
  notices_->StartRun();
  try {
    RunBatch(options, batch);
  } catch (const std::exception& error) {
    notices_->EndRun();
    // The batch ended early: the list and its marks stay as they are, the
    // status bar names the archive it stopped at, and Run can be tried again.
    Button2->setEnabled(true);
    BoxMessage message;
    message.owner = this;
    message.caption = kCaption;
    message.text = FromMessageBytes(error.what());
    message.icon = BoxIcon::kError;
    services_.message_boxes.Show(message);
    return;
  }
  notices_->EndRun();

  Button2->setEnabled(true);
  BoxMessage done;
  done.owner = this;
  done.caption = kCaption;
  done.text = kDoneMessage;
  services_.message_boxes.Show(done);
  close();
}

void TMainForm::Button3Click() { eInList->clear(); }

}  // namespace quellmark
