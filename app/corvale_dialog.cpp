#include "app/corvale_dialog.hpp"

#include <QAction>
#include <QActionGroup>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScreen>
#include <QSignalBlocker>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis/dish_analysis.hpp"
#include "analysis/image_outputs.hpp"
#include "analysis/io/image_files.hpp"
#include "app/about_dialog.hpp"
#include "app/application_icon.hpp"
#include "app/data_exchange.hpp"

namespace corvale {
namespace {

QString objectNameFor(int id) { return QString::number(id); }

// Writes `text` into an edit box unless it already shows it, so that its caret and
// selection stay where the user left them.
void writeBox(QLineEdit* box, const QString& text) {
  if (box->text() != text) box->setText(text);
}

}  // namespace

CCorvaleDlg::CCorvaleDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      icon_(applicationIcon()) {
  setWindowTitle(QStringLiteral("Corvale"));
  setWindowIcon(icon_);
  setFont(QFont(QStringLiteral("Sans Serif"), 8));
  createControls();
  UpdateData(false);
  pathBox_->setFocus();
}

CCorvaleDlg::~CCorvaleDlg() = default;

QLineEdit* CCorvaleDlg::addEdit(int id, QRect geometry) {
  auto* box = new QLineEdit(this);
  box->setObjectName(objectNameFor(id));
  box->setGeometry(geometry);
  return box;
}

void CCorvaleDlg::createControls() {
  const DialogUnits du(font());

  menuBar_ = new QMenuBar(this);
  QMenu* file = menuBar_->addMenu(QStringLiteral("&File"));
  QAction* fileNew = file->addAction(QStringLiteral("&New"), this, &CCorvaleDlg::OnFileNew);
  fileNew->setObjectName(objectNameFor(idFileNew));
  file->addSeparator();
  QAction* exit = file->addAction(QStringLiteral("E&xit"));
  exit->setObjectName(objectNameFor(idFileExit));
  // The counting method: the fixed threshold with the size range of the options, or the
  // adaptive method, which finds its own threshold and colony size.
  QMenu* method = menuBar_->addMenu(QStringLiteral("&Method"));
  auto* methods = new QActionGroup(this);
  QAction* fixed = method->addAction(QStringLiteral("&Fixed threshold"));
  fixed->setObjectName(objectNameFor(idMethodFixed));
  adaptiveAction_ = method->addAction(QStringLiteral("&Adaptive"));
  adaptiveAction_->setObjectName(objectNameFor(idMethodAdaptive));
  for (QAction* choice : {fixed, adaptiveAction_}) {
    choice->setCheckable(true);
    methods->addAction(choice);
  }
  fixed->setChecked(true);
  // Linux windows have no per-window system menu to extend: About lives under Help.
  QMenu* help = menuBar_->addMenu(QStringLiteral("&Help"));
  QAction* about = help->addAction(QStringLiteral("&About Corvale..."), this, &CCorvaleDlg::OnAbout);
  about->setObjectName(objectNameFor(idAbout));
  const int top = menuBar_->sizeHint().height();
  menuBar_->setGeometry(0, 0, du.x(292), top);
  const auto at = [&](int x, int y, int width, int height) { return du.rect(x, y, width, height).translated(0, top); };

  pathBox_ = addEdit(idPath, at(7, 7, 75, 14));
  browseButton_ = new QPushButton(QStringLiteral("Path"), this);
  browseButton_->setObjectName(objectNameFor(idBrowse));
  browseButton_->setGeometry(at(85, 7, 30, 14));
  browseButton_->setAutoDefault(true);  // Enter presses it only while it has the focus
  connect(browseButton_, &QPushButton::clicked, this, &CCorvaleDlg::OnBrowseFolder);

  fileList_ = new QListWidget(this);
  fileList_->setObjectName(objectNameFor(idFileList));
  fileList_->setGeometry(at(7, 23, 107, 160));
  fileList_->setSelectionMode(QAbstractItemView::SingleSelection);
  connect(fileList_, &QListWidget::itemSelectionChanged, this, &CCorvaleDlg::runDishAnalysis);

  resultsBox_ = new QPlainTextEdit(this);
  resultsBox_->setObjectName(objectNameFor(idResults));
  resultsBox_->setGeometry(at(119, 85, 165, 97));
  resultsBox_->setLineWrapMode(QPlainTextEdit::NoWrap);
  resultsBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  resultsBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  resultsBox_->setTabChangesFocus(true);

  auto* options = new QGroupBox(QStringLiteral("Options"), this);
  options->setGeometry(at(119, 7, 165, 62));
  optionBoxes_[0] = addEdit(idMinArea, at(177, 19, 40, 14));
  optionBoxes_[1] = addEdit(idMaxArea, at(230, 19, 40, 14));
  const auto label = [&](const char* text, QRect geometry) {
    auto* caption = new QLabel(QString::fromUtf8(text), this);
    caption->setGeometry(geometry.adjusted(0, 0, std::max(0, caption->sizeHint().width() - geometry.width()), 0));
  };
  label("Yeast size from", at(126, 21, 50, 8));
  label("To", at(220, 22, 9, 8));
  label("Petri Dish Lip", at(128, 37, 42, 8));
  optionBoxes_[2] = addEdit(idLip, at(177, 35, 40, 14));
  optionBoxes_[3] = addEdit(idDiameter, at(178, 51, 40, 14));
  label("Dish Diameter", at(129, 52, 45, 8));
  label("[mm]", at(221, 53, 17, 8));
  label("Results", at(121, 75, 24, 8));
  for (QLineEdit* box : optionBoxes_) connect(box, &QLineEdit::textChanged, this, &CCorvaleDlg::OnOptionChanged);

  // Tab order: the controls' order in the dialog.
  QWidget* order[] = {pathBox_, browseButton_, fileList_, resultsBox_,
                      optionBoxes_[0], optionBoxes_[1], optionBoxes_[2], optionBoxes_[3]};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  setFixedSize(du.x(292), top + du.y(190));
}

bool CCorvaleDlg::UpdateData(bool saveAndValidate) {
  QScopedValueRollback<bool> guard(transferring_, true);
  bool ok = true;
  DoDataExchange(saveAndValidate, ok);
  return ok;
}

void CCorvaleDlg::DoDataExchange(bool saveAndValidate, bool& ok) {
  if (saveAndValidate) {
    resultsText_ = fromDisplayText(resultsBox_->toPlainText());
    folderPath_ = pathBox_->text();
  } else {
    if (resultsBox_->toPlainText() != toDisplayText(resultsText_)) resultsBox_->setPlainText(toDisplayText(resultsText_));
    writeBox(pathBox_, folderPath_);
  }
  std::int32_t* values[] = {&settings_.minColonyArea, &settings_.maxColonyArea, &settings_.dishLip,
                            &settings_.dishDiameterMm};
  for (int i = 0; i < 4; ++i) {
    QLineEdit* box = optionBoxes_[i];
    if (!saveAndValidate) {
      writeBox(box, QString::number(*values[i]));
      continue;
    }
    const std::optional<int> value = scanInteger(box->text());
    if (!value) {
      QMessageBox::warning(this, windowTitle(), QStringLiteral("Please enter an integer."));
      box->setFocus();
      box->selectAll();
      ok = false;
      return;
    }
    *values[i] = *value;
  }
}

void CCorvaleDlg::OnOptionChanged() {
  if (transferring_) return;
  UpdateData(true);
}

void CCorvaleDlg::clearFolder() {
  folderPath_.clear();
  const QSignalBlocker quiet(fileList_);  // emptying the list selects nothing
  fileList_->clear();
}

void CCorvaleDlg::OnFileNew() {
  clearFolder();
  UpdateData(false);
}

QString CCorvaleDlg::chooseFolder() {
  return QFileDialog::getExistingDirectory(this, QStringLiteral("Select a Starting Directory"), QString(),
                                           QFileDialog::ShowDirsOnly);
}

void CCorvaleDlg::OnBrowseFolder() {
  clearFolder();
  folderPath_ = chooseFolder();
  if (!folderPath_.isEmpty()) {
    std::vector<std::string> names;
    try {
      names = listJpgNames(QFile::encodeName(folderPath_).toStdString(), false);
    } catch (const std::filesystem::filesystem_error& error) {
      QMessageBox::warning(this, windowTitle(),
                           QStringLiteral("%1 cannot be read: %2").arg(folderPath_, QString::fromStdString(error.code().message())));
    }
    const QSignalBlocker quiet(fileList_);
    for (const std::string& name : names) {
      // The name's own bytes travel with the entry: a file name need not be valid UTF-8.
      auto* item = new QListWidgetItem(QFile::decodeName(QByteArray::fromStdString(name)), fileList_);
      item->setData(Qt::UserRole, QByteArray::fromStdString(name));
    }
  }
  UpdateData(false);
}

void CCorvaleDlg::runDishAnalysis() {
  const QList<QListWidgetItem*> selected = fileList_->selectedItems();
  if (selected.isEmpty()) return;
  resultsText_.clear();
  const std::string path = joinImagePath(QFile::encodeName(folderPath_).toStdString(),
                                         selected.front()->data(Qt::UserRole).toByteArray().toStdString());
  imagePath_ = QFile::decodeName(QByteArray::fromStdString(path));

  DishAnalysis analysis = analysePhotographFile(path, adaptiveMethod() ? CountingMethod::adaptive : CountingMethod::fixed, settings_);
  writeAnalysisImages(analysis, ImageOutputs{true, ".", ""});
  loadedImage_ = analysis.annotatedImage.empty() ? drawAnnotations(analysis) : analysis.annotatedImage;
  resultsText_ += QFile::decodeName(QByteArray::fromStdString(formatReport(analysis, "\r\n")));
  UpdateData(false);
  showImageWindow(imagePath_, loadedImage_);
  loadedImage_.release();
  UpdateData(false);
}

void CCorvaleDlg::showImageWindow(const QString& title, const cv::Mat& image) {
  cv::destroyAllWindows();
  if (image.empty()) return;  // a photograph that failed has nothing to show

  // The window sits beside the dialog. A photograph larger than the room there is
  // shown scaled down to fit; the files on disk keep every pixel.
  const QRect screen = this->screen()->availableGeometry();
  const QRect dialog = frameGeometry();
  QRect room(dialog.right() + 8, screen.top(), screen.right() - dialog.right() - 8, screen.height() - 100);
  if (room.width() < screen.width() / 3) room = screen.adjusted(0, 0, 0, -100);
  const double scale = std::min({1.0, room.width() / static_cast<double>(image.cols),
                                 room.height() / static_cast<double>(image.rows)});
  cv::Mat shown = image;
  if (scale < 1.0) cv::resize(image, shown, cv::Size(), scale, scale, cv::INTER_AREA);

  const std::string name = title.toStdString();
  cv::namedWindow(name, cv::WINDOW_AUTOSIZE);
  cv::moveWindow(name, room.left(), room.top());
  cv::imshow(name, shown);
}

bool CCorvaleDlg::adaptiveMethod() const { return adaptiveAction_->isChecked(); }

void CCorvaleDlg::OnAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CCorvaleDlg::keyPressEvent(QKeyEvent* event) {
  // Enter never ends the dialog: the focused Path button handles it itself, and
  // anywhere else it does nothing. Escape still closes the dialog.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace corvale
