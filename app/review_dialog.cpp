#include "app/review_dialog.hpp"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QUndoStack>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <opencv2/imgproc.hpp>

#include "analysis/io/image_files.hpp"
#include "analysis/review/corrections_file.hpp"
#include "app/review_model.hpp"
#include "app/review_view.hpp"

namespace corvale {
namespace {

QPushButton* button(const QString& text, const QKeySequence& shortcut, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setShortcut(shortcut);
  b->setFocusPolicy(Qt::NoFocus);  // the keys stay with the view
  if (!shortcut.isEmpty()) b->setToolTip(shortcut.toString(QKeySequence::NativeText));
  return b;
}

}  // namespace

CReviewDlg::CReviewDlg(QStringList paths, int index, QString resultsFolder, CountingMethod method,
                       const AnalysisSettings& settings, QWidget* parent)
    : QDialog(parent),
      paths_(std::move(paths)),
      resultsFolder_(std::move(resultsFolder)),
      method_(method),
      settings_(settings),
      model_(new CReviewModel(this)),
      view_(new CReviewView(model_, this)),
      counts_(new QLabel(this)),
      status_(new QLabel(this)) {
  setWindowFlag(Qt::WindowMaximizeButtonHint, true);
  resize(1100, 800);
  previous_ = button(tr("Previous"), QKeySequence(tr("Alt+Left")), this);
  next_ = button(tr("Next"), QKeySequence(tr("Alt+Right")), this);
  auto* fit = button(tr("Fit"), QKeySequence(), this);
  auto* undo = button(tr("Undo"), QKeySequence::Undo, this);
  auto* redo = button(tr("Redo"), QKeySequence::Redo, this);
  auto* polygon = button(tr("Exclude polygon"), QKeySequence(), this);
  polygon->setCheckable(true);
  auto* save = button(tr("Save"), QKeySequence::Save, this);
  auto* exportJpeg = button(tr("Export JPEG"), QKeySequence(tr("Ctrl+E")), this);
  undo->setObjectName("undo");
  redo->setObjectName("redo");
  save->setObjectName("save");
  exportJpeg->setObjectName("export");

  auto* commands = new QHBoxLayout;
  for (QPushButton* b : {previous_, next_, fit, undo, redo, polygon, save, exportJpeg}) commands->addWidget(b);
  commands->addStretch();
  QFont bold = counts_->font();
  bold.setBold(true);
  counts_->setFont(bold);
  counts_->setObjectName("counts");
  status_->setObjectName("status");
  status_->setWordWrap(true);
  auto* help = new QLabel(tr("Click a mark to remove or restore it, elsewhere to add a colony (Shift+drag: its size). "
                             "Ctrl+drag excludes a rectangle, P a polygon, Ctrl+click counts a region again. Drag the dish outline or its centre. "
                             "Wheel zooms, drag pans, F fits. Page Down/Up: next/previous photograph."),
                          this);
  help->setWordWrap(true);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(commands);
  layout->addWidget(view_, 1);
  layout->addWidget(counts_);
  layout->addWidget(status_);
  layout->addWidget(help);

  QUndoStack* stack = model_->undoStack();
  undo->setEnabled(false);
  redo->setEnabled(false);
  connect(stack, &QUndoStack::canUndoChanged, undo, &QWidget::setEnabled);
  connect(stack, &QUndoStack::canRedoChanged, redo, &QWidget::setEnabled);
  connect(undo, &QPushButton::clicked, stack, &QUndoStack::undo);
  connect(redo, &QPushButton::clicked, stack, &QUndoStack::redo);
  connect(fit, &QPushButton::clicked, view_, &CReviewView::fitToWindow);
  connect(polygon, &QPushButton::toggled, view_, &CReviewView::setPolygonTool);
  connect(view_, &CReviewView::polygonToolChanged, polygon, &QPushButton::setChecked);
  connect(save, &QPushButton::clicked, this, &CReviewDlg::saveCorrections);
  connect(exportJpeg, &QPushButton::clicked, this, &CReviewDlg::exportAnnotated);
  connect(previous_, &QPushButton::clicked, this, &CReviewDlg::showPrevious);
  connect(next_, &QPushButton::clicked, this, &CReviewDlg::showNext);
  connect(view_, &CReviewView::nextRequested, this, &CReviewDlg::showNext);
  connect(view_, &CReviewView::previousRequested, this, &CReviewDlg::showPrevious);
  connect(model_, &CReviewModel::changed, this, &CReviewDlg::updateCounts);
  connect(&watcher_, &QFutureWatcher<Opened>::finished, this, &CReviewDlg::analysisFinished);

  view_->setFocus();
  showPhotograph(index);
}

CReviewDlg::~CReviewDlg() { watcher_.waitForFinished(); }

QString CReviewDlg::statusText() const { return status_->text(); }

std::filesystem::path CReviewDlg::correctionsFolderPath() const {
  return correctionsFolder(std::filesystem::path(resultsFolder_.toStdString()));
}

void CReviewDlg::showPhotograph(int index) {
  if (index < 0 || index >= paths_.size()) return;
  if (loading_) {
    pendingIndex_ = index;  // opened once the analysis under way is done
    return;
  }
  if (!saveIfModified() && !resultsFolder_.isEmpty()) return;  // stay: the status says why
  index_ = index;
  loading_ = true;
  const QString path = paths_[index];
  setWindowTitle(tr("Review - %1 (%2 of %3)").arg(QFileInfo(path).fileName()).arg(index + 1).arg(paths_.size()));
  previous_->setEnabled(index > 0);
  next_->setEnabled(index + 1 < paths_.size());
  view_->setMessage(tr("Analysing %1 ...").arg(QFileInfo(path).fileName()));
  model_->setAnalysis({});
  status_->clear();
  const std::string file = path.toStdString();
  const CountingMethod method = method_;
  const AnalysisSettings settings = settings_;
  watcher_.setFuture(QtConcurrent::run([file, method, settings] {
    Opened opened{analysePhotographFile(file, method, settings, RunOptions{{}, false}), {}};
    if (opened.analysis.ok()) opened.levels = CReviewView::buildPyramid(opened.analysis.photograph);
    opened.analysis.photograph.release();  // the view keeps its own copies
    return opened;
  }));
}

void CReviewDlg::showNext() { showPhotograph((loading_ && pendingIndex_ >= 0 ? pendingIndex_ : index_) + 1); }
void CReviewDlg::showPrevious() { showPhotograph((loading_ && pendingIndex_ >= 0 ? pendingIndex_ : index_) - 1); }

void CReviewDlg::analysisFinished() {
  loading_ = false;
  if (pendingIndex_ >= 0) {
    showPhotograph(std::exchange(pendingIndex_, -1));
    return;
  }
  Opened opened;
  try {
    opened = watcher_.result();
  } catch (const std::exception&) {  // the pyramid could not be made (out of memory)
    opened.analysis.imagePath = paths_[index_].toStdString();
    opened.analysis.error = "the photograph is too large to show";
  }
  DishAnalysis& analysis = opened.analysis;
  Corrections corrections;
  if (!analysis.ok()) {
    view_->setMessage(QString::fromStdString(*analysis.error));
  } else {
    try {
      if (const auto file = loadCorrections(correctionsFolderPath(), analysis.sha256)) {
        if (madeFor(*file, analysis.method, analysis.settings))
          corrections = file->corrections;
        else
          status_->setText(tr("The corrections saved for another method or other settings are not shown; saving "
                              "replaces them."));
      }
    } catch (const std::exception& failure) {
      status_->setText(tr("The saved corrections cannot be read: %1").arg(QString::fromStdString(failure.what())));
    }
    view_->setPyramid(std::move(opened.levels));
  }
  model_->setAnalysis(std::move(analysis), std::move(corrections));
  emit photographLoaded(index_);
}

void CReviewDlg::updateCounts() {
  const CorrectedCount& c = model_->count();
  counts_->setText(tr("Automatic %1  -  removed %2  -  excluded %3  +  added %4  =  corrected total %5")
                       .arg(c.automatic).arg(c.removed).arg(c.excluded).arg(c.added).arg(c.total));
}

bool CReviewDlg::saveCorrections() {
  const DishAnalysis& analysis = model_->analysis();
  if (loading_ || !analysis.ok() || analysis.sha256.empty()) return false;
  if (resultsFolder_.isEmpty()) {
    status_->setText(tr("No results folder: the corrections cannot be saved."));
    return false;
  }
  try {
    model_->save(correctionsFolderPath());
  } catch (const std::exception& failure) {
    status_->setText(tr("The corrections could not be saved: %1").arg(QString::fromStdString(failure.what())));
    return false;
  }
  status_->setText(tr("Corrections saved in %1")
                       .arg(QString::fromStdString(correctionsFilePath(correctionsFolderPath(), analysis.sha256).string())));
  emit correctionsSaved(QString::fromStdString(analysis.imagePath), model_->count().total);
  return true;
}

bool CReviewDlg::saveIfModified() { return !model_->modified() || saveCorrections(); }

QString CReviewDlg::exportAnnotated() {
  const QImage image = view_->annotatedImage();
  if (image.isNull() || resultsFolder_.isEmpty()) return {};
  const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
  cv::Mat bgr;
  cv::cvtColor(cv::Mat(rgb.height(), rgb.width(), CV_8UC3, const_cast<uchar*>(rgb.constBits()),
                       static_cast<std::size_t>(rgb.bytesPerLine())),
               bgr, cv::COLOR_RGB2BGR);
  const std::filesystem::path path = std::filesystem::path(resultsFolder_.toStdString()) /
                                     (std::filesystem::path(model_->analysis().imagePath).stem().string() + ".reviewed.jpg");
  try {
    writeJpeg(path, bgr);
  } catch (const std::exception& failure) {
    status_->setText(tr("The annotated photograph could not be written: %1").arg(QString::fromStdString(failure.what())));
    return {};
  }
  status_->setText(tr("Annotated photograph written to %1").arg(QString::fromStdString(path.string())));
  return QString::fromStdString(path.string());
}

void CReviewDlg::done(int result) {
  saveIfModified();
  QDialog::done(result);
}

}  // namespace corvale
