#include "app/data_exchange.hpp"

#include <limits>

#include <QFontMetrics>

namespace corvale {

std::optional<int> scanInteger(const QString& text) {
  int at = 0;
  while (at < text.size() && text[at].isSpace()) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  const int digitsStart = at;
  long long value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = value * 10 + (text[at].unicode() - '0');
    if (value > static_cast<long long>(std::numeric_limits<int>::max()) + 1) return std::nullopt;
  }
  if (at == digitsStart) return std::nullopt;
  if (negative) value = -value;
  if (value > std::numeric_limits<int>::max()) return std::nullopt;
  return static_cast<int>(value);
}

QString toDisplayText(const QString& text) {
  QString display = text;
  return display.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

QString fromDisplayText(const QString& text) {
  QString stored = toDisplayText(text);
  return stored.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int alphabet = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseX_ = (alphabet / 26 + 1) / 2;
  baseY_ = metrics.height();
}

int DialogUnits::x(int units) const { return (units * baseX_ + 2) / 4; }
int DialogUnits::y(int units) const { return (units * baseY_ + 4) / 8; }

QRect DialogUnits::rect(int x, int y, int width, int height) const {
  return QRect(this->x(x), this->y(y), this->x(width), this->y(height));
}

}  // namespace corvale
