#pragma once
#include <QApplication>
#include <QString>

namespace corvale {

// The application: shows the main dialog; closing it ends the application. The
// dialog is modal to nothing: OpenCV's image window, which runs in the same Qt
// event loop, stays usable beside it.
class CCorvaleApp : public QApplication {
  Q_OBJECT
 public:
  CCorvaleApp(int& argc, char** argv);

  // Runs the main dialog until it is closed, with `path` (a folder, or a
  // photograph in one) listed when given. Returns the process's exit status.
  int InitInstance(const QString& path = {});

 public slots:
  // File > Exit: closes the main window, exactly like its close box.
  void OnFileExit();

 private:
  QWidget* mainWindow_ = nullptr;
};

}  // namespace corvale
