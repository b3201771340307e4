#include "app/about_dialog.hpp"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "app/application_icon.hpp"
#include "app/data_exchange.hpp"

#include "analysis/version.hpp"

namespace corvale {

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  setWindowTitle(QStringLiteral("About Corvale %1").arg(QString::fromUtf8(programVersion().data(), static_cast<int>(programVersion().size()))));
  setFont(QFont(QStringLiteral("Sans Serif"), 8));
  const DialogUnits du(font());

  auto* picture = new QLabel(this);
  const QRect iconArea = du.rect(14, 14, 21, 20);
  picture->setGeometry(iconArea);
  picture->setPixmap(applicationIcon().pixmap(std::min(iconArea.width(), iconArea.height())));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setGeometry(du.rect(172, 47, 50, 14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  setFixedSize(du.x(230), du.y(68));
}

}  // namespace corvale
