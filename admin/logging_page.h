// The Logging page: the log directory, the master switch, the size limit of
// a log file (empty or 0: daily files) and synchronous logging.
#pragma once

#include <QWidget>

class QCheckBox;
class QLineEdit;

class LoggingPage : public QWidget {
    Q_OBJECT
  public:
    explicit LoggingPage(QWidget* parent = nullptr);
    // Stores the values; in the admin role tells the server. Always 1.
    int apply();
  signals:
    void changed();

  private:
    QLineEdit* directory_;
    QCheckBox* enable_;
    QLineEdit* size_;
    QCheckBox* sync_;
};
