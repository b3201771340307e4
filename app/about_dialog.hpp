#pragma once
#include <QDialog>

namespace corvale {

// The About box: the application icon and an OK button.
class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace corvale
