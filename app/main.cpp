// corvale: the desktop dialog.

#include <cstdio>
#include <cstdlib>

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include "app/corvale_app.hpp"

namespace {

// While Qt starts, its warnings are held back: when it cannot reach the display it
// warns several times and then ends the process with abort(). Instead the first
// reason is given in one line and the process exits with a failure status.
bool starting = true;
QString firstReason;

void messageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
  const QString line = message.section('\n', 0, 0);
  if (type == QtFatalMsg) {
    std::fprintf(stderr, "corvale: cannot start the window system (%s); for headless work use corvale-cli\n",
                 qPrintable(firstReason.isEmpty() ? line : firstReason));
    std::_Exit(1);
  }
  if (starting) {
    if (firstReason.isEmpty()) firstReason = line;
    return;
  }
  if (type != QtDebugMsg) std::fprintf(stderr, "%s\n", qPrintable(message));
}

}  // namespace

int main(int argc, char** argv) {
  const bool platformChosen = qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
  if (!platformChosen && !qEnvironmentVariableIsSet("DISPLAY") && !qEnvironmentVariableIsSet("WAYLAND_DISPLAY")) {
    std::fprintf(stderr, "corvale: no display available (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                         "for headless work use corvale-cli\n");
    return 1;
  }
  qInstallMessageHandler(messageHandler);
  corvale::CCorvaleApp app(argc, argv);
  starting = false;
  // `corvale FOLDER` (or a photograph) opens with it listed; the desktop entry passes it.
  const QStringList arguments = app.arguments();
  return app.InitInstance(arguments.size() > 1 ? arguments.at(1) : QString());
}
