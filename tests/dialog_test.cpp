// The main dialog driven as a user drives it, under the offscreen platform.

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include <fstream>

#include <sys/stat.h>

#include <opencv2/imgcodecs.hpp>

#include "analysis/dish_analysis.hpp"
#include "analysis/io/image_files.hpp"
#include "analysis/report/output_formats.hpp"
#include "app/corvale_app.hpp"
#include "app/corvale_dialog.hpp"
#include "app/data_exchange.hpp"
#include "app/review_dialog.hpp"
#include "app/folder_analysis.hpp"
#include "temporary_folder.hpp"

using corvale::CCorvaleDlg;

namespace {

// The dialog with the folder choosers answered by the test and the image window recorded.
class TestDialog : public CCorvaleDlg {
 public:
  QString folderToChoose;
  QString outputToChoose;
  QStringList windowsShown;  // what the one image window shows now
  QStringList everyShow;     // every photograph it was given, in order

 protected:
  QString chooseFolder() override { return folderToChoose; }
  QString chooseOutputFolder() override { return outputToChoose; }
  void showImageWindow(const QString& title, const cv::Mat& image) override {
    windowsShown.clear();
    if (!image.empty()) windowsShown << title;
    everyShow << title;
  }
};

// Waits until the dialog has shown the report of its latest request.
void settle(const CCorvaleDlg& dialog) { QTRY_VERIFY_WITH_TIMEOUT(!dialog.isAnalysing(), 20000); }

template <typename Widget>
Widget* control(const QWidget& dialog, int id) {
  auto* widget = dialog.findChild<Widget*>(QString::number(id));
  if (widget == nullptr) qFatal("no control %d", id);
  return widget;
}

QLineEdit* box(const QWidget& dialog, int id) { return control<QLineEdit>(dialog, id); }

// Answers every message box that opens while `action` runs and returns their texts.
template <typename Action>
QStringList answeringMessageBoxes(Action&& action) {
  QStringList texts;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* message = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      texts << message->text();
      message->accept();
    }
  });
  closer.start(5);
  action();
  return texts;
}

// The synthetic plate of the analysis tests: 4 colonies of 400 to 800 pixels.
void writePlate(const std::string& path, int extraColonies = 0) {
  cv::Mat photo(400, 400, CV_8UC3, cv::Scalar(30, 30, 30));
  photo(cv::Rect(50, 50, 300, 300)).setTo(cv::Scalar(40, 60, 160));
  for (const cv::Rect box : {cv::Rect(150, 150, 20, 20), cv::Rect(200, 160, 25, 20), cv::Rect(160, 210, 30, 20),
                             cv::Rect(210, 220, 40, 20)})
    photo(box).setTo(cv::Scalar::all(220));
  for (int i = 0; i < extraColonies; ++i) photo(cv::Rect(120 + 30 * i, 280, 20, 20)).setTo(cv::Scalar::all(220));
  std::vector<std::uint8_t> png;
  cv::imencode(".png", photo, png);  // lossless content under a .jpg name
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(png.data()), png.size());
}

}  // namespace

class DialogTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    // Every test starts as a first run: no remembered method or output folder.
    QSettings(QStringLiteral("Corvale"), QStringLiteral("Corvale")).clear();
    QDir::setCurrent(QString::fromStdString(work_.path().string()));
  }

  void startsEmptyWithTheDefaultOptions() {
    TestDialog dialog;
    QCOMPARE(box(dialog, CCorvaleDlg::idPath)->text(), QString());
    QCOMPARE(control<QListWidget>(dialog, CCorvaleDlg::idFileList)->count(), 0);
    QCOMPARE(control<QPlainTextEdit>(dialog, CCorvaleDlg::idResults)->toPlainText(), QString());
    QCOMPARE(box(dialog, CCorvaleDlg::idMinArea)->text(), QStringLiteral("400"));
    QCOMPARE(box(dialog, CCorvaleDlg::idMaxArea)->text(), QStringLiteral("3000"));
    QCOMPARE(box(dialog, CCorvaleDlg::idLip)->text(), QStringLiteral("5"));
    QCOMPARE(box(dialog, CCorvaleDlg::idDiameter)->text(), QStringLiteral("100"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Corvale"));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QVERIFY(!dialog.windowIcon().isNull());
    // The icons are linked in: the window and the About box can show them.
    QVERIFY(!dialog.windowIcon().pixmap(32).isNull());
    QVERIFY(!dialog.adaptiveMethod());
    // The images go to a results folder under the user's pictures, made only when needed.
    QCOMPARE(dialog.outputFolder(),
             QStandardPaths::writableLocation(QStandardPaths::PicturesLocation) + "/Corvale results");
    QCOMPARE(box(dialog, CCorvaleDlg::idOutputFolder)->text(), dialog.outputFolder());
    QVERIFY(!QFileInfo::exists(dialog.outputFolder()));
  }

  void tabOrderFollowsTheControls() {
    TestDialog dialog;
    QWidget* expected[] = {box(dialog, 1000), control<QPushButton>(dialog, 1001), control<QListWidget>(dialog, 1002),
                           control<QPlainTextEdit>(dialog, 1003), box(dialog, 1004), box(dialog, 1005),
                           box(dialog, 1006), box(dialog, 1007)};
    const auto nextTabStop = [](QWidget* widget) {
      do widget = widget->nextInFocusChain();
      while (!(widget->focusPolicy() & Qt::TabFocus));
      return widget;
    };
    for (std::size_t i = 1; i < std::size(expected); ++i) QCOMPARE(nextTabStop(expected[i - 1]), expected[i]);
  }

  void typingIntoTheOptionsStoresEachChangeAtOnce() {
    TestDialog dialog;
    dialog.show();
    QLineEdit* minimum = box(dialog, CCorvaleDlg::idMinArea);
    minimum->setFocus();
    minimum->end(false);
    QTest::keyClicks(minimum, "1");
    QCOMPARE(dialog.settings().minColonyArea, 4001);

    box(dialog, CCorvaleDlg::idLip)->setText(QStringLiteral("-5"));
    QCOMPARE(dialog.settings().dishLip, -5);
    box(dialog, CCorvaleDlg::idDiameter)->setText(QStringLiteral("150abc"));
    QCOMPARE(dialog.settings().dishDiameterMm, 150);
    box(dialog, CCorvaleDlg::idMaxArea)->setText(QStringLiteral("10"));  // below the minimum: accepted
    QCOMPARE(dialog.settings().maxColonyArea, 10);
  }

  void anEmptyBoxIsAnErrorAndStopsTheTransfer() {
    TestDialog dialog;
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    QLineEdit* minimum = box(dialog, CCorvaleDlg::idMinArea);
    QLineEdit* lip = box(dialog, CCorvaleDlg::idLip);
    {
      // A value waiting in the lip box that a complete transfer would read.
      const QSignalBlocker quiet(lip);
      lip->setText(QStringLiteral("9"));
    }
    const QStringList errors = answeringMessageBoxes([&] { minimum->clear(); });
    QCOMPARE(errors, QStringList{QStringLiteral("Please enter an integer.")});
    QCOMPARE(dialog.settings().minColonyArea, 400);  // kept its value
    QCOMPARE(dialog.settings().dishLip, 5);          // the boxes after it were not read
    QCOMPARE(dialog.focusWidget(), minimum);
    QCOMPARE(minimum->selectedText(), minimum->text());

    // While it holds no number, a change elsewhere shows the error for it again.
    const QStringList again = answeringMessageBoxes([&] { box(dialog, CCorvaleDlg::idDiameter)->setText("120"); });
    QCOMPARE(again.size(), 1);
    QCOMPARE(dialog.settings().dishDiameterMm, 100);
    QCOMPARE(dialog.focusWidget(), minimum);

    minimum->setText(QStringLiteral("50"));
    QCOMPARE(dialog.settings().minColonyArea, 50);
    QCOMPARE(dialog.settings().dishLip, 9);
    QCOMPARE(dialog.settings().dishDiameterMm, 120);
  }

  void listsThePhotographEntriesOfTheChosenFolder() {
    corvale::testing::TemporaryFolder folder;
    for (const char* name : {"c.png", "B.JPG", "photo.jpeg", "a.jpg", "notes.txt"}) std::ofstream(folder.path() / name) << "x";
    std::filesystem::create_directory(folder.path() / "x.jpg");
    TestDialog dialog;
    dialog.folderToChoose = QString::fromStdString(folder.path().string());
    QSignalSpy selections(dialog.fileList(), &QListWidget::itemSelectionChanged);
    for (int twice = 0; twice < 2; ++twice) {
      control<QPushButton>(dialog, CCorvaleDlg::idBrowse)->click();
      QStringList listed;
      for (int i = 0; i < dialog.fileList()->count(); ++i) listed << dialog.fileList()->item(i)->text();
      QCOMPARE(listed, (QStringList{"a.jpg", "B.JPG", "c.png", "photo.jpeg", "x.jpg"}));
    }
    QCOMPARE(box(dialog, CCorvaleDlg::idPath)->text(), dialog.folderToChoose);
    QVERIFY(dialog.fileList()->selectedItems().isEmpty());
    QCOMPARE(selections.count(), 0);
    QVERIFY(dialog.windowsShown.isEmpty());

    // Cancelling the chooser empties the path and the list.
    dialog.folderToChoose.clear();
    control<QPushButton>(dialog, CCorvaleDlg::idBrowse)->click();
    QCOMPARE(dialog.fileList()->count(), 0);
    QCOMPARE(box(dialog, CCorvaleDlg::idPath)->text(), QString());
  }

  void selectingAPhotographAnalysesItAndShowsOnlyTheLatestReport() {
    corvale::testing::TemporaryFolder folder;
    writePlate((folder.path() / "one.jpg").string());
    writePlate((folder.path() / "two.jpg").string(), 2);
    TestDialog dialog;
    dialog.folderToChoose = QString::fromStdString(folder.path().string());
    control<QPushButton>(dialog, CCorvaleDlg::idBrowse)->click();
    auto* results = control<QPlainTextEdit>(dialog, CCorvaleDlg::idResults);

    dialog.fileList()->setCurrentRow(0);
    QVERIFY(dialog.isAnalysing());  // off the GUI thread: the dialog answers meanwhile
    QVERIFY(control<QProgressBar>(dialog, CCorvaleDlg::idBusy)->isVisibleTo(&dialog));
    settle(dialog);
    QVERIFY(!control<QProgressBar>(dialog, CCorvaleDlg::idBusy)->isVisibleTo(&dialog));
    const QString first = dialog.folderToChoose + "/one.jpg";
    QCOMPARE(dialog.imagePath(), first);
    QCOMPARE(control<QLabel>(dialog, CCorvaleDlg::idResultsCaption)->text(),
             QStringLiteral("Results (fixed threshold method)"));
    QCOMPARE(dialog.resultsText(), QStringLiteral("\r\nData Set: ") + first +
                                       "\r\nPercentage: 3.32 \r\nOverall Area: 260.74 [mm2] \r\n"
                                       "Number of Colonies: 4 \r\nEstimated number of yeasts: 4 \r\n");
    QCOMPARE(results->toPlainText(), corvale::toDisplayText(dialog.resultsText()));
    QCOMPARE(dialog.windowsShown, QStringList{first});
    for (const char* image : {"/threshold.jpg", "/centroid.jpg", "/bb.jpg"})
      QVERIFY(QFile::exists(dialog.outputFolder() + image));
    QVERIFY(!QFile::exists("bb.jpg"));  // never the working folder

    // The latest selection wins: the ones before it are never shown.
    dialog.everyShow.clear();
    dialog.fileList()->setCurrentRow(1);
    dialog.fileList()->setCurrentRow(0);
    dialog.fileList()->setCurrentRow(1);
    settle(dialog);
    QCOMPARE(dialog.everyShow, QStringList{dialog.folderToChoose + "/two.jpg"});
    QVERIFY(dialog.resultsText().contains("two.jpg"));
    QVERIFY(!dialog.resultsText().contains("one.jpg"));
    QVERIFY(dialog.resultsText().contains("Number of Colonies: 6 \r\n"));
    QCOMPARE(dialog.windowsShown, QStringList{dialog.folderToChoose + "/two.jpg"});

    // A new folder keeps the last report; File > New empties only the path and the list.
    control<QAction>(dialog, CCorvaleDlg::idFileNew)->trigger();
    QCOMPARE(dialog.fileList()->count(), 0);
    QCOMPARE(box(dialog, CCorvaleDlg::idPath)->text(), QString());
    QVERIFY(dialog.resultsText().contains("two.jpg"));
  }

  void theMethodMenuSwitchesToTheAdaptiveCount() {
    corvale::testing::TemporaryFolder folder;
    writePlate((folder.path() / "one.jpg").string());
    TestDialog dialog;
    dialog.folderToChoose = QString::fromStdString(folder.path().string());
    control<QPushButton>(dialog, CCorvaleDlg::idBrowse)->click();
    QVERIFY(!dialog.adaptiveMethod());
    control<QAction>(dialog, CCorvaleDlg::idMethodAdaptive)->trigger();
    QVERIFY(dialog.adaptiveMethod());
    QVERIFY(!control<QAction>(dialog, CCorvaleDlg::idMethodFixed)->isChecked());
    dialog.fileList()->setCurrentRow(0);
    settle(dialog);
    QCOMPARE(control<QLabel>(dialog, CCorvaleDlg::idResultsCaption)->text(), QStringLiteral("Results (adaptive method)"));
    // The square test plate has no round rim: the adaptive method says so.
    QVERIFY2(dialog.resultsText().contains("Number of Colonies: "), qPrintable(dialog.resultsText()));
    QVERIFY(dialog.resultsText().contains("Warning: no dish rim found"));
  }

  void aPhotographThatFailsReportsItInTheResults() {
    corvale::testing::TemporaryFolder folder;
    std::ofstream(folder.path() / "broken.jpg") << "not a photograph";
    TestDialog dialog;
    dialog.folderToChoose = QString::fromStdString(folder.path().string());
    control<QPushButton>(dialog, CCorvaleDlg::idBrowse)->click();
    dialog.fileList()->setCurrentRow(0);
    settle(dialog);
    QCOMPARE(dialog.resultsText(), "\r\nError: " + dialog.folderToChoose +
                                       "/broken.jpg: the file is not a JPEG or PNG image\r\n");
    QVERIFY(dialog.windowsShown.isEmpty());
  }

  void oddEntriesFailWithoutHangingAndAnyNameAnalyses() {
    corvale::testing::TemporaryFolder folder;
    QCOMPARE(mkfifo((folder.path() / "pipe.jpg").c_str(), 0600), 0);
    std::filesystem::create_directory(folder.path() / "folder.jpg");
    writePlate((folder.path() / "Sch\xC3\xA4le \xFF.jpg").string());
    TestDialog dialog;
    dialog.folderToChoose = QString::fromStdString(folder.path().string());
    control<QPushButton>(dialog, CCorvaleDlg::idBrowse)->click();
    QCOMPARE(dialog.fileList()->count(), 3);
    for (int row = 0; row < 3; ++row) {
      dialog.fileList()->setCurrentRow(row);
      settle(dialog);
      const QString name = dialog.fileList()->item(row)->text();
      if (name == "pipe.jpg") QVERIFY(dialog.resultsText().endsWith("pipe.jpg: not a regular file\r\n"));
      else if (name == "folder.jpg") QVERIFY(dialog.resultsText().endsWith("folder.jpg: a folder, not a photograph\r\n"));
      else QVERIFY2(dialog.resultsText().contains("Number of Colonies: 4 \r\n"), qPrintable(dialog.resultsText()));
    }
  }

  void changesOfMethodOrOptionsAndAClickOnTheSameFileCountAgain() {
    corvale::testing::TemporaryFolder folder;
    writePlate((folder.path() / "one.jpg").string(), 2);
    TestDialog dialog;
    dialog.show();
    dialog.folderToChoose = QString::fromStdString(folder.path().string());
    control<QPushButton>(dialog, CCorvaleDlg::idBrowse)->click();
    dialog.fileList()->setCurrentRow(0);
    settle(dialog);
    QVERIFY(dialog.resultsText().contains("Number of Colonies: 6 \r\n"));

    // Typing a new size range re-counts once, after the typing pauses.
    dialog.everyShow.clear();
    QLineEdit* maximum = box(dialog, CCorvaleDlg::idMaxArea);
    maximum->selectAll();
    QTest::keyClicks(maximum, "500");
    QVERIFY(!dialog.isAnalysing());  // not on every keystroke
    QTRY_COMPARE_WITH_TIMEOUT(dialog.everyShow.size(), 1, 20000);
    settle(dialog);
    QVERIFY2(!dialog.resultsText().contains("Number of Colonies: 6 \r\n"), qPrintable(dialog.resultsText()));

    // The Method menu re-counts, names the method, and is remembered for the next run.
    control<QAction>(dialog, CCorvaleDlg::idMethodAdaptive)->trigger();
    settle(dialog);
    QCOMPARE(dialog.everyShow.size(), 2);
    QCOMPARE(control<QLabel>(dialog, CCorvaleDlg::idResultsCaption)->text(), QStringLiteral("Results (adaptive method)"));
    QVERIFY(TestDialog().adaptiveMethod());

    // A click on the photograph already selected counts it again; so does F5.
    const QRect item = dialog.fileList()->visualItemRect(dialog.fileList()->item(0));
    QTest::mouseClick(dialog.fileList()->viewport(), Qt::LeftButton, {}, item.center());
    settle(dialog);
    QCOMPARE(dialog.everyShow.size(), 3);
    control<QAction>(dialog, CCorvaleDlg::idCountAgain)->trigger();
    settle(dialog);
    QCOMPARE(dialog.everyShow.size(), 4);
  }

  void outputsNeverOverwriteOrJoinTheListedPhotographs() {
    corvale::testing::TemporaryFolder folder;
    writePlate((folder.path() / "one.jpg").string());
    writePlate((folder.path() / "two.png").string());
    TestDialog dialog;
    dialog.folderToChoose = QString::fromStdString(folder.path().string());
    control<QPushButton>(dialog, CCorvaleDlg::idBrowse)->click();
    // The output folder chosen is the listed folder itself: the images go to a subfolder.
    dialog.outputToChoose = dialog.folderToChoose;
    control<QPushButton>(dialog, CCorvaleDlg::idOutputBrowse)->click();
    QCOMPARE(dialog.outputFolder(), dialog.folderToChoose);
    QCOMPARE(TestDialog().outputFolder(), dialog.folderToChoose);  // remembered
    dialog.fileList()->setCurrentRow(1);
    settle(dialog);
    QVERIFY(dialog.resultsText().contains("two.png"));
    const QString results = dialog.folderToChoose + "/Corvale results";
    for (const char* image : {"/threshold.jpg", "/centroid.jpg", "/bb.jpg"}) {
      QVERIFY(QFile::exists(results + image));
      QVERIFY(!QFile::exists(dialog.folderToChoose + image));
    }
    // Images an earlier version left in the listed output folder are not offered either.
    std::ofstream(folder.path() / "bb.jpg") << "x";
    for (const QString& listed : {dialog.folderToChoose, results}) {
      dialog.folderToChoose = listed;
      control<QPushButton>(dialog, CCorvaleDlg::idBrowse)->click();
      for (int row = 0; row < dialog.fileList()->count(); ++row) {
        const QString name = dialog.fileList()->item(row)->text();
        QVERIFY2(name != "threshold.jpg" && name != "centroid.jpg" && name != "bb.jpg", qPrintable(name));
      }
    }
    QCOMPARE(dialog.fileList()->count(), 0);  // the results subfolder holds only outputs
  }

  void theWholeFolderIsCountedIntoATableAndExportedAsTheCommandLinesCsv() {
    corvale::testing::TemporaryFolder folder;
    writePlate((folder.path() / "a.jpg").string());
    writePlate((folder.path() / "b.png").string(), 2);
    std::ofstream(folder.path() / "c.jpg") << "not a photograph";
    TestDialog dialog;
    dialog.folderToChoose = QString::fromStdString(folder.path().string());
    control<QPushButton>(dialog, CCorvaleDlg::idBrowse)->click();
    box(dialog, CCorvaleDlg::idMinArea)->setText(QStringLiteral("300"));
    control<QAction>(dialog, CCorvaleDlg::idFileAnalyseFolder)->trigger();
    corvale::CFolderAnalysisDlg* table = dialog.folderAnalysis();
    QVERIFY(table != nullptr);
    QVERIFY(table->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!table->isRunning(), 20000);
    QTRY_COMPARE(control<QProgressBar>(*table, corvale::CFolderAnalysisDlg::idProgress)->value(), 3);
    auto* cells = control<QTableWidget>(*table, corvale::CFolderAnalysisDlg::idTable);
    QCOMPARE(cells->rowCount(), 3);
    QCOMPARE(cells->item(0, 0)->text(), QStringLiteral("a.jpg"));
    QCOMPARE(cells->item(0, 1)->text(), QStringLiteral("fixed"));
    QCOMPARE(cells->item(0, 2)->text(), QStringLiteral("4"));
    QCOMPARE(cells->item(1, 2)->text(), QStringLiteral("6"));
    QVERIFY(cells->item(2, 7)->text().startsWith("Error: "));  // flags last
    QCOMPARE(cells->item(0, 3)->text(), QString());  // no corrections saved: no corrected count

    // A row's Review opens the review of that photograph, with the list to step through.
    cells->setCurrentCell(1, 0);
    control<QPushButton>(*table, corvale::CFolderAnalysisDlg::idReview)->click();
    QVERIFY(dialog.review() != nullptr);
    QCOMPARE(dialog.review()->index(), 1);
    QCOMPARE(dialog.review()->paths().size(), 3);
    dialog.review()->close();

    // The export is what corvale-cli --format csv --no-images writes for these photographs.
    corvale::AnalysisSettings settings;
    settings.minColonyArea = 300;
    std::string expected = corvale::summaryCsvHeader();
    for (const char* name : {"a.jpg", "b.png", "c.jpg"})
      expected += corvale::summaryCsvRow(corvale::analysePhotographFile(
          corvale::joinImagePath(folder.path().string(), name), corvale::CountingMethod::fixed, settings,
          corvale::RunOptions{{}, false}));
    const QString csv = QString::fromStdString((work_.path() / "summary.csv").string());
    QCOMPARE(table->exportCsv(csv), QString());
    QFile written(csv);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll().toStdString(), expected);

    // A row opens its photograph in the dialog.
    emit cells->cellActivated(1, 0);
    settle(dialog);
    QCOMPARE(dialog.fileList()->currentRow(), 1);
    QCOMPARE(dialog.windowsShown, QStringList{dialog.folderToChoose + "/b.png"});
  }

  void enterNeverEndsTheDialogButEscapeAndExitDo() {
    TestDialog dialog;
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    box(dialog, CCorvaleDlg::idPath)->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(dialog.isVisible());

    // With the focus on Path, Enter presses it.
    auto* browse = control<QPushButton>(dialog, CCorvaleDlg::idBrowse);
    browse->setFocus();
    QSignalSpy clicks(browse, &QPushButton::clicked);
    QTest::keyClick(browse, Qt::Key_Return);
    QCOMPARE(clicks.count(), 1);
    QVERIFY(dialog.isVisible());

    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
  }

  void fileExitEndsTheApplication() {
    auto* app = qobject_cast<corvale::CCorvaleApp*>(QApplication::instance());
    QVERIFY(app != nullptr);
    QTimer::singleShot(0, [] {
      // The dialog is modal to nothing (the image window stays usable): find it by its kind.
      CCorvaleDlg* dialog = nullptr;
      for (QWidget* window : QApplication::topLevelWidgets())
        if (window->isVisible() && qobject_cast<CCorvaleDlg*>(window) != nullptr) dialog = qobject_cast<CCorvaleDlg*>(window);
      QVERIFY(dialog != nullptr);
      QVERIFY(QApplication::activeModalWidget() == nullptr);
      control<QAction>(*dialog, CCorvaleDlg::idFileExit)->trigger();
    });
    QCOMPARE(app->InitInstance(), 0);  // returns once the dialog has closed
  }

  void scanIntegerReadsLikePercentD() {
    QCOMPARE(corvale::scanInteger("12abc"), std::optional<int>(12));
    QCOMPARE(corvale::scanInteger("  -7"), std::optional<int>(-7));
    QCOMPARE(corvale::scanInteger("+3"), std::optional<int>(3));
    QCOMPARE(corvale::scanInteger("-2147483648"), std::optional<int>(-2147483648));
    QVERIFY(!corvale::scanInteger("").has_value());
    QVERIFY(!corvale::scanInteger("-").has_value());
    QVERIFY(!corvale::scanInteger("abc12").has_value());
    QVERIFY(!corvale::scanInteger("2147483648").has_value());
  }

 private:
  corvale::testing::TemporaryFolder work_;
};

int main(int argc, char** argv) {
  // The user's settings and pictures folder stay untouched: a home of the test's own.
  corvale::testing::TemporaryFolder home;
  qputenv("HOME", QByteArray::fromStdString(home.path().string()));
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((home.path() / ".config").string()));
  corvale::CCorvaleApp app(argc, argv);
  DialogTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "dialog_test.moc"
