#pragma once
#include <QApplication>

namespace corvale {

// The application: shows the main dialog modally; closing it ends the application.
class CCorvaleApp : public QApplication {
  Q_OBJECT
 public:
  CCorvaleApp(int& argc, char** argv);

  // Runs the main dialog until it is closed. Returns the process's exit status.
  int InitInstance();

 public slots:
  // File > Exit: closes the main window, exactly like its close box.
  void OnFileExit();

 private:
  QWidget* mainWindow_ = nullptr;
};

}  // namespace corvale
