#include "admin/user_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QValidator>
#include <QVBoxLayout>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "admin/msgbox.h"
#include "config/users.h"
#include "config/value_rules.h"
#include "log/log.h"
#include "platform/ascii.h"

namespace {

constexpr int PATH_MAX_CHARS = 259;
constexpr int MAXCONN_CHARS = 5;
const char* const NAME_CHARS = "abcdefghijklmnopqrstuvwxyz0123456789.-_";

// The limits of an account, stored as its values of these names (each 0 =
// none), judged by their rules in config/value_rules.cpp.
struct LimitField {
    const char* value; // the account's value
    const char* objectName;
    const char* label;
    const char* unit;
    const char* what; // the value in a refusal's message
    uint32_t UserAccount::*field;
};
const LimitField kLimitFields[] = {
    {"MaxDownloadRate", "maxDownloadRate", "Do&wnload:", "KiB/s", "Download rate",
     &UserAccount::MaxDownloadRate},
    {"MaxUploadRate", "maxUploadRate", "&Upload:", "KiB/s", "Upload rate",
     &UserAccount::MaxUploadRate},
    {"QuotaMiB", "quotaMiB", "&Quota:", "MiB", "Quota", &UserAccount::QuotaMiB},
    {"QuotaFiles", "quotaFiles", "&Files:", "files", "Quota of files", &UserAccount::QuotaFiles},
};
constexpr int LIMIT_CHARS = 10; // 4294967295

// Refuses any edit that would make the field's stored form (UTF-8) longer
// than its record field holds, so that what is typed is never cut short.
class ByteLimit : public QValidator {
  public:
    ByteLimit(int limit, QObject* parent) : QValidator(parent), limit_(limit) {}
    State validate(QString& text, int&) const override {
        return text.toUtf8().size() > limit_ ? Invalid : Acceptable;
    }

  private:
    int limit_;
};

// Removes the blanks (spaces only) at the end, then at the start.
QString TrimBlanks(const QString& text) {
    qsizetype end = text.size();
    while (end > 0 && text[end - 1] == u' ')
        end--;
    qsizetype start = 0;
    while (start < end && text[start] == u' ')
        start++;
    return text.mid(start, end - start);
}

// Copies bytes into a fixed record field; the fields' limits make them fit.
template <size_t N> void Put(char (&field)[N], const QByteArray& bytes) {
    snprintf(field, N, "%s", bytes.constData());
}

// Decimal as atol reads it: blanks, a sign, digits up to the first other
// character; nothing readable is 0.
long ReadNumber(const QString& text) {
    return strtol(text.toUtf8().constData(), nullptr, 10);
}

QLineEdit* LimitedEdit(QWidget* parent, const char* objectName, int limit) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(objectName);
    edit->setMaxLength(limit);
    edit->setValidator(new ByteLimit(limit, edit));
    return edit;
}

QCheckBox* Box(QWidget* parent, const char* objectName, const char* text) {
    auto* box = new QCheckBox(QString::fromUtf8(text), parent);
    box->setObjectName(objectName);
    return box;
}

} // namespace

struct UserDialog::FlagBox {
    QCheckBox* box;
    uint8_t UserAccount::*field;
    uint8_t bit;
};

int BrowseForFolder(QWidget* dialog, QLineEdit* field, const QString& title) {
    QString start = field->text();
    QString chosen = QFileDialog::getExistingDirectory(dialog, title, start);
    if (chosen.isEmpty()) return 0;
    // A path the record cannot hold whole is not put in: cut short it would
    // name another folder.
    if (chosen.toUtf8().size() > PATH_MAX_CHARS) {
        LogPrintf(LOG_WARNING, "BrowseForFolder: path longer than %d bytes: %s", PATH_MAX_CHARS,
                  chosen.toUtf8().constData());
        return 0;
    }
    field->setText(chosen);
    return 1;
}

int UserIndexOf(const QByteArray& name) {
    const std::vector<UserAccount>& accounts = userList.accounts;
    for (size_t i = 0; i < accounts.size(); i++)
        if (name == QByteArray(accounts[i].name)) return (int)i;
    return -1;
}

UserDialog::UserDialog(int mode, const QListWidget* list, QWidget* parent)
    : QDialog(parent), mode_(mode), list_(list) {
    setObjectName("userDialog");
    setWindowTitle("Settings");
    BuildControls();
    if (mode_ == USER_DIALOG_EDIT)
        FillEdit();
    else
        FillNew();
}

std::vector<UserDialog::FlagBox> UserDialog::FlagBoxes() const {
    return {
        {anonymous_, &UserAccount::accountFlags, ACCOUNT_ANONYMOUS},
        {enable_, &UserAccount::accountFlags, ACCOUNT_ENABLE},
        {restrict_, &UserAccount::accountFlags, ACCOUNT_RESTRICT},
        {create_, &UserAccount::permissions, PERM_CREATE},
        {deleteDir_, &UserAccount::permissions, PERM_DELETEDIR},
        {deleteFile_, &UserAccount::permissions, PERM_DELETEFILE},
        {get_, &UserAccount::permissions, PERM_GET},
        {listPerm_, &UserAccount::permissions, PERM_LIST},
        {put_, &UserAccount::permissions, PERM_PUT},
        {recurse_, &UserAccount::permissions, PERM_RECURSE},
    };
}

void UserDialog::BuildControls() {
    name_ = LimitedEdit(this, "name", USER_NAME_MAX);
    password_ = LimitedEdit(this, "password", USER_PASSWORD_MAX);
    verify_ = LimitedEdit(this, "verify", USER_PASSWORD_MAX);
    password_->setEchoMode(QLineEdit::Password);
    verify_->setEchoMode(QLineEdit::Password);
    maxConn_ = LimitedEdit(this, "maxConn", MAXCONN_CHARS);
    root_ = LimitedEdit(this, "root", PATH_MAX_CHARS);
    home_ = LimitedEdit(this, "home", PATH_MAX_CHARS);
    enable_ = Box(this, "enable", "&Enable");
    anonymous_ = Box(this, "anonymous", "&Anonymous");
    recurse_ = Box(this, "recurse", "&Recurse Subdirectories");
    create_ = Box(this, "create", "&Create");
    deleteDir_ = Box(this, "deleteDir", "&Delete");
    listPerm_ = Box(this, "list", "&List");
    get_ = Box(this, "get", "&Get");
    put_ = Box(this, "put", "&Put");
    deleteFile_ = Box(this, "deleteFile", "Dele&te");
    restrict_ = Box(this, "restrict", "Restrict PORT Command &IP");
    auto* rootBrowse = new QPushButton("&Browse...", this);
    rootBrowse->setObjectName("rootBrowse");
    auto* homeBrowse = new QPushButton("Br&owse...", this);
    homeBrowse->setObjectName("homeBrowse");

    auto label = [this](const char* text, QWidget* buddy) {
        auto* l = new QLabel(QString::fromUtf8(text), this);
        l->setBuddy(buddy);
        return l;
    };
    auto* fields = new QGridLayout;
    fields->addWidget(label("User Name:", name_), 0, 0);
    fields->addWidget(name_, 0, 1);
    fields->addWidget(enable_, 0, 2, 1, 2);
    fields->addWidget(label("Password:", password_), 1, 0);
    fields->addWidget(password_, 1, 1);
    fields->addWidget(anonymous_, 1, 2, 1, 2);
    fields->addWidget(label("Verify Password:", verify_), 2, 0);
    fields->addWidget(verify_, 2, 1);
    fields->addWidget(label("Max Connections:", maxConn_), 3, 0);
    fields->addWidget(maxConn_, 3, 1);
    fields->addWidget(label("Root Directory:", root_), 4, 0);
    fields->addWidget(root_, 4, 1, 1, 2);
    fields->addWidget(rootBrowse, 4, 3);
    fields->addWidget(label("Home Directory:", home_), 5, 0);
    fields->addWidget(home_, 5, 1, 1, 2);
    fields->addWidget(homeBrowse, 5, 3);
    // Room for a whole name beside the labels and a long path in the folders.
    fields->setColumnMinimumWidth(1, fontMetrics().horizontalAdvance(QString(18, u'x')));
    root_->setMinimumWidth(fontMetrics().horizontalAdvance(QString(34, u'x')));
    fields->setColumnStretch(1, 1);
    fields->setColumnStretch(2, 1);

    auto* dirGroup = new QGroupBox("Directory Permissions", this);
    auto* dirLayout = new QVBoxLayout(dirGroup);
    for (QCheckBox* box : {recurse_, create_, deleteDir_})
        dirLayout->addWidget(box);
    dirLayout->addStretch();
    auto* fileGroup = new QGroupBox("File Permissions", this);
    auto* fileLayout = new QVBoxLayout(fileGroup);
    for (QCheckBox* box : {listPerm_, get_, put_, deleteFile_})
        fileLayout->addWidget(box);
    auto* groups = new QHBoxLayout;
    groups->addWidget(dirGroup);
    groups->addWidget(fileGroup);

    // The limits in a box of their own below the permissions, two a line.
    auto* limitGroup = new QGroupBox("Limits (empty or 0 = none)", this);
    limitGroup->setObjectName("limitGroup");
    auto* limitLayout = new QGridLayout(limitGroup);
    for (size_t i = 0; i < std::size(kLimitFields); i++) {
        const LimitField& limit = kLimitFields[i];
        QLineEdit* edit = LimitedEdit(this, limit.objectName, LIMIT_CHARS);
        edit->setMaximumWidth(fontMetrics().horizontalAdvance(QString(LIMIT_CHARS, u'9')) + 12);
        int row = (int)i % 2, column = (int)i / 2 * 4;
        limitLayout->addWidget(label(limit.label, edit), row, column);
        limitLayout->addWidget(edit, row, column + 1);
        limitLayout->addWidget(new QLabel(limit.unit, this), row, column + 2);
        limits_.push_back(edit);
        differs_.push_back(false);
    }
    // A gap between the pairs; the rest of the width after them.
    limitLayout->setColumnMinimumWidth(3, fontMetrics().horizontalAdvance("xxx"));
    limitLayout->setColumnStretch(3, 1);
    limitLayout->setColumnStretch(6, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName("ok");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("cancel");
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(restrict_);
    bottom->addStretch();
    bottom->addWidget(buttons);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addLayout(groups);
    layout->addWidget(limitGroup);
    layout->addLayout(bottom);

    connect(anonymous_, &QCheckBox::clicked, this, [this](bool checked) {
        password_->setEnabled(!checked);
        verify_->setEnabled(!checked);
    });
    connect(homeBrowse, &QPushButton::clicked, this,
            [this] { BrowseForFolder(this, home_, "Select home directory."); });
    connect(rootBrowse, &QPushButton::clicked, this, [this] {
        if (BrowseForFolder(this, root_, "Select root directory.")) home_->setText(root_->text());
    });
    connect(buttons, &QDialogButtonBox::accepted, this, &UserDialog::Ok);
    connect(buttons, &QDialogButtonBox::rejected, this, [this] { done(0); });
}

void UserDialog::FillNew() {
    for (QCheckBox* box : {enable_, get_, listPerm_, restrict_, recurse_})
        box->setChecked(true);
}

void UserDialog::FillEdit() {
    LogPrintf(LOG_NOTICE, "SettingsDlgProc: count=%d", list_ ? list_->count() : 0);
    if (!list_) return;
    std::lock_guard<std::recursive_mutex> guard(userList.lock);
    for (int row = 0; row < list_->count(); row++) {
        const QListWidgetItem* item = list_->item(row);
        if (!item->isSelected()) continue;
        QByteArray line = item->data(USER_NAME_ROLE).toByteArray();
        LogPrintf(LOG_NOTICE, "SettingsDlgProc: name=[%s]", line.constData());
        int index = UserIndexOf(line);
        if (index < 0) continue;
        const UserAccount& account = userList.accounts[(size_t)index];
        if (opened_.empty()) {
            home_->setText(QString::fromUtf8(account.Home));
            name_->setText(QString::fromUtf8(account.name));
            root_->setText(QString::fromUtf8(account.Root));
            // Eight blanks stand for a password that is kept unless retyped.
            QString shown = account.PW[0] ? QString(8, u' ') : QString();
            password_->setText(shown);
            verify_->setText(shown);
        } else {
            for (QWidget* field :
                 std::initializer_list<QWidget*>{name_, password_, verify_, anonymous_})
                field->setEnabled(false);
        }
        if (account.MaxConn) maxConn_->setText(QString::number(account.MaxConn));
        for (size_t i = 0; i < limits_.size(); i++) {
            uint32_t value = account.*kLimitFields[i].field;
            QString text = value ? QString::number(value) : QString();
            if (opened_.empty()) {
                limits_[i]->setText(text);
            } else if (!differs_[i] && text != limits_[i]->text()) {
                differs_[i] = true;
                limits_[i]->clear();
                limits_[i]->setPlaceholderText("(differ)");
            }
        }
        // Boxes are only ever checked here: with several accounts a box
        // shows whether any of them has the flag.
        for (const FlagBox& flag : FlagBoxes())
            if (account.*flag.field & flag.bit) flag.box->setChecked(true);
        if (account.accountFlags & ACCOUNT_ANONYMOUS) {
            password_->setEnabled(false);
            verify_->setEnabled(false);
        }
        opened_.push_back(line);
    }
}

void UserDialog::Refuse(QWidget* owner, const char* text, const char* caption, QWidget* focus) {
    AdminMessageBox(owner, QString::fromUtf8(text), QString::fromUtf8(caption),
                    QMessageBox::Critical);
    focus->setFocus();
}

void UserDialog::Ok() {
    UserAccount record;
    memset(&record, 0, sizeof record);

    QString name = TrimBlanks(name_->text()).toLower();
    if (name.isEmpty()) return Refuse(this, "The user name can't be blank.", "Settings", name_);
    if (!name[0].isLetter())
        return Refuse(this, "The user name must start with a letter.", "Settings", name_);
    QByteArray nameBytes = name.toUtf8();
    if (nameBytes.size() > USER_NAME_MAX ||
        strspn(nameBytes.constData(), NAME_CHARS) != (size_t)nameBytes.size())
        return Refuse(this, "Invalid characters in name.", "Settings", name_);
    Put(record.name, nameBytes);

    // The password keeps its case, as the client sends it at login, and
    // must be repeated exactly.
    bool newPassword = false;
    std::string password;
    if (!anonymous_->isChecked()) {
        QString typed = password_->text();
        if (typed.toUtf8() != verify_->text().toUtf8())
            return Refuse(nullptr, "The password is not verified.  Please re-enter.", "Brindlex",
                          password_);
        password = TrimBlanks(typed).toUtf8().toStdString();
        newPassword = !typed.isEmpty() && !password.empty();
    }

    long connections = ReadNumber(maxConn_->text());
    if ((unsigned long)connections > 65535)
        return Refuse(nullptr, "Number of connections out of range.  Must be less than 65536.",
                      "Brindlex", maxConn_);
    record.MaxConn = (uint16_t)connections;

    for (size_t i = 0; i < limits_.size(); i++) {
        const LimitField& limit = kLimitFields[i];
        QString typed = limits_[i]->text().trimmed();
        std::string problem =
            ValueTextProblem(*ValueRuleFind("Users", limit.value),
                             typed.isEmpty() ? "0" : typed.toStdString(), &(record.*limit.field));
        if (!problem.empty()) {
            QString text =
                QString("%1: \"%2\" %3.").arg(limit.what, typed, QString::fromStdString(problem));
            AdminMessageBox(nullptr, text, "Brindlex", QMessageBox::Critical);
            limits_[i]->setFocus();
            return;
        }
    }

    QString root = TrimBlanks(root_->text());
    if (root.isEmpty())
        return Refuse(this, "The root directory can't be blank.", "Settings", root_);
    QString home = TrimBlanks(home_->text());
    if (home.isEmpty()) home = root;
    // Home is the root itself or a directory below it, whichever separator
    // follows the root.
    if (home.compare(root, Qt::CaseInsensitive) != 0) {
        bool below = home.size() > root.size() && home.startsWith(root, Qt::CaseInsensitive) &&
                     (home[root.size()] == u'\\' || home[root.size()] == u'/');
        if (!below)
            return Refuse(
                this,
                "The home directory must be the same as or a subdirectory of the root directory.",
                "Settings", home_);
    }
    Put(record.Root, root.toUtf8());
    Put(record.Home, home.toUtf8());

    for (const FlagBox& flag : FlagBoxes())
        if (flag.box->isChecked()) record.*flag.field |= flag.bit;

    if (!Commit(record, newPassword, password)) {
        AdminMessageBox(nullptr, "That user name is already in use.", "Brindlex",
                        QMessageBox::Critical);
        name_->setFocus();
        return;
    }
    done(1);
}

int UserDialog::Commit(const UserAccount& record, bool newPassword, const std::string& password) {
    const bool anonymous = record.accountFlags & ACCOUNT_ANONYMOUS;
    // The PW of account (named name) as the record gets it.
    auto passwordFor = [&](const char* name, const char* current, char* out) {
        if (anonymous)
            out[0] = 0;
        else if (newPassword)
            MakePasswordDigest(name, password.c_str(), out);
        else
            snprintf(out, sizeof record.PW, "%s", current);
    };
    // Another account (not at skip) with the name, whatever its letter case.
    auto taken = [&](int skip) {
        for (size_t i = 0; i < userList.accounts.size(); i++)
            if ((int)i != skip && AsciiCompareNoCase(userList.accounts[i].name, record.name) == 0)
                return true;
        return false;
    };

    std::lock_guard<std::recursive_mutex> guard(userList.lock);
    UserAccount account = record;
    if (mode_ != USER_DIALOG_EDIT) {
        if (taken(-1)) return 0;
        passwordFor(account.name, "", account.PW);
        UserListAppend(&userList, account);
    } else if (opened_.size() == 1) {
        // The list may have been reloaded since the dialog opened: the
        // account is found again by the name it had then, or is gone.
        int index = UserIndexOf(opened_[0]);
        if (index < 0) {
            LogPrintf(LOG_WARNING, "SettingsDlgProc: account %s is gone; nothing written",
                      opened_[0].constData());
            return 1;
        }
        if (taken(index)) return 0;
        passwordFor(account.name, userList.accounts[(size_t)index].PW, account.PW);
        UserListReplace(&userList, index, account);
    } else {
        // Several accounts get the same settings and keep their names and passwords.
        for (const QByteArray& name : opened_) {
            int index = UserIndexOf(name);
            if (index < 0) continue;
            const UserAccount& current = userList.accounts[(size_t)index];
            Put(account.name, name);
            passwordFor(current.name, current.PW, account.PW);
            // A limit the accounts differ on, left empty, stays each one's own.
            for (size_t i = 0; i < limits_.size(); i++) {
                uint32_t UserAccount::*field = kLimitFields[i].field;
                account.*field = differs_[i] && limits_[i]->text().trimmed().isEmpty()
                                     ? current.*field
                                     : record.*field;
            }
            UserListReplace(&userList, index, account);
        }
    }
    return 1;
}
