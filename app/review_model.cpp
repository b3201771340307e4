#include "app/review_model.hpp"

#include <QUndoCommand>

namespace corvale {
namespace {

// One correction: the corrections before and after it.
class CorrectionCommand : public QUndoCommand {
 public:
  CorrectionCommand(CReviewModel& model, const QString& text, Corrections before, Corrections after)
      : QUndoCommand(text), model_(model), before_(std::move(before)), after_(std::move(after)) {}
  void undo() override { model_.replaceCorrections(before_); }
  void redo() override { model_.replaceCorrections(after_); }

 private:
  CReviewModel& model_;
  Corrections before_;
  Corrections after_;
};

}  // namespace

CReviewModel::CReviewModel(QObject* parent) : QObject(parent) {}

void CReviewModel::setAnalysis(DishAnalysis analysis, Corrections corrections) {
  undo_.clear();
  analysis_ = std::move(analysis);
  replaceCorrections(std::move(corrections));
  undo_.setClean();
}

std::optional<CountedCircle> CReviewModel::dish() const {
  return corrections_.dish ? corrections_.dish : automaticDishCircle(analysis_);
}

bool CReviewModel::toggleAt(cv::Point2d point, double tolerance) {
  Corrections after = corrections_;
  if (const auto added = addedColonyAt(corrections_, point, tolerance)) {
    after.added.erase(after.added.begin() + static_cast<std::ptrdiff_t>(*added));
    push(tr("Remove added colony"), std::move(after));
    return true;
  }
  const auto colony = automaticColonyAt(analysis_, point, tolerance);
  if (!colony) return false;
  if (const auto removal = removalOf(analysis_, corrections_, *colony)) {
    after.removed.erase(after.removed.begin() + static_cast<std::ptrdiff_t>(*removal));
    push(tr("Restore colony"), std::move(after));
  } else {
    after.removed.push_back(analysis_.colonies[*colony].centre);
    push(tr("Remove colony"), std::move(after));
  }
  return true;
}

void CReviewModel::addColony(cv::Point2d centre, double radius) {
  Corrections after = corrections_;
  after.added.push_back({centre, radius});
  push(tr("Add colony"), std::move(after));
}

void CReviewModel::exclude(const ExcludedRegion& region) {
  Corrections after = corrections_;
  after.excluded.push_back(region);
  push(tr("Exclude region"), std::move(after));
}

bool CReviewModel::includeAt(cv::Point2d point) {
  for (std::size_t i = corrections_.excluded.size(); i-- > 0;) {
    if (!insideRegion(corrections_.excluded[i], point)) continue;
    Corrections after = corrections_;
    after.excluded.erase(after.excluded.begin() + static_cast<std::ptrdiff_t>(i));
    push(tr("Include region"), std::move(after));
    return true;
  }
  return false;
}

void CReviewModel::setDish(const CountedCircle& dish) {
  Corrections after = corrections_;
  after.dish = dish;
  push(tr("Move dish"), std::move(after));
}

CorrectionsFile CReviewModel::file() const {
  return {analysis_.sha256, std::filesystem::path(analysis_.imagePath).filename().string(), analysis_.method,
          analysis_.settings, corrections_};
}

void CReviewModel::save(const std::filesystem::path& correctionsFolder) {
  saveCorrections(correctionsFolder, file());
  undo_.setClean();
}

void CReviewModel::replaceCorrections(Corrections corrections) {
  corrections_ = std::move(corrections);
  const AppliedCorrections applied = applyCorrections(analysis_, corrections_);
  statuses_ = applied.statuses;
  count_ = applied.count;
  emit changed();
}

void CReviewModel::push(const QString& text, Corrections after) {
  undo_.push(new CorrectionCommand(*this, text, corrections_, std::move(after)));
}

}  // namespace corvale
