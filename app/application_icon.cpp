#include "app/application_icon.hpp"

// The icons are compiled into the static dialog library; nothing refers to that
// object file, so without this call the linker drops them. Q_INIT_RESOURCE must be
// used outside any namespace.
static void initialiseCorvaleResources() { Q_INIT_RESOURCE(corvale); }

namespace corvale {

QIcon applicationIcon() {
  static const bool initialised = (initialiseCorvaleResources(), true);
  (void)initialised;
  QIcon icon;
  for (const char* size : {"16", "24", "32", "48"}) icon.addFile(QStringLiteral(":/corvale/icon-") + size);
  icon.addFile(QStringLiteral(":/corvale/icon"));
  return icon;
}

}  // namespace corvale
