#include "app/application_icon.hpp"

namespace corvale {

QIcon applicationIcon() {
  QIcon icon;
  for (const char* size : {"16", "24", "32", "48"}) icon.addFile(QStringLiteral(":/corvale/icon-") + size);
  icon.addFile(QStringLiteral(":/corvale/icon"));
  return icon;
}

}  // namespace corvale
