#include "app/corvale_dialog.hpp"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMouseEvent>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QScreen>
#include <QSettings>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>

#include <filesystem>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis/image_outputs.hpp"
#include "analysis/io/image_files.hpp"
#include "analysis/review/corrections_file.hpp"
#include "app/about_dialog.hpp"
#include "app/application_icon.hpp"
#include "app/data_exchange.hpp"
#include "app/folder_analysis.hpp"
#include "app/review_dialog.hpp"

namespace corvale {
namespace {

QString objectNameFor(int id) { return QString::number(id); }

// Writes `text` into an edit box unless it already shows it, so that its caret and
// selection stay where the user left them.
void writeBox(QLineEdit* box, const QString& text) {
  if (box->text() != text) box->setText(text);
}

// The user's choices kept between runs (~/.config/Corvale/Corvale.conf).
QSettings store() { return QSettings(QStringLiteral("Corvale"), QStringLiteral("Corvale")); }
const QString methodKey = QStringLiteral("method");
const QString outputFolderKey = QStringLiteral("outputFolder");

QString defaultOutputFolder() {
  for (const auto location : {QStandardPaths::PicturesLocation, QStandardPaths::DocumentsLocation,
                              QStandardPaths::HomeLocation}) {
    const QString folder = QStandardPaths::writableLocation(location);
    if (!folder.isEmpty()) return folder + QStringLiteral("/Corvale results");
  }
  return QStringLiteral("Corvale results");
}

std::string fileSystemName(const QString& path) { return QFile::encodeName(path).toStdString(); }

bool sameFolder(const QString& a, const QString& b) {
  if (a.isEmpty() || b.isEmpty()) return false;
  std::error_code error;
  if (std::filesystem::equivalent(fileSystemName(a), fileSystemName(b), error)) return true;
  return QDir::cleanPath(QDir(a).absolutePath()) == QDir::cleanPath(QDir(b).absolutePath());
}

QString methodTitle(CountingMethod method) {
  return method == CountingMethod::adaptive ? QStringLiteral("adaptive method") : QStringLiteral("fixed threshold method");
}

// The names Corvale writes into an output folder.
bool isOutputName(const std::string& name) { return name == "threshold.jpg" || name == "centroid.jpg" || name == "bb.jpg"; }

}  // namespace

CCorvaleDlg::CCorvaleDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      icon_(applicationIcon()) {
  setWindowTitle(QStringLiteral("Corvale"));
  setWindowIcon(icon_);
  setFont(QFont(QStringLiteral("Sans Serif"), 8));
  const QSettings settings = store();
  outputFolder_ = settings.value(outputFolderKey).toString();
  if (outputFolder_.isEmpty()) outputFolder_ = defaultOutputFolder();
  createControls();
  // The fixed method unless the user chose the adaptive one in an earlier run.
  const bool adaptive = settings.value(methodKey).toString() == QStringLiteral("adaptive");
  (adaptive ? adaptiveAction_ : fixedAction_)->setChecked(true);

  recountTimer_.setSingleShot(true);
  recountTimer_.setInterval(400);  // typing into an option box re-counts once it pauses
  connect(&recountTimer_, &QTimer::timeout, this, &CCorvaleDlg::runDishAnalysis);
  connect(&watcher_, &QFutureWatcher<Outcome>::finished, this, &CCorvaleDlg::onAnalysisFinished);
  UpdateData(false);
  pathBox_->setFocus();
}

CCorvaleDlg::~CCorvaleDlg() {
  pending_.reset();
  watcher_.waitForFinished();  // the worker holds only its own copies; let it end
  delete folderAnalysis_.data();
  // Only a window that was made: the first call into OpenCV's window system
  // searches for its backends, which takes a second.
  if (imageWindowMade_ && (!imageWindowFound_ || imageWindow_)) cv::destroyWindow(imageWindowName);
}

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
  QAction* wholeFolder =
      file->addAction(QStringLiteral("Analyse the &Whole Folder..."), this, &CCorvaleDlg::OnAnalyseFolder);
  wholeFolder->setObjectName(objectNameFor(idFileAnalyseFolder));
  file->addAction(QStringLiteral("&Output Folder..."), this, &CCorvaleDlg::OnChangeOutputFolder);
  QAction* review = file->addAction(QStringLiteral("&Review Count..."), this, &CCorvaleDlg::OnReview);
  review->setShortcut(QKeySequence(QStringLiteral("Ctrl+R")));
  addAction(review);
  file->addSeparator();
  QAction* exit = file->addAction(QStringLiteral("E&xit"));
  exit->setObjectName(objectNameFor(idFileExit));
  // The counting method: the fixed threshold with the size range of the options, or the
  // adaptive method, which finds its own threshold and colony size.
  QMenu* method = menuBar_->addMenu(QStringLiteral("&Method"));
  auto* methods = new QActionGroup(this);
  fixedAction_ = method->addAction(QStringLiteral("&Fixed threshold"));
  fixedAction_->setObjectName(objectNameFor(idMethodFixed));
  adaptiveAction_ = method->addAction(QStringLiteral("&Adaptive"));
  adaptiveAction_->setObjectName(objectNameFor(idMethodAdaptive));
  for (QAction* choice : {fixedAction_, adaptiveAction_}) {
    choice->setCheckable(true);
    methods->addAction(choice);
  }
  fixedAction_->setChecked(true);
  connect(methods, &QActionGroup::triggered, this, &CCorvaleDlg::onMethodChosen);
  method->addSeparator();
  QAction* again = method->addAction(QStringLiteral("&Count Again"), this, &CCorvaleDlg::runDishAnalysis);
  again->setObjectName(objectNameFor(idCountAgain));
  again->setShortcut(QKeySequence(Qt::Key_F5));
  addAction(again);  // F5 works wherever the focus is
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
  fileList_->setToolTip(QStringLiteral("Select a photograph to count it; click it again (or press F5) to re-count"));
  connect(fileList_, &QListWidget::itemSelectionChanged, this, &CCorvaleDlg::runDishAnalysis);
  connect(fileList_, &QListWidget::itemDoubleClicked, this, &CCorvaleDlg::OnReview);
  // A click on the photograph already selected counts it again (see eventFilter).
  fileList_->viewport()->installEventFilter(this);
  connect(fileList_, &QListWidget::itemClicked, this, [this](QListWidgetItem*) {
    if (std::exchange(pressedOnSelected_, false)) runDishAnalysis();
  });

  resultsBox_ = new QPlainTextEdit(this);
  resultsBox_->setObjectName(objectNameFor(idResults));
  resultsBox_->setGeometry(at(119, 85, 165, 98));
  resultsBox_->setLineWrapMode(QPlainTextEdit::WidgetWidth);  // the whole report, wrapped and scrolled
  resultsBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  resultsBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  resultsBox_->setTabChangesFocus(true);

  auto* options = new QGroupBox(QStringLiteral("Options"), this);
  options->setGeometry(at(119, 7, 165, 62));
  optionBoxes_[0] = addEdit(idMinArea, at(177, 19, 40, 14));
  optionBoxes_[1] = addEdit(idMaxArea, at(230, 19, 40, 14));
  const auto label = [&](const QString& text, QRect geometry) {
    auto* caption = new QLabel(text, this);
    caption->setGeometry(geometry.adjusted(0, 0, std::max(0, caption->sizeHint().width() - geometry.width()), 0));
    return caption;
  };
  label(QStringLiteral("Yeast size from"), at(126, 21, 50, 8));
  label(QStringLiteral("To"), at(220, 22, 9, 8));
  label(QStringLiteral("Petri Dish Lip"), at(128, 37, 42, 8));
  optionBoxes_[2] = addEdit(idLip, at(177, 35, 40, 14));
  optionBoxes_[3] = addEdit(idDiameter, at(178, 51, 40, 14));
  label(QStringLiteral("Dish Diameter"), at(129, 52, 45, 8));
  label(QStringLiteral("[mm]"), at(221, 53, 17, 8));
  // The caption names the method that produced the report below it.
  resultsCaption_ = new QLabel(QStringLiteral("Results"), this);
  resultsCaption_->setObjectName(objectNameFor(idResultsCaption));
  resultsCaption_->setGeometry(at(121, 74, 163, 10));
  for (QLineEdit* box : optionBoxes_) connect(box, &QLineEdit::textChanged, this, &CCorvaleDlg::OnOptionChanged);

  // Where the images go, shown in full (scroll the box or hover for it) and changeable.
  label(QStringLiteral("Output folder"), at(7, 191, 45, 8));
  outputBox_ = addEdit(idOutputFolder, at(55, 189, 190, 14));
  outputBox_->setReadOnly(true);
  outputButton_ = new QPushButton(QStringLiteral("Change..."), this);
  outputButton_->setObjectName(objectNameFor(idOutputBrowse));
  outputButton_->setGeometry(at(248, 189, 36, 14));
  connect(outputButton_, &QPushButton::clicked, this, &CCorvaleDlg::OnChangeOutputFolder);

  analyseFolderButton_ = new QPushButton(QStringLiteral("Analyse the whole folder..."), this);
  analyseFolderButton_->setObjectName(objectNameFor(idAnalyseFolder));
  analyseFolderButton_->setGeometry(at(7, 207, 107, 14));
  connect(analyseFolderButton_, &QPushButton::clicked, this, &CCorvaleDlg::OnAnalyseFolder);
  busy_ = new QProgressBar(this);
  busy_->setObjectName(objectNameFor(idBusy));
  busy_->setGeometry(at(119, 208, 50, 12));
  busy_->setRange(0, 0);  // no end known: the moving bar of a busy window
  busy_->setTextVisible(false);
  busy_->hide();
  // What is being counted: the report above stays that of the last count shown.
  busyText_ = new QLabel(this);
  busyText_->setGeometry(at(173, 209, 111, 10));
  busyText_->hide();

  // Tab order: the controls' order in the dialog.
  QWidget* order[] = {pathBox_,         browseButton_,   fileList_,       resultsBox_, optionBoxes_[0],
                      optionBoxes_[1], optionBoxes_[2], optionBoxes_[3], outputBox_,  outputButton_,
                      analyseFolderButton_};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  setFixedSize(du.x(292), top + du.y(227));
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
    writeBox(outputBox_, outputFolder_);
    outputBox_->setToolTip(outputFolder_);
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
  const AnalysisSettings before = settings_;
  if (!UpdateData(true)) return;
  const AnalysisSettings& now = settings_;
  const bool changed = before.minColonyArea != now.minColonyArea || before.maxColonyArea != now.maxColonyArea ||
                       before.dishLip != now.dishLip || before.dishDiameterMm != now.dishDiameterMm;
  if (changed) recountTimer_.start();  // restarted by every keystroke: one count once typing pauses
}

void CCorvaleDlg::onMethodChosen() {
  QSettings settings = store();
  settings.setValue(methodKey, QString::fromUtf8(countingMethodName(countingMethod()).data()));
  runDishAnalysis();
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

QString CCorvaleDlg::chooseOutputFolder() {
  return QFileDialog::getExistingDirectory(this, QStringLiteral("Select the Output Folder"), outputFolder_,
                                           QFileDialog::ShowDirsOnly);
}

void CCorvaleDlg::OnBrowseFolder() {
  clearFolder();
  folderPath_ = chooseFolder();
  listFolder();
  UpdateData(false);
}

void CCorvaleDlg::openPath(const QString& path) {
  clearFolder();
  const QFileInfo info(path);
  QByteArray selected;
  if (info.exists() && !info.isDir()) {
    folderPath_ = info.absolutePath();
    selected = QFile::encodeName(info.fileName());
  } else {
    folderPath_ = path;
  }
  listFolder();
  UpdateData(false);
  if (!selected.isEmpty()) {
    for (int row = 0; row < fileList_->count(); ++row)
      if (fileList_->item(row)->data(Qt::UserRole).toByteArray() == selected) fileList_->setCurrentRow(row);
  }
}

void CCorvaleDlg::listFolder(const QByteArray& keep) {
  const QSignalBlocker quiet(fileList_);
  fileList_->clear();
  if (folderPath_.isEmpty()) return;
  std::vector<std::string> names;
  try {
    names = listPhotographNames(fileSystemName(folderPath_), false);
  } catch (const std::filesystem::filesystem_error& error) {
    QMessageBox::warning(this, windowTitle(),
                         QStringLiteral("%1 cannot be read: %2").arg(folderPath_, QString::fromStdString(error.code().message())));
  }
  // Corvale's own images are never offered as photographs: in the output folder (or
  // its results subfolder) the three names are Corvale's.
  const bool holdsOutputs =
      sameFolder(folderPath_, outputFolder_) || sameFolder(folderPath_, outputFolder_ + "/" + resultsSubfolder);
  for (const std::string& name : names) {
    if (holdsOutputs && isOutputName(name)) continue;
    // The name's own bytes travel with the entry: a file name need not be valid UTF-8.
    auto* item = new QListWidgetItem(QFile::decodeName(QByteArray::fromStdString(name)), fileList_);
    item->setData(Qt::UserRole, QByteArray::fromStdString(name));
    if (!keep.isEmpty() && item->data(Qt::UserRole).toByteArray() == keep) item->setSelected(true);
  }
}

void CCorvaleDlg::setOutputFolder(const QString& folder) {
  outputFolder_ = QDir::cleanPath(folder);
  QSettings settings = store();
  settings.setValue(outputFolderKey, outputFolder_);
  // What the list leaves out depends on the output folder.
  QByteArray selected;
  if (const QList<QListWidgetItem*> items = fileList_->selectedItems(); !items.isEmpty())
    selected = items.front()->data(Qt::UserRole).toByteArray();
  listFolder(selected);
  UpdateData(false);
}

void CCorvaleDlg::OnChangeOutputFolder() {
  const QString folder = chooseOutputFolder();
  if (!folder.isEmpty()) setOutputFolder(folder);
}

QString CCorvaleDlg::outputFolderFor(const QString& photographFolder) const {
  if (sameFolder(outputFolder_, photographFolder)) return outputFolder_ + "/" + resultsSubfolder;
  return outputFolder_;
}

void CCorvaleDlg::runDishAnalysis() {
  const QList<QListWidgetItem*> selected = fileList_->selectedItems();
  if (selected.isEmpty()) return;
  recountTimer_.stop();
  request(joinImagePath(fileSystemName(folderPath_), selected.front()->data(Qt::UserRole).toByteArray().toStdString()));
}

void CCorvaleDlg::request(const std::string& path) {
  Request next;
  next.id = ++latestId_;
  next.path = path;
  next.method = countingMethod();
  next.settings = settings_;
  const QString folder = QFileInfo(QFile::decodeName(QByteArray::fromStdString(path))).absolutePath();
  next.outputFolder = fileSystemName(outputFolderFor(folder));
  const QString name = QFileInfo(QFile::decodeName(QByteArray::fromStdString(path))).fileName();
  busyText_->setText(busyText_->fontMetrics().elidedText(QStringLiteral("Counting %1...").arg(name), Qt::ElideMiddle,
                                                         busyText_->width()));
  setBusy(true);
  // One count at a time: while one runs, only the latest request waits for it.
  if (watcher_.isRunning() || showing_) pending_ = std::move(next);
  else launch(std::move(next));
}

void CCorvaleDlg::launch(Request request) {
  pending_.reset();
  watcher_.setFuture(QtConcurrent::run(&CCorvaleDlg::analyse, std::move(request)));
}

CCorvaleDlg::Outcome CCorvaleDlg::analyse(const Request& request) {
  Outcome outcome;
  outcome.id = request.id;
  outcome.analysis = analysePhotographFile(request.path, request.method, request.settings);
  applyCorrectionsFrom(correctionsFolder(request.outputFolder), outcome.analysis);
  if (outcome.analysis.ok()) {
    std::error_code ignored;  // a folder that cannot be made shows as the write's error
    std::filesystem::create_directories(request.outputFolder, ignored);
    writeAnalysisImages(outcome.analysis, ImageOutputs{true, request.outputFolder, ""});
    outcome.image = outcome.analysis.annotatedImage.empty() ? drawAnnotations(outcome.analysis)
                                                            : outcome.analysis.annotatedImage;
  }
  // Only the numbers and the shown image go back to the window.
  outcome.analysis.releaseImages();
  return outcome;
}

void CCorvaleDlg::onAnalysisFinished() {
  if (watcher_.future().isCanceled() || watcher_.future().resultCount() == 0) {
    if (pending_) launch(std::move(*pending_));
    else setBusy(false);
    return;
  }
  Outcome outcome = watcher_.result();
  if (outcome.id == latestId_ && !pending_) {
    // The latest request: show it. Showing may process events (the image window);
    // requests made meanwhile wait in pending_.
    QScopedValueRollback<bool> guard(showing_, true);
    const DishAnalysis& analysis = outcome.analysis;
    imagePath_ = QFile::decodeName(QByteArray::fromStdString(analysis.imagePath));
    resultsText_ = QFile::decodeName(QByteArray::fromStdString(formatReport(analysis, "\r\n")));
    resultsCaption_->setText(QStringLiteral("Results (%1)").arg(methodTitle(analysis.method)));
    UpdateData(false);
    showImageWindow(imagePath_, outcome.image);
    emit analysisShown();
  }
  // An earlier request's outcome is dropped: a later one waits.
  if (pending_) launch(std::move(*pending_));
  else setBusy(false);
}

void CCorvaleDlg::setBusy(bool busy) {
  running_ = busy;
  busy_->setVisible(busy);
  busyText_->setVisible(busy);
  if (busy) setCursor(Qt::BusyCursor);  // the arrow with a clock: the dialog still answers
  else unsetCursor();
}

void CCorvaleDlg::showImageWindow(const QString& title, const cv::Mat& image) {
  // One window for every photograph: made once, scaled (the toolbar zooms into the
  // full resolution), placed beside the dialog. Closed by the user, it is shown
  // again, placed again, for the next photograph.
  if (image.empty()) {  // a photograph that failed has nothing to show
    if (imageWindow_) imageWindow_->hide();
    return;
  }
  bool place = false;
  if (!imageWindowMade_ || (imageWindowFound_ && imageWindow_.isNull())) {
    cv::namedWindow(imageWindowName, cv::WINDOW_NORMAL | cv::WINDOW_KEEPRATIO | cv::WINDOW_GUI_EXPANDED);
    cv::imshow(imageWindowName, image);
    imageWindowMade_ = true;
    // OpenCV's Qt window is a widget of this application, titled by its name until
    // a title is set; found, it is sized and placed like any other window.
    imageWindow_.clear();
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (widget->windowTitle() == QLatin1String(imageWindowName) && widget->isVisible()) imageWindow_ = widget;
    imageWindowFound_ = !imageWindow_.isNull();
    if (imageWindow_) {
      // Shown again at once, before the window manager maps it, so that it does
      // not take the focus from the list.
      imageWindow_->hide();
      imageWindow_->setAttribute(Qt::WA_ShowWithoutActivating);
      imageWindow_->show();
    }
    place = true;
  }
  cv::imshow(imageWindowName, image);
  if (imageWindow_ && !imageWindow_->isVisible()) {
    imageWindow_->setAttribute(Qt::WA_ShowWithoutActivating);  // the arrow keys stay with the list
    imageWindow_->show();
    place = true;
  }
  cv::setWindowTitle(imageWindowName, title.toStdString());
  if (place) placeImageWindow(image);
}

void CCorvaleDlg::placeImageWindow(const cv::Mat& image) {
  // The room right of the dialog, or below it when the screen is too narrow. The
  // window manager's frame is taken to be as wide as the dialog's.
  const QRect screen = this->screen()->availableGeometry();
  const QRect dialog = frameGeometry();
  const QRect inside = geometry();
  const int frameWidth = std::max(0, dialog.width() - inside.width());
  const int frameHeight = std::max(0, dialog.height() - inside.height());
  constexpr int gap = 8;
  QRect room(dialog.right() + gap, screen.top(), screen.right() - dialog.right() - gap, screen.height() - gap);
  if (room.width() < screen.width() / 3)
    room = QRect(screen.left(), dialog.bottom() + gap, screen.width(), screen.bottom() - dialog.bottom() - gap);

  // The window's toolbar and status bar take about 50 pixels.
  QWidget* window = imageWindow_.data();
  const int chrome = 50;
  const int width = room.width() - frameWidth;
  const int height = room.height() - frameHeight - chrome;
  const double scale = std::min({1.0, width / static_cast<double>(image.cols), height / static_cast<double>(image.rows)});
  const QSize inner(std::max(200, static_cast<int>(image.cols * scale)), std::max(1, static_cast<int>(image.rows * scale)) + chrome);
  if (window != nullptr) {
    // The inside first, placed by the dialog's frame margins; once the window
    // manager has framed the new window, its frame's top left again (a move right
    // after mapping can land before the frame is known).
    window->setGeometry(QRect(room.topLeft() + (inside.topLeft() - dialog.topLeft()), inner));
    QTimer::singleShot(300, window, [this, window, corner = room.topLeft()] {
      window->move(corner);
      activateWindow();  // a new window takes the focus: give it back to the list
    });
  } else {
    cv::resizeWindow(imageWindowName, inner.width(), inner.height());
    cv::moveWindow(imageWindowName, room.left(), room.top());
  }
}

bool CCorvaleDlg::adaptiveMethod() const { return adaptiveAction_->isChecked(); }

CountingMethod CCorvaleDlg::countingMethod() const {
  return adaptiveMethod() ? CountingMethod::adaptive : CountingMethod::fixed;
}

void CCorvaleDlg::OnAnalyseFolder() {
  if (folderPath_.isEmpty() || fileList_->count() == 0) {
    QMessageBox::information(this, windowTitle(), QStringLiteral("Choose a folder with photographs first (Path)."));
    return;
  }
  if (!UpdateData(true)) return;
  delete folderAnalysis_.data();  // an earlier one stops first
  std::vector<QByteArray> names;
  for (int row = 0; row < fileList_->count(); ++row) names.push_back(fileList_->item(row)->data(Qt::UserRole).toByteArray());
  folderAnalysis_ = new CFolderAnalysisDlg(folderPath_, names, countingMethod(), settings_,
                                           correctionsFolder(fileSystemName(outputFolderFor(folderPath_))), this);
  folderAnalysis_->setExportFolder(outputFolder_);
  connect(folderAnalysis_, &CFolderAnalysisDlg::openPhotograph, this, &CCorvaleDlg::openFromTable);
  connect(folderAnalysis_, &CFolderAnalysisDlg::reviewPhotograph, this,
          [this, names](const QString& folder, const QByteArray& name) {
            const auto at = std::find(names.begin(), names.end(), name);
            openReview(folder, names, static_cast<int>(at - names.begin()));
          });
  // Below the dialog and as wide, clear of the image window beside it (the table
  // scrolls sideways; a row's flags show in full as its tooltip).
  const QRect dialog = frameGeometry();
  const QRect screen = this->screen()->availableGeometry();
  const int frameHeight = dialog.height() - geometry().height();
  const int top = dialog.bottom() + 8;
  const int height = screen.bottom() - top - frameHeight - 8;
  if (height >= 240) {
    folderAnalysis_->resize(geometry().width(), height);
    folderAnalysis_->move(dialog.left(), top);
  }
  folderAnalysis_->show();
}

void CCorvaleDlg::openFromTable(const QString& folder, const QByteArray& name) {
  if (folder == folderPath_) {
    for (int row = 0; row < fileList_->count(); ++row) {
      if (fileList_->item(row)->data(Qt::UserRole).toByteArray() != name) continue;
      if (fileList_->currentRow() == row && fileList_->item(row)->isSelected()) runDishAnalysis();
      else fileList_->setCurrentRow(row);
      return;
    }
  }
  request(joinImagePath(fileSystemName(folder), name.toStdString()));  // the list shows another folder now
}

CReviewDlg* CCorvaleDlg::review() const { return review_; }

void CCorvaleDlg::OnReview() {
  const int row = fileList_->currentRow();
  if (row < 0 || !UpdateData(true)) return;
  std::vector<QByteArray> names;
  for (int i = 0; i < fileList_->count(); ++i) names.push_back(fileList_->item(i)->data(Qt::UserRole).toByteArray());
  openReview(folderPath_, names, row);
}

void CCorvaleDlg::openReview(const QString& folder, const std::vector<QByteArray>& names, int index) {
  if (index < 0 || index >= static_cast<int>(names.size())) return;
  QStringList paths;
  for (const QByteArray& name : names)
    paths.push_back(QFile::decodeName(QByteArray::fromStdString(joinImagePath(fileSystemName(folder), name.toStdString()))));
  if (review_) review_->close();  // saves its corrections first
  review_ = new CReviewDlg(paths, index, outputFolderFor(folder), countingMethod(), settings_, this);
  review_->setAttribute(Qt::WA_DeleteOnClose);
  connect(review_, &CReviewDlg::correctionsSaved, this,
          [this](const QString& imagePath, int) { onCorrectionsSaved(imagePath); });
  review_->show();
}

void CCorvaleDlg::onCorrectionsSaved(const QString& imagePath) {
  // The table's corrected count and, for the photograph shown, the report.
  if (folderAnalysis_) folderAnalysis_->refreshCorrections(QFile::encodeName(imagePath).toStdString());
  if (imagePath == imagePath_) runDishAnalysis();
}

void CCorvaleDlg::OnAbout() {
  CAboutDlg about(this);
  about.setWindowModality(Qt::WindowModal);  // blocks the dialog, not the image window
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

bool CCorvaleDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == fileList_->viewport() && event->type() == QEvent::MouseButtonPress) {
    // Before the list handles the press: was the photograph under it selected already?
    const QListWidgetItem* item = fileList_->itemAt(static_cast<QMouseEvent*>(event)->pos());
    pressedOnSelected_ = item != nullptr && item->isSelected();
  }
  return QDialog::eventFilter(watched, event);
}

void CCorvaleDlg::closeEvent(QCloseEvent* event) {
  if (folderAnalysis_) folderAnalysis_->close();
  QDialog::closeEvent(event);
}

}  // namespace corvale
