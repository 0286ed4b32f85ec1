// The user settings dialog "Settings": edits one account, several accounts
// at once, or a new one. OK validates every field, builds the stored password
// value and changes the UserList; the dialog then ends with 1 (0 on Cancel).
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>
#include <string>
#include <vector>

class QCheckBox;
class QLineEdit;
class QListWidget;

// What the dialog is opened for: the accounts selected in the list, or a new one.
constexpr int USER_DIALOG_EDIT = 1025;
constexpr int USER_DIALOG_NEW = 1014;

// The list box lines carry the account's name as stored, byte for byte, in
// this item role; the text shown is made from it.
constexpr int USER_NAME_ROLE = 0x0100; // Qt::UserRole

// Position of the first account whose name equals name byte for byte, or -1.
// The caller holds the UserList lock.
int UserIndexOf(const QByteArray& name);

// Lets the user choose a folder for field (starting at its text); puts the
// chosen path into the field and returns 1, else 0.
int BrowseForFolder(QWidget* dialog, QLineEdit* field, const QString& title);

class UserDialog : public QDialog {
    Q_OBJECT
  public:
    // mode: USER_DIALOG_EDIT edits the accounts of the selected lines of
    // list; any other value adds a new account.
    UserDialog(int mode, const QListWidget* list, QWidget* parent = nullptr);

  private:
    void BuildControls();
    void FillNew();
    void FillEdit();
    void Ok();
    // Changes the list (under its lock); 0 when the name is taken.
    int Commit(const struct UserAccount& record, bool newPassword, const std::string& password);
    void Refuse(QWidget* owner, const char* text, const char* caption, QWidget* focus);
    // The check boxes that stand for a bit of the account, in the order OK
    // reads them.
    struct FlagBox;
    std::vector<FlagBox> FlagBoxes() const;

    int mode_;
    const QListWidget* list_;
    // The names (as stored) of the accounts found when the dialog opened, in
    // list order: the commit finds them again by these names.
    std::vector<QByteArray> opened_;

    QLineEdit* name_;
    QLineEdit* password_;
    QLineEdit* verify_;
    QLineEdit* maxConn_;
    QLineEdit* root_;
    QLineEdit* home_;
    QCheckBox* enable_;
    QCheckBox* anonymous_;
    QCheckBox* recurse_;
    QCheckBox* create_;
    QCheckBox* deleteDir_;
    QCheckBox* listPerm_;
    QCheckBox* get_;
    QCheckBox* put_;
    QCheckBox* deleteFile_;
    QCheckBox* restrict_;
    // The per-account limits, in the order of kLimitFields (user_dialog.cpp).
    // With several accounts, a limit on which they differ shows empty and,
    // left empty, each account keeps its own (differs_).
    std::vector<QLineEdit*> limits_;
    std::vector<bool> differs_;
};
