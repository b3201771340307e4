#pragma once
// Pieces of the dialog's data exchange and layout that do not need a window.

#include <optional>

#include <QFont>
#include <QRect>
#include <QString>

namespace corvale {

// Reads an integer the way a formatted scan with "%d" does: leading white space is
// skipped, an optional sign and the digits are taken and the rest is ignored, so
// "12abc" gives 12. Text that starts with no number, or whose number does not fit
// a 32-bit integer, gives nothing.
std::optional<int> scanInteger(const QString& text);

// The results box shows lines ended by "\n"; the report it holds ends them by "\r\n".
QString toDisplayText(const QString& text);
QString fromDisplayText(const QString& text);

// Dialog units: a quarter of the font's average character width across and an
// eighth of its height down, so that a layout keeps its proportions with any font.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int x(int units) const;
  int y(int units) const;
  QRect rect(int x, int y, int width, int height) const;

 private:
  int baseX_;
  int baseY_;
};

}  // namespace corvale
