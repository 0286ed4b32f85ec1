// The Display page: whether the server's window starts hidden and whether a
// minimize hides it in the tray.
#pragma once

#include <QWidget>

class QCheckBox;

class DisplayPage : public QWidget {
    Q_OBJECT
  public:
    explicit DisplayPage(QWidget* parent = nullptr);
    // Stores the switches; in the admin role tells the server. Always 1.
    int apply();
  signals:
    void changed();

  private:
    QCheckBox* hideInitially_;
    QCheckBox* hideWhenMinimized_;
};
