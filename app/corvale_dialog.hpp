#pragma once
// The main dialog: the folder path and its photographs, the four options, and the
// report of the photograph selected last.

#include <QDialog>
#include <QIcon>
#include <QString>

#include <opencv2/core.hpp>

#include "analysis/settings.hpp"

class QLineEdit;
class QListWidget;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;

namespace corvale {

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
  static constexpr int idFileNew = 32774;
  static constexpr int idFileExit = 32773;
  static constexpr int idAbout = 16;
  static constexpr int idMethodFixed = 32780;
  static constexpr int idMethodAdaptive = 32781;

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
  const QString& folderPath() const { return folderPath_; }
  const QString& imagePath() const { return imagePath_; }
  const QString& resultsText() const { return resultsText_; }
  QListWidget* fileList() const { return fileList_; }

 public slots:
  void OnBrowseFolder();
  void OnFileNew();
  void OnOptionChanged();
  void OnAbout();
  void runDishAnalysis();

 protected:
  // The modal folder chooser; an empty text when the user cancels.
  virtual QString chooseFolder();
  // Closes earlier image windows and shows `image` in a window named `title`.
  virtual void showImageWindow(const QString& title, const cv::Mat& image);

  void keyPressEvent(QKeyEvent* event) override;

 private:
  void DoDataExchange(bool saveAndValidate, bool& ok);
  // Empties the folder path and the list, without a selection notification.
  void clearFolder();
  void createControls();
  QLineEdit* addEdit(int id, QRect geometry);

  QIcon icon_;
  cv::Mat loadedImage_;  // the photograph of the current run; empty between runs
  QString imagePath_;
  QListWidget* fileList_ = nullptr;
  QString resultsText_;
  QString folderPath_;
  AnalysisSettings settings_;

  QMenuBar* menuBar_ = nullptr;
  QAction* adaptiveAction_ = nullptr;
  QLineEdit* pathBox_ = nullptr;
  QPushButton* browseButton_ = nullptr;
  QPlainTextEdit* resultsBox_ = nullptr;
  QLineEdit* optionBoxes_[4] = {};
  bool transferring_ = false;
};

}  // namespace corvale
