#pragma once
// The photograph under review at any zoom, with a mark on every colony, the dish
// outline and the excluded regions, and the counts in a corner. Acting on it:
//   click a mark               remove the colony (again: restore it; an added one: delete it)
//   click elsewhere            add a colony of the typical size
//   Shift + drag               add a colony, the drag giving its radius
//   Ctrl + drag                exclude a rectangle; Ctrl + click in a region: count it again
//   P, then clicks             exclude a polygon; Enter or a double click closes it, Esc drops it
//   drag the dish outline      change the dish's radius; drag its centre cross to move it
//   drag elsewhere, middle     pan
//   wheel                      zoom around the cursor, down to single pixels
//   F or Home                  fit to the window
//   Page Down / Page Up        next / previous photograph (signals)
// The photograph is kept as a pyramid of halved copies; painting draws only the
// visible part of the level nearest the zoom, so a wheel step never re-scales the
// whole photograph.

#include <vector>

#include <QImage>
#include <QPointF>
#include <QWidget>

#include <opencv2/core.hpp>

#include "analysis/review/corrections.hpp"

namespace corvale {

class CReviewModel;

class CReviewView : public QWidget {
  Q_OBJECT

 public:
  explicit CReviewView(CReviewModel* model, QWidget* parent = nullptr);

  // The photograph (any depth and channels, as decoded) in 8-bit RGB, then halved
  // again and again down to a side of about 256 pixels. Safe on any thread.
  static std::vector<QImage> buildPyramid(const cv::Mat& photograph);
  // Shows the photograph and fits it to the window.
  void setPhotograph(const cv::Mat& photograph) { setPyramid(buildPyramid(photograph)); }
  void setPyramid(std::vector<QImage> levels);
  // Shows a message instead of a photograph (while analysing, or for a failure).
  void setMessage(const QString& message);

  void fitToWindow();
  // Multiplies the zoom by `factor`, keeping the photograph's point under `anchor`
  // (widget coordinates) where it is.
  void zoomAt(QPointF anchor, double factor);
  double zoom() const { return scale_; }  // screen pixels per photograph pixel

  QPointF toImage(QPointF widgetPoint) const;
  QPointF toWidget(QPointF imagePoint) const;

  bool polygonTool() const { return polygonTool_; }
  void setPolygonTool(bool on);

  // The photograph at full size with every mark, the dish, the regions and the counts drawn.
  QImage annotatedImage() const;
  // The pyramid's levels (level 0: full size).
  const std::vector<QImage>& levels() const { return levels_; }

 signals:
  void nextRequested();
  void previousRequested();
  void polygonToolChanged(bool on);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  enum class Drag { none, clickOrPan, pan, addColony, excludeRectangle, dishRadius, dishCentre };

  void paintMarks(QPainter& painter, const QRectF& visibleImage, double scale, double minimumRadius) const;
  void paintCounts(QPainter& painter) const;
  void closePolygon();
  void dragDishTo(QPointF widgetPoint);
  double fitScale() const;

  CReviewModel* model_;
  std::vector<QImage> levels_;
  QSize imageSize_;
  QString message_;
  double scale_ = 1.0;
  QPointF origin_;  // the photograph's point at the widget's top left
  bool fitted_ = true;

  Drag drag_ = Drag::none;
  QPointF pressWidget_;
  QPointF lastWidget_;
  QPointF currentWidget_;
  CountedCircle dragDish_;
  bool polygonTool_ = false;
  std::vector<cv::Point2d> polygon_;
};

}  // namespace corvale
