#include "app/window/dialogs.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTranslator>
#include <QVBoxLayout>
#include <algorithm>
#include <span>

#include "app/window/display_text.h"
#include "convert/plane_zones.h"
#include "layers/map_styles.h"

namespace quellmark {

const QString NoticeBoxes::kGatherLabel =
    QStringLiteral("この実行では以降の警告をまとめて表示する");

namespace {

const QString kRunWarningsText = QStringLiteral("この実行の以降の警告（%1 件）");
const QString kCopyButton = QStringLiteral("コピー");
const QString kCloseButton = QStringLiteral("閉じる");
const QStringList kWarningColumns{QStringLiteral("アーカイブ"), QStringLiteral("レイヤ"),
                                  QStringLiteral("行"), QStringLiteral("内容")};
const QString kLayerText = QStringLiteral(
    "表を書き出すレイヤを選んでください。選ばないレイヤの表は、前の変換のものがそのまま残ります。");
const QString kCrsText = QStringLiteral("表の座標を書き出す座標系を選んでください。");
const QString kZoneItem = QStringLiteral("%1系 %2");
// The zones' combo box stands this far right of the choices' left edge,
// under its choice's caption.
constexpr int kZoneIndent = 20;
// The layers' check boxes stand in this many columns, filled top to bottom.
constexpr int kLayerColumns = 3;
// The list's first size, in the font's average characters and lines.
constexpr int kListWidthChars = 110;
constexpr int kListHeightLines = 24;

// The rows' cells, a line each, the columns separated by tabs; a tab or line
// break inside a cell becomes a space, so that every row stays one line.
QString RowsText(const QTableWidget& table, const QList<int>& rows) {
  QString text;
  for (int row : rows) {
    QStringList cells;
    for (int column = 0; column < table.columnCount(); ++column) {
      const QTableWidgetItem* item = table.item(row, column);
      QString cell = item != nullptr ? item->text() : QString();
      for (QChar& c : cell) {
        if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r')) {
          c = QLatin1Char(' ');
        }
      }
      cells << cell;
    }
    text += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
  }
  return text;
}

// The selected rows, in table order.
QList<int> SelectedRows(const QTableWidget& table) {
  QList<int> rows;
  for (const QModelIndex& index : table.selectionModel()->selectedRows()) rows << index.row();
  std::sort(rows.begin(), rows.end());
  return rows;
}

// A table whose Ctrl+C copies the selected rows whole, not the current cell.
class WarningTable : public QTableWidget {
 public:
  using QTableWidget::QTableWidget;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->matches(QKeySequence::Copy)) {
      const QList<int> rows = SelectedRows(*this);
      if (!rows.isEmpty()) QGuiApplication::clipboard()->setText(RowsText(*this, rows));
      event->accept();
      return;
    }
    QTableWidget::keyPressEvent(event);
  }
};

}  // namespace

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
  if (!message.check_box.isEmpty()) box->setCheckBox(new QCheckBox(message.check_box));
  return box;
}

bool QtMessageBoxes::Show(const BoxMessage& message) {
  std::unique_ptr<QMessageBox> box = BuildMessageBox(message);
  box->exec();
  return box->checkBox() != nullptr && box->checkBox()->isChecked();
}

std::unique_ptr<QDialog> BuildWarningList(const WarningList& list) {
  auto dialog = std::make_unique<QDialog>(list.owner);
  dialog->setObjectName(QStringLiteral("WarningList"));
  dialog->setWindowTitle(list.caption);
  auto* layout = new QVBoxLayout(dialog.get());

  auto* label = new QLabel(list.text);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  layout->addWidget(label);

  auto* table = new WarningTable(static_cast<int>(list.rows.size()),
                                 static_cast<int>(kWarningColumns.size()));
  table->setObjectName(QStringLiteral("Warnings"));
  table->setHorizontalHeaderLabels(kWarningColumns);
  table->verticalHeader()->hide();
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setSelectionMode(QAbstractItemView::ExtendedSelection);
  table->setWordWrap(false);
  for (std::size_t i = 0; i < list.rows.size(); ++i) {
    const WarningRow& warning = list.rows[i];
    const QString line = warning.line > 0 ? QString::number(warning.line) : QString();
    const QString cells[] = {warning.archive, warning.layer, line, warning.text};
    for (int column = 0; column < 4; ++column) {
      auto* item = new QTableWidgetItem(cells[column]);
      item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
      if (column == 2) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      table->setItem(static_cast<int>(i), column, item);
    }
  }
  table->resizeColumnsToContents();
  table->horizontalHeader()->setStretchLastSection(true);
  layout->addWidget(table);

  auto* buttons = new QDialogButtonBox;
  QPushButton* copy = buttons->addButton(kCopyButton, QDialogButtonBox::ActionRole);
  copy->setObjectName(QStringLiteral("CopyButton"));
  QPushButton* close = buttons->addButton(QDialogButtonBox::Close);
  close->setText(kCloseButton);
  close->setDefault(true);
  layout->addWidget(buttons);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog.get(), &QDialog::reject);
  QObject::connect(copy, &QPushButton::clicked, table, [table] {
    QList<int> rows = SelectedRows(*table);
    if (rows.isEmpty()) {
      for (int row = 0; row < table->rowCount(); ++row) rows << row;
    }
    QGuiApplication::clipboard()->setText(RowsText(*table, rows));
  });

  const QFontMetrics metrics(dialog->font());
  dialog->resize(metrics.averageCharWidth() * kListWidthChars,
                 metrics.lineSpacing() * kListHeightLines);
  return dialog;
}

const QString LayerChoiceDialog::kCaption = QStringLiteral("出力するレイヤ");
const QString LayerChoiceDialog::kSelectAll = QStringLiteral("すべて選択");
const QString LayerChoiceDialog::kSelectNone = QStringLiteral("すべて解除");
const QString LayerChoiceDialog::kNoLayerNote = QStringLiteral("レイヤを一つ以上選んでください。");

LayerChoiceDialog::LayerChoiceDialog(QWidget* owner, const LayerSelection& current)
    : QDialog(owner) {
  setObjectName(QStringLiteral("LayerChoice"));
  setWindowTitle(kCaption);
  auto* layout = new QVBoxLayout(this);

  auto* text = new QLabel(kLayerText);
  text->setWordWrap(true);
  layout->addWidget(text);

  auto* grid = new QGridLayout;
  const std::span<const LayerSpec> layers = Layers();
  const int rows = (static_cast<int>(layers.size()) + kLayerColumns - 1) / kLayerColumns;
  for (const LayerSpec& layer : layers) {
    const std::string_view title = MapStyleOf(layer).title;
    const QString code =
        QString::fromLatin1(layer.code.data(), static_cast<int>(layer.code.size()));
    auto* box = new QCheckBox(code + QLatin1Char(' ') +
                              QString::fromUtf8(title.data(), static_cast<int>(title.size())));
    box->setObjectName(QStringLiteral("Layer") + code);
    box->setChecked(current.Has(layer));
    const int index = static_cast<int>(boxes_.size());
    grid->addWidget(box, index % rows, index / rows);
    connect(box, &QCheckBox::toggled, this, &LayerChoiceDialog::Update);
    boxes_.push_back(box);
  }
  layout->addLayout(grid);

  auto* ticks = new QHBoxLayout;
  auto* all = new QPushButton(kSelectAll);
  all->setObjectName(QStringLiteral("SelectAllButton"));
  all->setAutoDefault(false);
  auto* none = new QPushButton(kSelectNone);
  none->setObjectName(QStringLiteral("SelectNoneButton"));
  none->setAutoDefault(false);
  ticks->addWidget(all);
  ticks->addWidget(none);
  ticks->addStretch();
  layout->addLayout(ticks);
  connect(all, &QPushButton::clicked, this, [this] { TickAll(true); });
  connect(none, &QPushButton::clicked, this, [this] { TickAll(false); });

  no_layer_note_ = new QLabel(kNoLayerNote);
  no_layer_note_->setObjectName(QStringLiteral("NoLayerNote"));
  layout->addWidget(no_layer_note_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  ok_->setDefault(true);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &LayerChoiceDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &LayerChoiceDialog::reject);

  Update();
}

LayerSelection LayerChoiceDialog::selection() const {
  LayerSelection chosen = LayerSelection::None();
  const std::span<const LayerSpec> layers = Layers();
  for (std::size_t i = 0; i < layers.size(); ++i) chosen.Set(layers[i], boxes_[i]->isChecked());
  return chosen;
}

void LayerChoiceDialog::accept() {
  if (selection().empty()) return;
  QDialog::accept();
}

void LayerChoiceDialog::TickAll(bool ticked) {
  for (QCheckBox* box : boxes_) box->setChecked(ticked);
}

void LayerChoiceDialog::Update() {
  const bool none = selection().empty();
  ok_->setEnabled(!none);
  no_layer_note_->setVisible(none);
}

std::optional<LayerSelection> QtLayerDialog::Execute(QWidget* owner,
                                                     const LayerSelection& current) {
  LayerChoiceDialog dialog(owner, current);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.selection();
}

const QString CrsChoiceDialog::kCaption = QStringLiteral("座標系");
const QString CrsChoiceDialog::kLonLat = QStringLiteral("経緯度（変換しない）");
const QString CrsChoiceDialog::kPlane = QStringLiteral("平面直角座標系");

CrsChoiceDialog::CrsChoiceDialog(QWidget* owner, int current_zone) : QDialog(owner) {
  setObjectName(QStringLiteral("CrsChoice"));
  setWindowTitle(kCaption);
  auto* layout = new QVBoxLayout(this);

  auto* text = new QLabel(kCrsText);
  text->setWordWrap(true);
  layout->addWidget(text);

  lon_lat_ = new QRadioButton(kLonLat);
  lon_lat_->setObjectName(QStringLiteral("LonLatChoice"));
  layout->addWidget(lon_lat_);
  plane_ = new QRadioButton(kPlane);
  plane_->setObjectName(QStringLiteral("PlaneChoice"));
  layout->addWidget(plane_);

  zones_ = new QComboBox;
  zones_->setObjectName(QStringLiteral("PlaneZones"));
  for (const PlaneZone& zone : kPlaneZones) {
    zones_->addItem(
        kZoneItem.arg(
            QLatin1String(zone.numeral.data(), static_cast<qsizetype>(zone.numeral.size())),
            QString::fromUtf8(zone.serves.data(), static_cast<qsizetype>(zone.serves.size()))),
        zone.zone);
  }
  auto* indented = new QHBoxLayout;
  indented->addSpacing(kZoneIndent);
  indented->addWidget(zones_, 1);
  layout->addLayout(indented);
  layout->addStretch();

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setDefault(true);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &CrsChoiceDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CrsChoiceDialog::reject);

  const bool plane = current_zone >= 1 && current_zone <= kPlaneZoneCount;
  zones_->setCurrentIndex(plane ? current_zone - 1 : 0);
  (plane ? plane_ : lon_lat_)->setChecked(true);
  zones_->setEnabled(plane);
  connect(plane_, &QRadioButton::toggled, zones_, &QComboBox::setEnabled);
}

int CrsChoiceDialog::zone() const {
  return plane_->isChecked() ? zones_->currentData().toInt() : 0;
}

std::optional<int> QtCrsDialog::Execute(QWidget* owner, int current_zone) {
  CrsChoiceDialog dialog(owner, current_zone);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.zone();
}

void QtMessageBoxes::ShowWarnings(const WarningList& list) { BuildWarningList(list)->exec(); }

void NoticeBoxes::StartRun() {
  state_ = RunState::kFirstAhead;
  gathered_.clear();
}

void NoticeBoxes::EndRun() {
  state_ = RunState::kNoRun;
  if (gathered_.empty()) return;
  WarningList list;
  list.owner = owner_;
  list.caption = default_caption_;
  list.rows = std::move(gathered_);
  gathered_.clear();
  list.text = kRunWarningsText.arg(list.rows.size());
  boxes_.ShowWarnings(list);
}

void NoticeBoxes::Notify(const Notice& notice) {
  const bool data_problem = notice.caption.empty();
  if (data_problem && state_ == RunState::kGathering) {
    WarningRow row;
    row.archive = FromPathBytes(notice.archive);
    if (!notice.layer.empty()) {
      row.layer = QString::fromLatin1(notice.layer.data(), static_cast<int>(notice.layer.size()));
    } else if (!notice.file.empty()) {
      const std::size_t slash = notice.file.rfind('/');
      row.layer = FromPathBytes(slash == std::string::npos
                                    ? std::string_view(notice.file)
                                    : std::string_view(notice.file).substr(slash + 1));
    }
    row.line = notice.line;
    row.text = FromCp932(notice.text);
    gathered_.push_back(std::move(row));
    return;
  }
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
  const bool first = data_problem && state_ == RunState::kFirstAhead;
  if (first) message.check_box = kGatherLabel;
  const bool ticked = boxes_.Show(message);
  if (first) state_ = ticked ? RunState::kGathering : RunState::kOneByOne;
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
