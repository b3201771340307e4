#include "app/folder_analysis.hpp"

#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <stdexcept>

#include "analysis/io/image_files.hpp"
#include "analysis/io/safe_file.hpp"
#include "analysis/report/output_formats.hpp"
#include "analysis/review/corrections_file.hpp"
#include "app/application_icon.hpp"

namespace corvale {
namespace {

QString decoded(const std::string& bytes) { return QFile::decodeName(QByteArray::fromStdString(bytes)); }

// The table's columns: the corrected count beside the automatic one, so both show
// without scrolling; the flags, the longest text, last.
enum Column { fileColumn, methodColumn, coloniesColumn, correctedColumn, yeastsColumn, coveredColumn, areaColumn,
              flagsColumn, columnCount };

QTableWidgetItem* cell(const QString& text, bool number) {
  auto* item = new QTableWidgetItem(text);
  item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
  if (number) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return item;
}

}  // namespace

CFolderAnalysisDlg::CFolderAnalysisDlg(const QString& folder, const std::vector<QByteArray>& names,
                                       CountingMethod method, const AnalysisSettings& settings,
                                       std::filesystem::path correctionsFolder, QWidget* parent)
    : QDialog(parent, Qt::Window),
      folder_(folder),
      names_(names),
      method_(method),
      correctionsFolder_(std::move(correctionsFolder)) {
  const QString methodName = QString::fromUtf8(countingMethodName(method).data());
  setWindowTitle(QStringLiteral("Corvale - whole folder"));
  setWindowIcon(applicationIcon());
  setAttribute(Qt::WA_DeleteOnClose, false);

  auto* layout = new QVBoxLayout(this);
  status_ = new QLabel(this);
  status_->setWordWrap(true);
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(status_);

  table_ = new QTableWidget(0, columnCount, this);
  table_->setObjectName(QString::number(idTable));
  table_->setHorizontalHeaderLabels({QStringLiteral("File"), QStringLiteral("Method"), QStringLiteral("Colonies"),
                                     QStringLiteral("Corrected"), QStringLiteral("Est. yeasts"),
                                     QStringLiteral("% covered"), QString::fromUtf8("mm\u00B2"), QStringLiteral("Flags")});
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->verticalHeader()->setVisible(false);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setToolTip(QStringLiteral("Double-click a row (or press Enter) to show its photograph"));
  connect(table_, &QTableWidget::cellActivated, this, [this](int row, int) {
    if (row >= 0 && row < static_cast<int>(results_.size())) emit openPhotograph(folder_, names_[row]);
  });
  layout->addWidget(table_, 1);

  auto* bottom = new QHBoxLayout;
  progress_ = new QProgressBar(this);
  progress_->setObjectName(QString::number(idProgress));
  progress_->setRange(0, static_cast<int>(names_.size()));
  progress_->setValue(0);
  progress_->setFormat(QStringLiteral("%v of %m"));
  bottom->addWidget(progress_, 1);
  cancelButton_ = new QPushButton(QStringLiteral("Cancel"), this);
  cancelButton_->setObjectName(QString::number(idCancel));
  cancelButton_->setAutoDefault(false);
  connect(cancelButton_, &QPushButton::clicked, this, &CFolderAnalysisDlg::cancel);
  bottom->addWidget(cancelButton_);
  exportButton_ = new QPushButton(QStringLiteral("Export CSV..."), this);
  exportButton_->setObjectName(QString::number(idExport));
  exportButton_->setAutoDefault(false);
  exportButton_->setEnabled(false);
  connect(exportButton_, &QPushButton::clicked, this, &CFolderAnalysisDlg::OnExport);
  bottom->addWidget(exportButton_);
  auto* review = new QPushButton(QStringLiteral("Review..."), this);
  review->setObjectName(QString::number(idReview));
  review->setAutoDefault(false);
  review->setToolTip(QStringLiteral("Check and correct the count of the selected row's photograph"));
  connect(review, &QPushButton::clicked, this, [this] {
    const int row = table_->currentRow();
    if (row >= 0 && row < static_cast<int>(results_.size())) emit reviewPhotograph(folder_, names_[row]);
  });
  bottom->addWidget(review);
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  close->setAutoDefault(false);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  bottom->addWidget(close);
  layout->addLayout(bottom);
  status_->setText(QStringLiteral("Counting %1 photographs of %2 with the %3 method...")
                       .arg(names_.size())
                       .arg(folder_, methodName));
  resize(760, 480);

  // One worker, in list order; the results come back to this window's thread. The
  // worker reads only its own copies, and this window waits for it before it goes.
  std::vector<std::string> paths;
  for (const QByteArray& name : names_)
    paths.push_back(joinImagePath(QFile::encodeName(folder_).toStdString(), name.toStdString()));
  connect(&watcher_, &QFutureWatcher<void>::finished, this, &CFolderAnalysisDlg::onFinished);
  watcher_.setFuture(QtConcurrent::run([this, paths = std::move(paths), method, settings, cancelled = cancelled_,
                                        corrections = correctionsFolder_] {
    AnalysisBuffers buffers;  // reused for every photograph
    // As `corvale-cli --no-images`: nothing is written, no stage image is kept.
    const RunOptions options{PhotographLimits{}, false};
    for (std::size_t i = 0; i < paths.size() && !*cancelled; ++i) {
      DishAnalysis result = analysePhotographFile(paths[i], method, settings, options, &buffers);
      if (!corrections.empty()) applyCorrectionsFrom(corrections, result);
      result.releaseImages();
      QMetaObject::invokeMethod(
          this, [this, i, result = std::move(result)]() mutable { addResult(static_cast<int>(i), std::move(result)); },
          Qt::QueuedConnection);
    }
  }));
}

CFolderAnalysisDlg::~CFolderAnalysisDlg() {
  *cancelled_ = true;
  watcher_.waitForFinished();
}

void CFolderAnalysisDlg::cancel() {
  if (!watcher_.isRunning()) return;
  *cancelled_ = true;
  cancelButton_->setEnabled(false);
  status_->setText(QStringLiteral("Cancelling..."));
}

void CFolderAnalysisDlg::closeEvent(QCloseEvent* event) {
  cancel();
  QDialog::closeEvent(event);
}

void CFolderAnalysisDlg::addResult(int index, DishAnalysis result) {
  if (index != static_cast<int>(results_.size())) return;  // never: one worker, in order
  const int row = table_->rowCount();
  table_->insertRow(row);
  table_->setItem(row, fileColumn, cell(QFile::decodeName(names_[index]), false));
  table_->setItem(row, methodColumn, cell(QString::fromUtf8(countingMethodName(result.method).data()), false));
  QString flags;
  if (result.error) flags = QStringLiteral("Error: ") + decoded(*result.error);
  for (const std::string& flag : result.flags) flags += (flags.isEmpty() ? "" : "; ") + decoded(flag);
  if (const auto& s = result.statistics) {
    table_->setItem(row, coloniesColumn, cell(QString::number(s->colonyCount), true));
    table_->setItem(row, yeastsColumn, cell(QString::number(s->estimatedYeasts), true));
    table_->setItem(row, coveredColumn, cell(QString::number(s->percentage, 'f', 2), true));
    table_->setItem(row, areaColumn, cell(QString::number(s->colonyAreaMm2, 'f', 2), true));
  }
  auto* flagCell = cell(flags, false);
  flagCell->setToolTip(flags);
  table_->setItem(row, flagsColumn, flagCell);
  results_.push_back(std::move(result));
  showCorrected(row);
  progress_->setValue(static_cast<int>(results_.size()));
  if (row == 0) table_->resizeColumnsToContents();
}

void CFolderAnalysisDlg::showCorrected(int row) {
  const auto& corrections = results_[static_cast<std::size_t>(row)].corrections;
  table_->setItem(row, correctedColumn, cell(corrections ? QString::number(corrections->count.total) : QString(), true));
}

void CFolderAnalysisDlg::refreshCorrections(const std::string& imagePath) {
  for (std::size_t row = 0; row < results_.size(); ++row) {
    if (results_[row].imagePath != imagePath) continue;
    results_[row].corrections.reset();
    applyCorrectionsFrom(correctionsFolder_, results_[row]);
    showCorrected(static_cast<int>(row));
  }
}

void CFolderAnalysisDlg::onFinished() {
  cancelButton_->setEnabled(false);
  exportButton_->setEnabled(!results_.empty());
  const QString methodName = QString::fromUtf8(countingMethodName(method_).data());
  if (results_.size() == names_.size())
    status_->setText(QStringLiteral("%1: %2 photographs counted with the %3 method.")
                         .arg(folder_)
                         .arg(results_.size())
                         .arg(methodName));
  else
    status_->setText(QStringLiteral("%1: cancelled after %2 of %3 photographs (%4 method).")
                         .arg(folder_)
                         .arg(results_.size())
                         .arg(names_.size())
                         .arg(methodName));
  table_->resizeColumnsToContents();
  table_->horizontalHeader()->setStretchLastSection(true);
  emit finishedCounting();
}

std::string CFolderAnalysisDlg::csvText() const {
  std::string text = summaryCsvHeader();
  for (const DishAnalysis& result : results_) text += summaryCsvRow(result);
  return text;
}

QString CFolderAnalysisDlg::exportCsv(const QString& path) const {
  try {
    writeFileAtomically(std::filesystem::path(QFile::encodeName(path).toStdString()), csvText());
  } catch (const std::exception& error) {
    return QString::fromLocal8Bit(error.what());
  }
  return {};
}

QString CFolderAnalysisDlg::chooseCsvPath() {
  return QFileDialog::getSaveFileName(this, QStringLiteral("Export the Table as CSV"),
                                      (exportFolder_.isEmpty() ? folder_ : exportFolder_) +
                                          QStringLiteral("/corvale-summary.csv"),
                                      QStringLiteral("CSV files (*.csv);;All files (*)"));
}

void CFolderAnalysisDlg::OnExport() {
  const QString path = chooseCsvPath();
  if (path.isEmpty()) return;
  const QString problem = exportCsv(path);
  if (!problem.isEmpty()) QMessageBox::warning(this, windowTitle(), QStringLiteral("The CSV file was not written: ") + problem);
  else status_->setText(status_->text() + QStringLiteral("\nExported to %1").arg(path));
}

}  // namespace corvale
