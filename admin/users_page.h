// The Users page of the property sheet: the account names, sorted, with
// "&New", "&Delete" and "&Settings". Unlike the other pages it does not wait
// for the sheet's apply: every completed add, edit or delete is saved to the
// store at once and, in the admin role, announced to the running server.
#pragma once

#include <QWidget>

class QListWidget;
class QPushButton;

class UsersPage : public QWidget {
    Q_OBJECT
  public:
    explicit UsersPage(QWidget* parent = nullptr);

    // Empties the list and adds every account's name again (under the
    // UserList lock).
    void Refill();

  private:
    // Opens the settings dialog (USER_DIALOG_EDIT or USER_DIALOG_NEW); on
    // its OK saves, announces and refills.
    void OpenSettings(int mode);
    void DeleteSelected();
    // Saves the list to the store and, in the admin role, tells the server.
    // noteLine: write the record a completed dialog leaves.
    void SaveUsers(bool noteLine);

    QListWidget* list_;
    QPushButton* newButton_;
    QPushButton* deleteButton_;
    QPushButton* settingsButton_;
};
