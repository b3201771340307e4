#include "app/corvale_app.hpp"

#include <QAction>
#include <QEventLoop>
#include <QScreen>

#include "app/application_icon.hpp"
#include "app/corvale_dialog.hpp"

#include "analysis/version.hpp"

namespace corvale {

CCorvaleApp::CCorvaleApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Corvale"));
  setOrganizationName(QStringLiteral("Corvale"));
  setApplicationVersion(QString::fromUtf8(programVersion().data(), static_cast<int>(programVersion().size())));
  setDesktopFileName(QStringLiteral("corvale"));
  setWindowIcon(applicationIcon());
}

int CCorvaleApp::InitInstance(const QString& path) {
  CCorvaleDlg dialog;
  mainWindow_ = &dialog;
  if (auto* exit = dialog.findChild<QAction*>(QString::number(CCorvaleDlg::idFileExit)))
    connect(exit, &QAction::triggered, this, &CCorvaleApp::OnFileExit);
  // At the screen's top left, leaving the rest of the screen to the image window.
  const QRect screen = dialog.screen()->availableGeometry();
  dialog.move(screen.topLeft() + QPoint(8, 8));
  // Not exec(): that would make the dialog application-modal and block the image window.
  QEventLoop loop;
  connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
  dialog.show();
  if (!path.isEmpty()) dialog.openPath(path);
  if (dialog.isVisible()) loop.exec();
  mainWindow_ = nullptr;
  return 0;  // the dialog closes its image window as it goes
}

void CCorvaleApp::OnFileExit() {
  if (mainWindow_ != nullptr) mainWindow_->close();
}

}  // namespace corvale
