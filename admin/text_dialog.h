// The message editor: edits one message file of the work directory, the
// file the server sends. OK trims blanks (spaces) at both ends and writes
// exactly the text, or deletes the file when nothing is left; Cancel leaves
// the file as it was.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>

class QPlainTextEdit;

struct MessageFile {
    const char* button;     // the Messages page's button
    const char* objectName; // the button's object name
    const char* caption;    // the editor's caption
    const char* fileName;
};
extern const MessageFile kMessageFiles[4];

class TextDialog : public QDialog {
    Q_OBJECT
  public:
    TextDialog(const MessageFile& file, QWidget* parent = nullptr);
    QString path() const { return path_; }

  public slots:
    void accept() override;

  private:
    QByteArray textBytes() const;

    QString path_;
    QPlainTextEdit* edit_;
    QByteArray original_; // the file's bytes as read
    bool utf8_ = true;    // the file read as UTF-8 (else one byte a character)
    bool crlf_ = false;   // the file's lines end with CR LF
};
