#pragma once
// One photograph under review: its analysis, the corrections made so far and their
// undo history. Every change goes through the undo stack; the counting itself is done
// by the corrections library.

#include <filesystem>
#include <vector>

#include <QObject>
#include <QUndoStack>

#include "analysis/dish_analysis.hpp"
#include "analysis/review/corrections.hpp"
#include "analysis/review/corrections_file.hpp"

namespace corvale {

class CReviewModel : public QObject {
  Q_OBJECT

 public:
  explicit CReviewModel(QObject* parent = nullptr);

  // Starts reviewing `analysis` with `corrections` already made (as loaded); the undo
  // history starts empty and clean.
  void setAnalysis(DishAnalysis analysis, Corrections corrections = {});

  const DishAnalysis& analysis() const { return analysis_; }
  const Corrections& corrections() const { return corrections_; }
  const std::vector<ColonyStatus>& statuses() const { return statuses_; }
  const CorrectedCount& count() const { return count_; }
  // The adjusted dish, or the one the analysis counted in.
  std::optional<CountedCircle> dish() const;
  QUndoStack* undoStack() { return &undo_; }
  // Changed since loaded or last saved.
  bool modified() const { return !undo_.isClean(); }

  // A click at `point` (photograph pixels) with `tolerance` pixels of slack: removes
  // the added colony there, or removes the automatic colony there, or restores it when
  // it was removed. False when there is no colony there.
  bool toggleAt(cv::Point2d point, double tolerance);
  void addColony(cv::Point2d centre, double radius);
  void exclude(const ExcludedRegion& region);
  // Drops the excluded region drawn last among those holding `point`; false when none does.
  bool includeAt(cv::Point2d point);
  void setDish(const CountedCircle& dish);

  // The file that keeps the corrections.
  CorrectionsFile file() const;
  // Saves into the corrections folder and marks the state as saved. Throws
  // std::runtime_error when it cannot be written.
  void save(const std::filesystem::path& correctionsFolder);

  // Sets the corrections without recording a step (used by the undo commands).
  void replaceCorrections(Corrections corrections);

 signals:
  void changed();

 private:
  void push(const QString& text, Corrections after);

  DishAnalysis analysis_;
  Corrections corrections_;
  std::vector<ColonyStatus> statuses_;
  CorrectedCount count_;
  QUndoStack undo_;
};

}  // namespace corvale
