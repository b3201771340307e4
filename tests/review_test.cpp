// Reviewing a count: the corrections and their file, the review model's undo history,
// the view's mouse actions, and a review's corrections read back by corvale-cli.

#include <QApplication>
#include <QSignalSpy>
#include <QtTest>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <functional>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis/review/corrections_file.hpp"
#include "app/review_dialog.hpp"
#include "app/review_model.hpp"
#include "app/review_view.hpp"
#include "temporary_folder.hpp"

using namespace corvale;

namespace {

const std::string sha(64, 'a');

// Five colonies on a dish centred at (200, 200) counted out to radius 150.
DishAnalysis fiveColonies() {
  DishAnalysis analysis;
  analysis.imagePath = "plates/plate.jpg";
  analysis.sha256 = sha;
  analysis.method = CountingMethod::adaptive;
  analysis.adaptive = AdaptiveMeasures{{200, 200}, 180, 150, 0, 0, 0};
  const cv::Point2d centres[] = {{100, 200}, {150, 200}, {160, 210}, {250, 250}, {320, 200}};
  for (const cv::Point2d& centre : centres)
    analysis.colonies.push_back({centre, 78.5, 5, cv::Rect(centre.x - 5, centre.y - 5, 10, 10), ColonyKind::lone, 1});
  analysis.colonies[2].kind = ColonyKind::split;
  return analysis;
}

// The photograph of fiveColonies(): grey agar with a white disc at every colony.
cv::Mat fiveColoniesPhotograph() {
  cv::Mat photo(400, 400, CV_8UC3, cv::Scalar(60, 90, 150));
  for (const Colony& colony : fiveColonies().colonies) cv::circle(photo, cv::Point(colony.centre), 5, cv::Scalar::all(240), -1);
  return photo;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

int occurrences(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string runCli(const std::string& arguments) {
  std::string out;
  FILE* pipe = popen((std::string(CORVALE_CLI) + " " + arguments + " 2>&1").c_str(), "r");
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  pclose(pipe);
  return out;
}

// Compares counts field by field, so that a failure names the field.
void compareCounts(const CorrectedCount& actual, const CorrectedCount& expected, const char* step) {
  const int a[] = {actual.automatic, actual.removed, actual.excluded, actual.added, actual.total};
  const int e[] = {expected.automatic, expected.removed, expected.excluded, expected.added, expected.total};
  for (int i = 0; i < 5; ++i) QVERIFY2(a[i] == e[i], qPrintable(QString("%1: field %2 is %3, not %4").arg(step).arg(i).arg(a[i]).arg(e[i])));
}

}  // namespace

class ReviewTest : public QObject {
  Q_OBJECT

 private slots:
  // Every correction, its counts, then all of them undone and redone in turn.
  void correctionsCountAndUndo() {
    CReviewModel model;
    model.setAnalysis(fiveColonies());
    struct Step {
      const char* name;
      std::function<void()> act;
      CorrectedCount count;
    };
    const Step steps[] = {
        {"remove near a centre", [&] { QVERIFY(model.toggleAt({102, 201}, 1)); }, {5, 1, 0, 0, 4}},
        {"restore it", [&] { QVERIFY(model.toggleAt({100, 200}, 1)); }, {5, 0, 0, 0, 5}},
        {"remove the split one", [&] { QVERIFY(model.toggleAt({160, 210}, 1)); }, {5, 1, 0, 0, 4}},
        {"add one", [&] { model.addColony({300, 100}, 6); }, {5, 1, 0, 1, 5}},
        {"add another", [&] { model.addColony({310, 110}, 4); }, {5, 1, 0, 2, 6}},
        {"delete the first added", [&] { QVERIFY(model.toggleAt({300, 101}, 1)); }, {5, 1, 0, 1, 5}},
        // The removed colony lies in the rectangle too: it stays counted as removed.
        {"exclude a rectangle", [&] { model.exclude(excludedRectangle({140, 190, 30, 30})); }, {5, 1, 1, 1, 4}},
        {"exclude a triangle", [&] { model.exclude({{{240, 240}, {270, 240}, {240, 270}}}); }, {5, 1, 2, 1, 3}},
        {"count the rectangle again", [&] { QVERIFY(model.includeAt({145, 195})); }, {5, 1, 1, 1, 4}},
        {"exclude it again", [&] { model.exclude(excludedRectangle({140, 190, 30, 30})); }, {5, 1, 2, 1, 3}},
        {"shrink the dish", [&] { model.setDish({{200, 200}, 110}); }, {5, 1, 3, 1, 2}},
        {"move the dish", [&] { model.setDish({{300, 200}, 60}); }, {5, 1, 3, 1, 2}},  // one leaves, one returns
    };
    std::vector<CorrectedCount> counts{model.count()};
    for (const Step& step : steps) {
      step.act();
      compareCounts(model.count(), step.count, step.name);
      counts.push_back(model.count());
    }
    QVERIFY(!model.toggleAt({20, 20}, 2));  // nothing there: no step
    QVERIFY(!model.includeAt({20, 20}));
    QCOMPARE(model.undoStack()->count(), static_cast<int>(std::size(steps)));
    const Corrections last = model.corrections();
    for (std::size_t i = std::size(steps); i-- > 0;) {
      model.undoStack()->undo();
      compareCounts(model.count(), counts[i], steps[i].name);
    }
    QVERIFY(model.corrections().empty());
    for (std::size_t i = 0; i < std::size(steps); ++i) {
      model.undoStack()->redo();
      compareCounts(model.count(), counts[i + 1], steps[i].name);
    }
    QVERIFY(model.corrections() == last);
  }

  // Removed centres take the nearest colony within the tolerance that no other removal
  // took; regions exclude by the colony's centre, concave ones included.
  void whichColoniesStopCounting() {
    DishAnalysis analysis;
    for (const cv::Point2d centre : {cv::Point2d{100, 100}, cv::Point2d{104, 100}, cv::Point2d{200, 200}})
      analysis.colonies.push_back({centre, 12, 2, cv::Rect(), ColonyKind::lone, 1});
    const auto C = ColonyStatus::counted;
    const auto R = ColonyStatus::removed;
    const auto X = ColonyStatus::excluded;
    // An L whose notch holds the third colony.
    const ExcludedRegion ell{{{150, 150}, {250, 150}, {250, 170}, {170, 170}, {170, 250}, {150, 250}}};
    const struct {
      std::vector<cv::Point2d> removed;
      std::vector<ExcludedRegion> excluded;
      std::vector<ColonyStatus> expected;
    } cases[] = {
        {{{101, 100}}, {}, {R, C, C}},
        {{{102.9, 100}}, {}, {C, R, C}},
        {{{101, 100}, {101, 100}}, {}, {R, R, C}},
        {{{101, 100}, {101, 100}, {101, 100}}, {}, {R, R, C}},
        {{{203.5, 200}}, {}, {C, C, C}},
        {{}, {ell}, {C, C, C}},
        {{}, {excludedRectangle({90, 90, 20, 20})}, {X, X, C}},
        {{{100, 100}}, {excludedRectangle({90, 90, 20, 20})}, {R, X, C}},
    };
    for (const auto& c : cases) {
      const Corrections corrections{c.removed, {}, c.excluded, std::nullopt};
      QVERIFY(colonyStatuses(analysis, corrections) == c.expected);
    }
  }

  // Saved, then loaded into a fresh model: the same corrections and counts, unmodified.
  void saveAndReload() {
    testing::TemporaryFolder folder;
    CReviewModel model;
    model.setAnalysis(fiveColonies());
    model.toggleAt({250, 250}, 1);
    model.addColony({330.25, 120.5}, 7.5);
    model.exclude({{{90, 190}, {110, 190}, {110, 210}, {95, 215}, {90, 210}}});
    model.setDish({{205.5, 199}, 140});
    QVERIFY(model.modified());
    model.save(folder.path());
    QVERIFY(!model.modified());

    const auto file = loadCorrections(folder.path(), sha);
    QVERIFY(file.has_value());
    QCOMPARE(file->imageName, std::string("plate.jpg"));
    QVERIFY(madeFor(*file, CountingMethod::adaptive, {}));
    QVERIFY(!madeFor(*file, CountingMethod::fixed, {}));
    CReviewModel reopened;
    reopened.setAnalysis(fiveColonies(), file->corrections);
    QVERIFY(reopened.corrections() == model.corrections());
    compareCounts(reopened.count(), model.count(), "reloaded");
    QVERIFY(!reopened.modified());
    QVERIFY(!loadCorrections(folder.path(), std::string(64, 'b')).has_value());
  }

  // Files that must not be taken for corrections.
  void brokenFilesAreRefused() {
    testing::TemporaryFolder folder;
    CorrectionsFile good{sha, "plate.jpg", CountingMethod::fixed, {}, {{{1, 2}}, {}, {}, std::nullopt}};
    nlohmann::json otherPhotograph = correctionsToJson(good);
    otherPhotograph["sha256"] = std::string(64, 'c');
    nlohmann::json newerFormat = correctionsToJson(good);
    newerFormat["format"] = correctionsFormatVersion + 1;
    nlohmann::json twoCorners = correctionsToJson(good);
    twoCorners["excluded"] = {{{0, 0}, {5, 5}}};
    nlohmann::json noRemoved = correctionsToJson(good);
    noRemoved.erase("removed");
    nlohmann::json textCoordinate = correctionsToJson(good);
    textCoordinate["removed"] = {{"1", 2}};
    nlohmann::json negativeRadius = correctionsToJson(good);
    negativeRadius["dish"] = {{"x", 1}, {"y", 1}, {"radius", -3}};
    nlohmann::json fractionalSetting = correctionsToJson(good);
    fractionalSetting["settings"]["dishLip"] = 2.5;
    for (const std::string& text : {std::string("{\"format\": 1,"), otherPhotograph.dump(), newerFormat.dump(),
                                    twoCorners.dump(), noRemoved.dump(), textCoordinate.dump(), negativeRadius.dump(),
                                    fractionalSetting.dump()}) {
      std::ofstream(correctionsFilePath(folder.path(), sha)) << text;
      QVERIFY_EXCEPTION_THROWN(loadCorrections(folder.path(), sha), std::runtime_error);
      DishAnalysis analysis = fiveColonies();
      applyCorrectionsFrom(folder.path(), analysis);  // flagged, not applied
      QVERIFY(!analysis.corrections.has_value());
      QCOMPARE(analysis.flags.size(), std::size_t{1});
    }
    QVERIFY_EXCEPTION_THROWN(correctionsFilePath(folder.path(), "../x"), std::invalid_argument);
  }

  // The mouse on the view: a click on a mark removes it, Ctrl+drag excludes, a drag of
  // the dish's outline resizes it, and a zoom keeps the point under the cursor.
  void mouseActions() {
    CReviewModel model;
    model.setAnalysis(fiveColonies());
    CReviewView view(&model);
    view.resize(400, 400);
    view.setPhotograph(fiveColoniesPhotograph());
    view.show();
    const auto at = [&](double x, double y) { return view.toWidget({x, y}).toPoint(); };
    QTest::mouseClick(&view, Qt::LeftButton, {}, at(320, 200));
    compareCounts(model.count(), {5, 1, 0, 0, 4}, "click on a mark");
    QTest::mouseClick(&view, Qt::LeftButton, {}, at(300, 120));
    compareCounts(model.count(), {5, 1, 0, 1, 5}, "click beside the marks");
    QTest::mousePress(&view, Qt::LeftButton, Qt::ControlModifier, at(90, 180));
    QTest::mouseMove(&view, at(170, 220));
    QTest::mouseRelease(&view, Qt::LeftButton, Qt::ControlModifier, at(170, 220));
    compareCounts(model.count(), {5, 1, 3, 1, 2}, "ctrl+drag");
    QTest::mouseClick(&view, Qt::LeftButton, {}, at(348, 200));  // a click on the outline is a click
    compareCounts(model.count(), {5, 1, 3, 2, 3}, "click on the dish outline");
    model.undoStack()->undo();
    QTest::mousePress(&view, Qt::LeftButton, {}, at(350, 200));  // on the outline, radius 150
    QTest::mouseMove(&view, at(300, 200));
    QTest::mouseRelease(&view, Qt::LeftButton, {}, at(300, 200));
    QVERIFY(model.corrections().dish.has_value());
    QVERIFY(std::abs(model.corrections().dish->radius - 100) < 2);
    compareCounts(model.count(), {5, 1, 3, 1, 2}, "dish to radius 100");

    const QPointF anchor(123, 77);
    const QPointF before = view.toImage(anchor);
    view.zoomAt(anchor, 8);
    QVERIFY((view.toImage(anchor) - before).manhattanLength() < 1e-9);
    QVERIFY(view.levels().size() >= 1);
    QCOMPARE(view.annotatedImage().size(), QSize(400, 400));
  }

  // A review in the window saves its corrections on leaving; a renamed copy of the
  // photograph shows them again; corvale-cli applies them to its outputs.
  void windowSavesAndTheCommandLineReads() {
    testing::TemporaryFolder folder;
    cv::Mat photo(400, 400, CV_8UC3, cv::Scalar(30, 30, 30));
    photo(cv::Rect(50, 50, 300, 300)).setTo(cv::Scalar(40, 60, 160));
    for (int i = 0; i < 3; ++i) photo(cv::Rect(110 + 30 * i, 190, 20, 20 + i)).setTo(cv::Scalar::all(230));
    const std::string plate = (folder.path() / "plate.jpg").string();
    cv::imwrite(plate, photo, {cv::IMWRITE_JPEG_QUALITY, 100});
    const QString results = QString::fromStdString((folder.path() / "results").string());
    const AnalysisSettings settings{100, 3000, 5, 100};
    {
      CReviewDlg window({QString::fromStdString(plate)}, 0, results, CountingMethod::fixed, settings);
      QSignalSpy loaded(&window, &CReviewDlg::photographLoaded);
      QVERIFY(loaded.wait(20000));
      QCOMPARE(window.model()->count().automatic, 3);
      QVERIFY(window.model()->toggleAt(window.model()->analysis().colonies[0].centre, 1));
      window.model()->addColony({200, 260}, 9);
      window.model()->addColony({200, 300}, 9);
      QSignalSpy saved(&window, &CReviewDlg::correctionsSaved);
      window.reject();  // leaving the photograph saves
      QCOMPARE(saved.size(), 1);
      QCOMPARE(saved[0][1].toInt(), 4);
    }
    std::filesystem::create_directory(folder.path() / "renamed");
    std::filesystem::copy_file(plate, folder.path() / "renamed" / "other name.jpg");
    {
      CReviewDlg window({QString::fromStdString((folder.path() / "renamed" / "other name.jpg").string())}, 0, results,
                        CountingMethod::fixed, settings);
      QSignalSpy loaded(&window, &CReviewDlg::photographLoaded);
      QVERIFY(loaded.wait(20000));
      compareCounts(window.model()->count(), {3, 1, 0, 2, 4}, "reopened");
      QVERIFY(!window.exportAnnotated().isEmpty());
    }
    QVERIFY(std::filesystem::exists(folder.path() / "results" / "other name.reviewed.jpg"));

    const std::string corrections = (folder.path() / "results" / "corrections").string();
    const std::string rows = (folder.path() / "rows.csv").string();
    const std::string csv = runCli("--format csv --no-images --method fixed --min-area 100 --corrections '" + corrections +
                                   "' --colonies '" + rows + "' '" + plate + "'");
    QVERIFY2(csv.find("\n") != std::string::npos && csv.substr(csv.size() - 3) == ",4\n", csv.c_str());
    const std::string colonies = readFile(rows);
    QCOMPARE(occurrences(colonies, "\n"), 1 + 3 + 2);
    QCOMPARE(occurrences(colonies, ",lone,removed\n"), 1);
    QCOMPARE(occurrences(colonies, ",added,added\n"), 2);
    QVERIFY(runCli("--no-images --method fixed --min-area 100 --corrections '" + corrections + "' '" + plate + "'")
                .find("\nCorrected count: 4 (1 removed, 0 excluded, 2 added in review)\n") != std::string::npos);
    const std::string other = runCli("--format json --no-images --method fixed --min-area 200 --corrections '" + corrections + "' '" + plate + "'");
    const nlohmann::json result = nlohmann::json::parse(other)[0];
    QVERIFY(result["correctedCount"].is_null());  // other settings: not applied, and said so
    QCOMPARE(result["flags"].size(), std::size_t{1});
  }
};

QTEST_MAIN(ReviewTest)
#include "review_test.moc"
