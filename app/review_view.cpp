#include "app/review_view.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>

#include <opencv2/imgproc.hpp>

#include "app/review_model.hpp"

namespace corvale {
namespace {

constexpr double maximumZoom = 32.0;       // screen pixels per photograph pixel
constexpr double clickSlack = 4.0;         // screen pixels a click may move and stay a click
constexpr double grabDistance = 8.0;       // screen pixels from the dish outline or centre that grab it
constexpr double smallestLevelSide = 256;  // the pyramid stops halving below this

// Colony centres put a pixel's centre on whole numbers, while the pixel itself covers
// the square from half a pixel before to half a pixel after; the view's origin is on
// the latter scale.
constexpr QPointF halfPixel(0.5, 0.5);

// 8-bit RGB of a decoded photograph of any depth and channel count.
cv::Mat displayRgb(const cv::Mat& photograph) {
  cv::Mat eight;
  if (photograph.depth() == CV_8U) eight = photograph;
  else if (photograph.depth() == CV_16U) photograph.convertTo(eight, CV_8U, 1.0 / 257.0);
  else cv::normalize(photograph, eight, 0, 255, cv::NORM_MINMAX, CV_8U);
  cv::Mat rgb;
  switch (eight.channels()) {
    case 1: cv::cvtColor(eight, rgb, cv::COLOR_GRAY2RGB); break;
    case 4: cv::cvtColor(eight, rgb, cv::COLOR_BGRA2RGB); break;
    default: cv::cvtColor(eight, rgb, cv::COLOR_BGR2RGB); break;
  }
  return rgb;
}

QImage toQImage(const cv::Mat& rgb) {
  return QImage(rgb.data, rgb.cols, rgb.rows, static_cast<int>(rgb.step), QImage::Format_RGB888).copy();
}

QPointF qt(cv::Point2d p) { return {p.x, p.y}; }
cv::Point2d cv2(QPointF p) { return {p.x(), p.y()}; }

QColor kindColour(ColonyKind kind) {
  switch (kind) {
    case ColonyKind::lone: return QColor(60, 220, 60);
    case ColonyKind::split: return QColor(0, 200, 255);
    case ColonyKind::estimated: return QColor(255, 80, 255);
  }
  return Qt::white;
}

// Lone colonies are circles, split ones diamonds, estimated ones squares.
void drawShape(QPainter& painter, ColonyKind kind, QPointF centre, double r) {
  switch (kind) {
    case ColonyKind::lone: painter.drawEllipse(centre, r, r); break;
    case ColonyKind::split:
      painter.drawPolygon(QPolygonF({centre + QPointF(0, -r), centre + QPointF(r, 0), centre + QPointF(0, r),
                                     centre + QPointF(-r, 0)}));
      break;
    case ColonyKind::estimated: painter.drawRect(QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r)); break;
  }
}

}  // namespace

CReviewView::CReviewView(CReviewModel* model, QWidget* parent) : QWidget(parent), model_(model) {
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(false);
  setMinimumSize(320, 240);
  setAttribute(Qt::WA_OpaquePaintEvent);
  connect(model_, &CReviewModel::changed, this, qOverload<>(&QWidget::update));
}

std::vector<QImage> CReviewView::buildPyramid(const cv::Mat& photograph) {
  std::vector<QImage> levels;
  cv::Mat level = displayRgb(photograph);
  levels.push_back(toQImage(level));
  while (std::max(level.cols, level.rows) / 2 >= smallestLevelSide) {
    cv::Mat half;
    cv::resize(level, half, cv::Size((level.cols + 1) / 2, (level.rows + 1) / 2), 0, 0, cv::INTER_AREA);
    levels.push_back(toQImage(half));
    level = half;
  }
  return levels;
}

void CReviewView::setPyramid(std::vector<QImage> levels) {
  levels_ = std::move(levels);
  message_.clear();
  polygon_.clear();
  imageSize_ = levels_.empty() ? QSize() : levels_.front().size();
  fitToWindow();
}

void CReviewView::setMessage(const QString& message) {
  message_ = message;
  levels_.clear();
  imageSize_ = {};
  update();
}

double CReviewView::fitScale() const {
  if (imageSize_.isEmpty()) return 1.0;
  return std::min(width() / static_cast<double>(imageSize_.width()), height() / static_cast<double>(imageSize_.height()));
}

void CReviewView::fitToWindow() {
  scale_ = fitScale();
  origin_ = QPointF(imageSize_.width() / 2.0 - width() / (2.0 * scale_), imageSize_.height() / 2.0 - height() / (2.0 * scale_));
  fitted_ = true;
  update();
}

void CReviewView::zoomAt(QPointF anchor, double factor) {
  if (imageSize_.isEmpty()) return;
  const QPointF fixed = origin_ + anchor / scale_;
  scale_ = std::clamp(scale_ * factor, std::min(fitScale(), 1.0) / 2.0, maximumZoom);
  origin_ = fixed - anchor / scale_;
  fitted_ = false;
  update();
}

QPointF CReviewView::toImage(QPointF widgetPoint) const { return origin_ + widgetPoint / scale_ - halfPixel; }
QPointF CReviewView::toWidget(QPointF imagePoint) const { return (imagePoint + halfPixel - origin_) * scale_; }

void CReviewView::setPolygonTool(bool on) {
  if (on == polygonTool_) return;
  polygonTool_ = on;
  polygon_.clear();
  setMouseTracking(on);  // the open polygon follows the cursor
  emit polygonToolChanged(on);
  update();
}

void CReviewView::resizeEvent(QResizeEvent*) {
  if (fitted_) fitToWindow();
}

void CReviewView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor(40, 40, 40));
  if (levels_.empty()) {
    painter.setPen(Qt::white);
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, message_);
    return;
  }
  // The level with at least one of its pixels per screen pixel.
  std::size_t level = 0;
  while (level + 1 < levels_.size() && std::ldexp(1.0, static_cast<int>(level) + 1) * scale_ <= 1.0) ++level;
  const QRectF visible = QRectF(origin_, QSizeF(width(), height()) / scale_)
                             .intersected(QRectF(QPointF(0, 0), QSizeF(imageSize_)));
  if (!visible.isEmpty()) {
    const double shrink = std::ldexp(1.0, -static_cast<int>(level));
    const QRectF source(visible.topLeft() * shrink, visible.size() * shrink);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, scale_ < 2.0);
    painter.drawImage(QRectF((visible.topLeft() - origin_) * scale_, visible.size() * scale_), levels_[level], source);
  }
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.save();
  painter.scale(scale_, scale_);
  painter.translate(halfPixel - origin_);
  paintMarks(painter, visible.adjusted(-50, -50, 50, 50), scale_, 3.0 / scale_);

  // What is being drawn right now.
  const QPointF press = toImage(pressWidget_);
  const QPointF current = toImage(currentWidget_);
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(Qt::yellow, 1.5 / scale_, Qt::DashLine));
  if (drag_ == Drag::addColony) {
    const double r = std::hypot(current.x() - press.x(), current.y() - press.y());
    painter.drawEllipse(press, r, r);
  } else if (drag_ == Drag::excludeRectangle) {
    painter.drawRect(QRectF(press, current).normalized());
  }
  if (!polygon_.empty()) {
    QPolygonF open;
    for (const cv::Point2d& corner : polygon_) open << qt(corner);
    open << toImage(mapFromGlobal(QCursor::pos()));
    painter.drawPolyline(open);
  }
  painter.restore();
  paintCounts(painter);
}

void CReviewView::paintMarks(QPainter& painter, const QRectF& visibleImage, double scale, double minimumRadius) const {
  const DishAnalysis& analysis = model_->analysis();
  const Corrections& corrections = model_->corrections();
  const double line = 1.5 / scale;

  // Excluded regions: hatched red.
  for (const ExcludedRegion& region : corrections.excluded) {
    QPolygonF polygon;
    for (const cv::Point2d& corner : region.corners) polygon << qt(corner);
    painter.setPen(QPen(QColor(255, 60, 60), 2 * line));
    QBrush hatch(QColor(255, 60, 60, 150), Qt::BDiagPattern);
    hatch.setTransform(QTransform::fromScale(1 / scale, 1 / scale));
    painter.setBrush(hatch);
    painter.drawPolygon(polygon);
  }

  // The dish: a blue outline with a cross at its centre; while dragged, where it goes.
  std::optional<CountedCircle> dish = model_->dish();
  if (drag_ == Drag::dishRadius || drag_ == Drag::dishCentre) dish = dragDish_;
  if (dish) {
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(80, 140, 255), 2 * line));
    painter.drawEllipse(qt(dish->centre), dish->radius, dish->radius);
    const double arm = 10.0 / scale;
    painter.drawLine(qt(dish->centre) - QPointF(arm, 0), qt(dish->centre) + QPointF(arm, 0));
    painter.drawLine(qt(dish->centre) - QPointF(0, arm), qt(dish->centre) + QPointF(0, arm));
  }

  // The colonies.
  const std::vector<ColonyStatus>& statuses = model_->statuses();
  painter.setBrush(Qt::NoBrush);
  for (std::size_t i = 0; i < analysis.colonies.size(); ++i) {
    const Colony& colony = analysis.colonies[i];
    const QPointF centre = qt(colony.centre);
    const double r = std::max(colony.radius, minimumRadius);
    if (!visibleImage.adjusted(-r, -r, r, r).contains(centre)) continue;
    const ColonyStatus status = i < statuses.size() ? statuses[i] : ColonyStatus::counted;
    if (status == ColonyStatus::counted) {
      painter.setPen(QPen(kindColour(colony.kind), line));
      drawShape(painter, colony.kind, centre, r);
    } else if (status == ColonyStatus::removed) {
      painter.setPen(QPen(QColor(160, 160, 160), line));
      drawShape(painter, colony.kind, centre, r);
      painter.setPen(QPen(QColor(255, 40, 40), 2 * line));
      const double d = r * 0.8;
      painter.drawLine(centre + QPointF(-d, -d), centre + QPointF(d, d));
      painter.drawLine(centre + QPointF(-d, d), centre + QPointF(d, -d));
    } else {
      painter.setPen(QPen(QColor(150, 150, 150), line, Qt::DotLine));
      drawShape(painter, colony.kind, centre, r);
    }
  }
  // Added colonies: yellow circles with a plus.
  for (const AddedColony& added : corrections.added) {
    const QPointF centre = qt(added.centre);
    const double r = std::max(added.radius, minimumRadius);
    painter.setPen(QPen(QColor(255, 230, 0), 2 * line));
    painter.drawEllipse(centre, r, r);
    const double d = r * 0.5;
    painter.drawLine(centre - QPointF(d, 0), centre + QPointF(d, 0));
    painter.drawLine(centre - QPointF(0, d), centre + QPointF(0, d));
  }
}

void CReviewView::paintCounts(QPainter& painter) const {
  if (levels_.empty()) return;
  const CorrectedCount& c = model_->count();
  const QString text = tr("Automatic %1   Removed %2   Excluded %3   Added %4   Corrected %5")
                           .arg(c.automatic).arg(c.removed).arg(c.excluded).arg(c.added).arg(c.total);
  QFont font = painter.font();
  font.setBold(true);
  painter.setFont(font);
  const QRect box = painter.fontMetrics().boundingRect(text).adjusted(-8, -5, 8, 5).translated(12, 8 + painter.fontMetrics().ascent());
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0, 0, 0, 170));
  painter.drawRoundedRect(box, 4, 4);
  painter.setPen(Qt::white);
  painter.drawText(box, Qt::AlignCenter, text);
}

QImage CReviewView::annotatedImage() const {
  if (levels_.empty()) return {};
  QImage image = levels_.front().convertToFormat(QImage::Format_RGB32);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.translate(halfPixel);
  const double lineScale = std::max(1.0, imageSize_.width() / 1500.0);  // lines that show at a normal size
  paintMarks(painter, QRectF(QPointF(0, 0), QSizeF(imageSize_)), 1.0 / lineScale, 3.0);
  // The counts in the corner, at a size that reads like the window's.
  painter.resetTransform();
  painter.scale(lineScale, lineScale);
  paintCounts(painter);
  return image;
}

void CReviewView::wheelEvent(QWheelEvent* event) {
  const double steps = event->angleDelta().y() / 120.0;
  if (steps != 0) zoomAt(event->position(), std::pow(1.25, steps));
  event->accept();
}

void CReviewView::mousePressEvent(QMouseEvent* event) {
  pressWidget_ = lastWidget_ = currentWidget_ = event->localPos();
  if (imageSize_.isEmpty()) return;
  if (event->button() == Qt::MiddleButton) {
    drag_ = Drag::pan;
    return;
  }
  if (event->button() != Qt::LeftButton) return;
  if (polygonTool_) {
    polygon_.push_back(cv2(toImage(event->localPos())));
    update();
    return;
  }
  if (event->modifiers() & Qt::ControlModifier) {
    drag_ = Drag::excludeRectangle;
    return;
  }
  if (event->modifiers() & Qt::ShiftModifier) {
    drag_ = Drag::addColony;
    return;
  }
  drag_ = Drag::clickOrPan;
  if (const auto dish = model_->dish()) {
    const QPointF centre = toWidget(qt(dish->centre));
    const double fromCentre = std::hypot(event->localPos().x() - centre.x(), event->localPos().y() - centre.y());
    if (fromCentre <= grabDistance) drag_ = Drag::dishCentre;
    else if (std::abs(fromCentre - dish->radius * scale_) <= grabDistance) drag_ = Drag::dishRadius;
    if (drag_ != Drag::clickOrPan) dragDish_ = *dish;
  }
}

void CReviewView::mouseMoveEvent(QMouseEvent* event) {
  currentWidget_ = event->localPos();
  const QPointF step = currentWidget_ - lastWidget_;
  lastWidget_ = currentWidget_;
  if (drag_ == Drag::clickOrPan && (currentWidget_ - pressWidget_).manhattanLength() > clickSlack) drag_ = Drag::pan;
  switch (drag_) {
    case Drag::pan:
      origin_ -= step / scale_;
      fitted_ = false;
      break;
    case Drag::dishCentre:
    case Drag::dishRadius: dragDishTo(currentWidget_); break;
    default: break;
  }
  update();
}

void CReviewView::mouseReleaseEvent(QMouseEvent* event) {
  currentWidget_ = event->localPos();
  const Drag drag = std::exchange(drag_, Drag::none);
  const QPointF press = toImage(pressWidget_);
  const QPointF release = toImage(currentWidget_);
  const bool moved = (currentWidget_ - pressWidget_).manhattanLength() > clickSlack;
  const auto click = [&] {
    if (!model_->toggleAt(cv2(press), grabDistance / scale_))
      model_->addColony(cv2(press), typicalColonyRadius(model_->analysis()));
  };
  switch (drag) {
    case Drag::clickOrPan: click(); break;
    case Drag::addColony:
      model_->addColony(cv2(press), moved ? std::hypot(release.x() - press.x(), release.y() - press.y())
                                          : typicalColonyRadius(model_->analysis()));
      break;
    case Drag::excludeRectangle:
      if (moved) model_->exclude(excludedRectangle(cv::Rect2d(cv2(press), cv2(release))));
      else model_->includeAt(cv2(press));
      break;
    case Drag::dishCentre:
    case Drag::dishRadius:
      if (!moved) {  // a click on the outline or the cross: a colony may lie there
        click();
        break;
      }
      drag_ = drag;
      dragDishTo(currentWidget_);
      drag_ = Drag::none;
      model_->setDish(dragDish_);
      break;
    default: break;
  }
  update();
}

void CReviewView::dragDishTo(QPointF widgetPoint) {
  const QPointF at = toImage(widgetPoint);
  if (drag_ == Drag::dishCentre) dragDish_.centre = cv2(at);
  else dragDish_.radius = std::hypot(at.x() - dragDish_.centre.x, at.y() - dragDish_.centre.y);
}

void CReviewView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (polygonTool_) closePolygon();
  else QWidget::mouseDoubleClickEvent(event);
}

void CReviewView::closePolygon() {
  // A double click adds its point twice; consecutive repeats are dropped.
  std::vector<cv::Point2d> corners;
  for (const cv::Point2d& corner : polygon_)
    if (corners.empty() || std::hypot(corner.x - corners.back().x, corner.y - corners.back().y) * scale_ > 1.0)
      corners.push_back(corner);
  polygon_.clear();
  if (corners.size() >= 3) model_->exclude({corners});
  setPolygonTool(false);
}

void CReviewView::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_PageDown: emit nextRequested(); break;
    case Qt::Key_PageUp: emit previousRequested(); break;
    case Qt::Key_F:
    case Qt::Key_Home: fitToWindow(); break;
    case Qt::Key_Plus:
    case Qt::Key_Equal: zoomAt(QPointF(width() / 2.0, height() / 2.0), 1.25); break;
    case Qt::Key_Minus: zoomAt(QPointF(width() / 2.0, height() / 2.0), 0.8); break;
    case Qt::Key_P: setPolygonTool(!polygonTool_); break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (polygonTool_) closePolygon();
      break;
    case Qt::Key_Escape:
      if (polygonTool_) setPolygonTool(false);
      else QWidget::keyPressEvent(event);
      break;
    default: QWidget::keyPressEvent(event);
  }
}

}  // namespace corvale
