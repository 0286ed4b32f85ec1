// The About box: the program's picture, its version caption and OK.
#pragma once

#include <QDialog>

class AboutDialog : public QDialog {
    Q_OBJECT
  public:
    explicit AboutDialog(QWidget* parent = nullptr);
};
