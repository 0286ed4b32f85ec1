// The System page: the FTP port, whether the server listens, and the most
// simultaneous connections (empty: no limit).
#pragma once

#include <QWidget>

class QCheckBox;
class QLineEdit;

// Installed by the program before a page is made: makes the engine of this
// process take the stored System values (port, Enable) before it returns.
// Null (the default) where no engine runs in the process.
void SetSystemAppliedHook(void (*hook)());
// After a page has stored System values: in the server (or service) role the
// installed hook runs, so the engine takes them before this returns. Nothing
// in the admin role, whose change message reaches the server instead.
void RunSystemAppliedHook();

class SystemPage : public QWidget {
    Q_OBJECT
  public:
    explicit SystemPage(QWidget* parent = nullptr);
    // Checks and stores the values: the server role moves (or closes) its
    // listener before this returns, the admin role tells the server. 0 after
    // a refused value (told in a message box, the field has the focus).
    int apply();
  signals:
    void changed();

  private:
    QLineEdit* port_;
    QCheckBox* enable_;
    QLineEdit* maxConn_;
};
