#pragma once
// "Analyse the whole folder": every listed photograph counted in the background,
// one table row each, with progress, Cancel and a CSV export written by the same
// writer as `corvale-cli --format csv`.

#include <atomic>
#include <memory>
#include <string>
#include <filesystem>
#include <vector>

#include <QByteArray>
#include <QDialog>
#include <QFutureWatcher>
#include <QString>

#include "analysis/counting_method.hpp"
#include "analysis/dish_analysis.hpp"
#include "analysis/settings.hpp"

class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace corvale {

class CFolderAnalysisDlg : public QDialog {
  Q_OBJECT

 public:
  // Control ids, kept as the controls' object names.
  static constexpr int idTable = 2000;
  static constexpr int idProgress = 2001;
  static constexpr int idCancel = 2002;
  static constexpr int idExport = 2003;
  static constexpr int idReview = 2004;

  // Starts counting at once. `names` are the folder's entries as listed (their own
  // bytes); the paths are joined as the command line joins them. Corrections saved by
  // reviews in `correctionsFolder` are applied to each result.
  CFolderAnalysisDlg(const QString& folder, const std::vector<QByteArray>& names, CountingMethod method,
                     const AnalysisSettings& settings, std::filesystem::path correctionsFolder = {},
                     QWidget* parent = nullptr);
  ~CFolderAnalysisDlg() override;

  bool isRunning() const { return watcher_.isRunning(); }
  // The results so far, in list order (their images released).
  const std::vector<DishAnalysis>& results() const { return results_; }
  const QString& folder() const { return folder_; }
  // The summary CSV of the rows so far: summaryCsvHeader() and one summaryCsvRow() each.
  std::string csvText() const;
  // Writes csvText() to `path` (replacing it in one step); an error message or empty.
  QString exportCsv(const QString& path) const;
  // Where the export's file chooser starts (the output folder).
  void setExportFolder(const QString& folder) { exportFolder_ = folder; }
  // Applies the corrections saved for the row of `imagePath` again, after a review.
  void refreshCorrections(const std::string& imagePath);

 signals:
  // The user asked to see a row's photograph (double-click or Enter on the row).
  void openPhotograph(const QString& folder, const QByteArray& name);
  // The user asked to review a row's photograph (the Review button).
  void reviewPhotograph(const QString& folder, const QByteArray& name);
  void finishedCounting();

 public slots:
  void cancel();
  void OnExport();

 protected:
  // The file chooser for the export; an empty text when the user cancels.
  virtual QString chooseCsvPath();
  void closeEvent(QCloseEvent* event) override;

 private:
  void addResult(int index, DishAnalysis result);
  void showCorrected(int row);
  void onFinished();

  QString folder_;
  QString exportFolder_;
  std::vector<QByteArray> names_;
  CountingMethod method_;
  std::filesystem::path correctionsFolder_;
  std::vector<DishAnalysis> results_;
  std::shared_ptr<std::atomic<bool>> cancelled_ = std::make_shared<std::atomic<bool>>(false);
  QFutureWatcher<void> watcher_;

  QLabel* status_ = nullptr;
  QTableWidget* table_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  QPushButton* exportButton_ = nullptr;
};

}  // namespace corvale
