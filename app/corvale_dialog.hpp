#pragma once
// The main dialog: the folder path and its photographs, the four options, the
// output folder, and the report of the photograph selected last. Photographs are
// counted off the GUI thread; the latest request wins.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <QDialog>
#include <QFutureWatcher>
#include <QIcon>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <opencv2/core.hpp>

#include "analysis/counting_method.hpp"
#include "analysis/dish_analysis.hpp"
#include "analysis/settings.hpp"
#include "app/folder_analysis.hpp"

class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QMenuBar;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace corvale {

class CReviewDlg;

class CCorvaleDlg : public QDialog {
  Q_OBJECT

 public:
  // Control ids, kept as the controls' object names.
  static constexpr int idPath = 1000;
  static constexpr int idBrowse = 1001;
  static constexpr int idFileList = 1002;
  static constexpr int idResults = 1003;
  static constexpr int idMinArea = 1004;
  static constexpr int idMaxArea = 1005;
  static constexpr int idLip = 1006;
  static constexpr int idDiameter = 1007;
  static constexpr int idOutputFolder = 1008;
  static constexpr int idOutputBrowse = 1009;
  static constexpr int idAnalyseFolder = 1010;
  static constexpr int idBusy = 1011;
  static constexpr int idResultsCaption = 1012;
  static constexpr int idFileNew = 32774;
  static constexpr int idFileExit = 32773;
  static constexpr int idAbout = 16;
  static constexpr int idMethodFixed = 32780;
  static constexpr int idMethodAdaptive = 32781;
  static constexpr int idCountAgain = 32782;
  static constexpr int idFileAnalyseFolder = 32783;

  // The name of the one OpenCV window that shows the photographs.
  static constexpr const char* imageWindowName = "Corvale photograph";
  // Where the images go when the output folder is the listed folder itself.
  static constexpr const char* resultsSubfolder = "Corvale results";

  explicit CCorvaleDlg(QWidget* parent = nullptr);
  ~CCorvaleDlg() override;

  // Moves the members into the controls (false) or the controls' contents into the
  // members (true). Reading stops at the first option box that holds no number: its
  // error is shown, the box gets the focus with its text selected, and false is
  // returned. Control notifications are not acted upon while a transfer runs.
  bool UpdateData(bool saveAndValidate = true);

  const AnalysisSettings& settings() const { return settings_; }
  // The adaptive counting method instead of the fixed threshold (Method menu).
  bool adaptiveMethod() const;
  CountingMethod countingMethod() const;
  const QString& folderPath() const { return folderPath_; }
  const QString& imagePath() const { return imagePath_; }
  const QString& resultsText() const { return resultsText_; }
  QListWidget* fileList() const { return fileList_; }
  // The folder the three images go to (threshold.jpg, centroid.jpg, bb.jpg).
  const QString& outputFolder() const { return outputFolder_; }
  void setOutputFolder(const QString& folder);
  // The output folder for photographs of `photographFolder`: the output folder, or
  // its "Corvale results" subfolder when it is that folder itself.
  QString outputFolderFor(const QString& photographFolder) const;
  // True while a photograph is being counted (or one waits to be).
  bool isAnalysing() const { return running_; }
  // The window of the last "Analyse the whole folder", if still open.
  CFolderAnalysisDlg* folderAnalysis() const { return folderAnalysis_; }
  CReviewDlg* review() const;

  // Lists `path` (a folder; or a photograph: its folder, with it selected).
  void openPath(const QString& path);

 signals:
  // A report (and its image) has just been shown.
  void analysisShown();

 public slots:
  void OnBrowseFolder();
  void OnFileNew();
  void OnOptionChanged();
  void OnAbout();
  void OnChangeOutputFolder();
  void OnAnalyseFolder();
  // Opens the review of the selected photograph, with the listed ones to step through.
  void OnReview();
  // Counts the selected photograph again with the current method and options.
  void runDishAnalysis();

 protected:
  // The modal folder chooser; an empty text when the user cancels.
  virtual QString chooseFolder();
  virtual QString chooseOutputFolder();
  // Shows `image` in the one image window, titled `title`; an empty image closes it.
  virtual void showImageWindow(const QString& title, const cv::Mat& image);

  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // One photograph to count, as requested; `id` orders the requests.
  struct Request {
    std::uint64_t id = 0;
    std::string path;
    CountingMethod method = CountingMethod::fixed;
    AnalysisSettings settings;
    std::string outputFolder;
  };
  struct Outcome {
    std::uint64_t id = 0;
    DishAnalysis analysis;
    cv::Mat image;
  };
  static Outcome analyse(const Request& request);

  void DoDataExchange(bool saveAndValidate, bool& ok);
  // Empties the folder path and the list, without a selection notification.
  void clearFolder();
  // Fills the list with the photographs of folderPath_, reselecting `keep` (a name's
  // bytes) without a notification.
  void listFolder(const QByteArray& keep = {});
  void createControls();
  QLineEdit* addEdit(int id, QRect geometry);
  void request(const std::string& path);
  void launch(Request request);
  void onAnalysisFinished();
  void setBusy(bool busy);
  void onMethodChosen();
  void openFromTable(const QString& folder, const QByteArray& name);
  void openReview(const QString& folder, const std::vector<QByteArray>& names, int index);
  void onCorrectionsSaved(const QString& imagePath);
  void placeImageWindow(const cv::Mat& image);

  QIcon icon_;
  QString imagePath_;
  QListWidget* fileList_ = nullptr;
  QString resultsText_;
  QString folderPath_;
  QString outputFolder_;
  AnalysisSettings settings_;

  QFutureWatcher<Outcome> watcher_;
  std::uint64_t latestId_ = 0;
  std::optional<Request> pending_;
  bool running_ = false;
  bool showing_ = false;
  bool pressedOnSelected_ = false;
  QTimer recountTimer_;
  bool imageWindowMade_ = false;
  bool imageWindowFound_ = false;  // OpenCV's window is a Qt widget of this application
  QPointer<QWidget> imageWindow_;
  QPointer<CFolderAnalysisDlg> folderAnalysis_;
  QPointer<CReviewDlg> review_;

  QMenuBar* menuBar_ = nullptr;
  QAction* adaptiveAction_ = nullptr;
  QAction* fixedAction_ = nullptr;
  QLineEdit* pathBox_ = nullptr;
  QPushButton* browseButton_ = nullptr;
  QPlainTextEdit* resultsBox_ = nullptr;
  QLabel* resultsCaption_ = nullptr;
  QLineEdit* outputBox_ = nullptr;
  QPushButton* outputButton_ = nullptr;
  QPushButton* analyseFolderButton_ = nullptr;
  QProgressBar* busy_ = nullptr;
  QLabel* busyText_ = nullptr;
  QLineEdit* optionBoxes_[4] = {};
  bool transferring_ = false;
};

}  // namespace corvale
