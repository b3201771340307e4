#pragma once
// A window for reviewing a list of photographs one at a time: the review view, the
// counts, and commands to undo, redo, save, export and step through the list. Each
// photograph is analysed off the GUI thread when it is opened; its saved corrections
// are shown, and they are saved again on demand and when leaving the photograph.

#include <filesystem>
#include <vector>

#include <QDialog>
#include <QImage>
#include <QFutureWatcher>
#include <QStringList>

#include "analysis/counting_method.hpp"
#include "analysis/dish_analysis.hpp"
#include "analysis/settings.hpp"

class QLabel;
class QPushButton;

namespace corvale {

class CReviewModel;
class CReviewView;

class CReviewDlg : public QDialog {
  Q_OBJECT

 public:
  // Reviews `paths[index]`, with the corrections kept in <resultsFolder>/corrections.
  CReviewDlg(QStringList paths, int index, QString resultsFolder, CountingMethod method,
             const AnalysisSettings& settings, QWidget* parent = nullptr);
  ~CReviewDlg() override;

  int index() const { return index_; }
  const QStringList& paths() const { return paths_; }
  CReviewModel* model() const { return model_; }
  CReviewView* view() const { return view_; }
  // True while the current photograph is being analysed.
  bool loading() const { return loading_; }
  // What the window says below the photograph: the last save, export or failure.
  QString statusText() const;

 public slots:
  // Opens another photograph of the list, saving the current one's corrections first;
  // stays when they cannot be saved (the status says why).
  void showPhotograph(int index);
  void showNext();
  void showPrevious();
  // Saves the corrections; false (and the reason in the status) when they cannot be.
  bool saveCorrections();
  // Writes the photograph with its marks as <resultsFolder>/<stem>.reviewed.jpg and
  // returns that path, or an empty string when it cannot be written.
  QString exportAnnotated();

 signals:
  // The photograph `index` is open and its analysis shown (or its failure).
  void photographLoaded(int index);
  // The corrections of `imagePath` were saved; `correctedCount` is its count now.
  void correctionsSaved(const QString& imagePath, int correctedCount);

 protected:
  void done(int result) override;

 private:
  void analysisFinished();
  void updateCounts();
  // True when nothing was left unsaved.
  bool saveIfModified();
  std::filesystem::path correctionsFolderPath() const;

  QStringList paths_;
  int index_ = -1;
  QString resultsFolder_;
  CountingMethod method_;
  AnalysisSettings settings_;
  CReviewModel* model_;
  CReviewView* view_;
  QLabel* counts_;
  QLabel* status_;
  QPushButton* previous_;
  QPushButton* next_;
  // The analysis, and the view's pyramid of the photograph, both made off the GUI thread.
  struct Opened {
    DishAnalysis analysis;
    std::vector<QImage> levels;
  };
  QFutureWatcher<Opened> watcher_;
  bool loading_ = false;
  int pendingIndex_ = -1;  // asked for while another photograph was still being analysed
};

}  // namespace corvale
