#include "app/corvale_app.hpp"

#include <QAction>

#include "app/application_icon.hpp"
#include "app/corvale_dialog.hpp"

#include "analysis/version.hpp"

namespace corvale {

CCorvaleApp::CCorvaleApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Corvale"));
  setApplicationVersion(QString::fromUtf8(programVersion().data(), static_cast<int>(programVersion().size())));
  setDesktopFileName(QStringLiteral("corvale"));
  setWindowIcon(applicationIcon());
}

int CCorvaleApp::InitInstance() {
  CCorvaleDlg dialog;
  mainWindow_ = &dialog;
  if (auto* exit = dialog.findChild<QAction*>(QString::number(CCorvaleDlg::idFileExit)))
    connect(exit, &QAction::triggered, this, &CCorvaleApp::OnFileExit);
  dialog.exec();
  mainWindow_ = nullptr;
  return 0;
}

void CCorvaleApp::OnFileExit() {
  if (mainWindow_ != nullptr) mainWindow_->close();
}

}  // namespace corvale
