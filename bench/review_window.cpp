// The review window outside the main dialog: for looking at a review by hand, for
// screenshots of one with corrections made, and for timing zoom and pan.
//
//   review_window [--results DIR] [--adaptive] PHOTO...        review the photographs
//   review_window --demo [--zoom F] [...] PHOTO                with a few corrections made, zoomed in F times
//   review_window --measure [...] PHOTO                        time wheel steps and pan steps, then quit

#include <algorithm>
#include <cstdio>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTimer>
#include <QWheelEvent>

#include "analysis/io/image_files.hpp"
#include "app/review_dialog.hpp"
#include "app/review_model.hpp"
#include "app/review_view.hpp"

using namespace corvale;

namespace {

struct Times {
  std::vector<double> ms;
  void print(const char* what) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-34s n=%3zu  median %6.2f ms  90%% %6.2f ms  max %6.2f ms\n", what, ms.size(), ms[ms.size() / 2],
                ms[ms.size() * 9 / 10], ms.back());
  }
};

// Milliseconds to deliver `event` to the view and repaint it at once.
double timed(CReviewView* view, QEvent* event) {
  QElapsedTimer timer;
  timer.start();
  QApplication::sendEvent(view, event);
  view->repaint();
  return timer.nsecsElapsed() / 1e6;
}

double wheel(CReviewView* view, QPointF at, int delta) {
  QWheelEvent event(at, view->mapToGlobal(at.toPoint()), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                    Qt::NoScrollPhase, false);
  return timed(view, &event);
}

double mouse(CReviewView* view, QEvent::Type type, QPointF at, Qt::MouseButtons buttons) {
  QMouseEvent event(type, at, view->mapToGlobal(at.toPoint()), Qt::LeftButton, buttons, Qt::NoModifier);
  return timed(view, &event);
}

// Wheel steps in and out around a point off the centre, then pans at three zooms. Each
// time covers handling the event and repainting the view at once.
void measure(CReviewDlg& window) {
  CReviewView* view = window.view();
  const QPointF anchor(view->width() * 0.4, view->height() * 0.45);
  Times in, out;
  std::vector<std::pair<double, Times>> pans;
  {
    const cv::Mat photograph = loadPhotograph(window.paths()[0].toStdString());
    QElapsedTimer timer;
    timer.start();
    const std::vector<QImage> levels = CReviewView::buildPyramid(photograph);
    std::printf("pyramid of %zu levels built in %.1f ms (off the GUI thread when a photograph opens)\n",
                levels.size(), timer.nsecsElapsed() / 1e6);
  }
  view->fitToWindow();
  for (int i = 0; i < 25; ++i) in.ms.push_back(wheel(view, anchor, 120));
  std::printf("zoom after 25 steps in: %.1f screen pixels per photograph pixel\n", view->zoom());
  for (int i = 0; i < 25; ++i) out.ms.push_back(wheel(view, anchor, -120));
  for (const int steps : {0, 8, 20}) {
    view->fitToWindow();
    for (int i = 0; i < steps; ++i) wheel(view, anchor, 120);
    Times times;
    mouse(view, QEvent::MouseButtonPress, anchor, Qt::LeftButton);
    for (int i = 1; i <= 40; ++i)
      times.ms.push_back(mouse(view, QEvent::MouseMove, anchor + QPointF(3 * i, 2 * (i % 10)), Qt::LeftButton));
    mouse(view, QEvent::MouseButtonRelease, anchor + QPointF(120, 0), Qt::NoButton);
    pans.emplace_back(view->zoom(), times);
  }
  // For comparison: scaling the whole photograph to the window once, smoothly, as a
  // view without the pyramid would on every wheel step.
  Times rescale;
  for (int i = 0; i < 5; ++i) {
    QElapsedTimer timer;
    timer.start();
    const QImage scaled = view->levels().front().scaled(view->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    rescale.ms.push_back(timer.nsecsElapsed() / 1e6);
  }
  in.print("wheel step in");
  out.print("wheel step out");
  rescale.print("whole photograph scaled (no pyramid)");
  for (auto& [zoom, times] : pans) times.print(qPrintable(QString("pan step at zoom %1").arg(zoom, 0, 'f', 2)));
}

// A few corrections near the middle of the dish, then zoomed in on them.
void demo(CReviewDlg& window, double zoom) {
  CReviewModel* model = window.model();
  const DishAnalysis& analysis = model->analysis();
  const auto dish = model->dish();
  if (analysis.colonies.size() < 4 || !dish) return;
  // The colonies nearest a point a third of the way out from the centre.
  const cv::Point2d focus = dish->centre + cv::Point2d(dish->radius / 3, dish->radius / 4);
  std::vector<Colony> near(analysis.colonies.begin(), analysis.colonies.end());
  std::sort(near.begin(), near.end(), [&](const Colony& a, const Colony& b) {
    return cv::norm(a.centre - focus) < cv::norm(b.centre - focus);
  });
  model->toggleAt(near[0].centre, 1);
  model->addColony(focus + cv::Point2d(-dish->radius / 12, dish->radius / 14), typicalColonyRadius(analysis));
  const cv::Point2d corner = near[6].centre;
  model->exclude(excludedRectangle({corner.x - 40, corner.y - 40, 110, 80}));
  CReviewView* view = window.view();
  view->fitToWindow();
  const QPointF at = view->toWidget({focus.x, focus.y});
  view->zoomAt(at, zoom);
  // Keep the focus in the middle of the view.
  const QPointF shift = view->toWidget({focus.x, focus.y}) - QPointF(view->width() / 2.0, view->height() / 2.0);
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(300, 300), Qt::MiddleButton, Qt::MiddleButton, Qt::NoModifier);
  QApplication::sendEvent(view, &press);
  QMouseEvent move(QEvent::MouseMove, QPointF(300, 300) - shift, Qt::NoButton, Qt::MiddleButton, Qt::NoModifier);
  QApplication::sendEvent(view, &move);
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(300, 300) - shift, Qt::MiddleButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(view, &release);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QStringList paths;
  QString results = "review-results";
  CountingMethod method = CountingMethod::fixed;
  bool measuring = false;
  bool demonstrating = false;
  double zoom = 5.5;
  const QStringList arguments = app.arguments();
  for (int i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == "--measure") measuring = true;
    else if (arguments[i] == "--demo") demonstrating = true;
    else if (arguments[i] == "--zoom" && i + 1 < arguments.size()) zoom = arguments[++i].toDouble();
    else if (arguments[i] == "--adaptive") method = CountingMethod::adaptive;
    else if (arguments[i] == "--results" && i + 1 < arguments.size()) results = arguments[++i];
    else paths << arguments[i];
  }
  if (paths.isEmpty()) {
    std::fprintf(stderr, "usage: review_window [--measure | --demo [--zoom F]] [--adaptive] [--results DIR] PHOTO...\n");
    return 2;
  }
  CReviewDlg window(paths, 0, results, method, AnalysisSettings{});
  window.resize(1400, 950);
  window.show();
  QElapsedTimer opening;
  opening.start();
  QSignalSpy loaded(&window, &CReviewDlg::photographLoaded);
  if (!loaded.wait(120000)) return 1;
  std::printf("%s: analysed and shown in %lld ms, %d colonies, %zu pyramid levels\n", qPrintable(paths[0]),
              opening.elapsed(), window.model()->count().automatic, window.view()->levels().size());
  if (measuring) {
    measure(window);
    return 0;
  }
  if (demonstrating) demo(window, zoom);
  return app.exec();
}
