#include "admin/text_dialog.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QSaveFile>
#include <QPlainTextEdit>
#include <QStringDecoder>
#include <QVBoxLayout>
#include <cerrno>

#include "admin/mainwindow.h"
#include "admin/page_util.h"
#include "config/config.h"
#include "log/log.h"

const MessageFile kMessageFiles[4] = {
    {"&Welcome", "editWelcome", "Welcome Message", "welcome.txt"},
    {"&Anonymous Login", "editAnonymous", "Anonymous Login Message", "anonymous.txt"},
    {"&Normal Login", "editLogin", "Normal Login Message", "login.txt"},
    {"&Logout", "editLogout", "Logout Message", "logout.txt"},
};

TextDialog::TextDialog(const MessageFile& file, QWidget* parent) : QDialog(parent) {
    setObjectName("textDialog");
    setWindowTitle(file.caption);
    char path[MESSAGE_PATH_SIZE] = "";
    MessageFilePath(file.fileName, path, sizeof path);
    path_ = QFile::decodeName(path);

    edit_ = new QPlainTextEdit;
    edit_->setObjectName("messageText");
    edit_->setLineWrapMode(QPlainTextEdit::NoWrap);
    edit_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    edit_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    edit_->setFixedSize(DialogUnitsToPixels(font(), 0, 0, 218, 136).size());

    // A file that cannot be read opens an empty editor. Text that is not
    // UTF-8 is shown one byte a character, so every byte comes back as it was.
    QFile in(path_);
    if (in.open(QIODevice::ReadOnly)) original_ = in.readAll();
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(original_);
    if (utf8.hasError()) {
        utf8_ = false;
        text = QString::fromLatin1(original_);
    }
    crlf_ = original_.contains("\r\n");
    if (crlf_) text.replace("\r\n", "\n");
    edit_->setPlainText(text);
    edit_->moveCursor(QTextCursor::Start);
    edit_->document()->setModified(false);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &TextDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(edit_);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

// The text to store: the file's own bytes when nothing was edited (so an
// unedited save changes nothing), else the edited text in the file's
// encoding and line ends.
QByteArray TextDialog::textBytes() const {
    if (!edit_->document()->isModified()) return original_;
    QString text = edit_->toPlainText();
    if (crlf_) text.replace("\n", "\r\n");
    return utf8_ ? text.toUtf8() : text.toLatin1();
}

void TextDialog::accept() {
    QByteArray bytes = textBytes();
    TrimBlanks(bytes);
    QByteArray path = QFile::encodeName(path_);
    if (bytes.isEmpty()) {
        QFile::remove(path_);
    } else {
        // Written beside it and renamed over it: a failed write (a full
        // disk) leaves the old file whole.
        QSaveFile out(path_);
        errno = 0;
        if (!out.open(QIODevice::WriteOnly)) {
            LogPrintf(LOG_WARNING, "TextDlgProc: error %lu creating %s", (unsigned long)errno,
                      path.constData());
        } else if (out.write(bytes) != bytes.size() || !out.commit()) {
            LogPrintf(LOG_WARNING, "TextDlgProc: error %lu writing %s", (unsigned long)errno,
                      path.constData());
        }
    }
    QDialog::accept();
}
