// The Messages page: a button per message file, each opening the editor.
// Nothing to apply: the editor saves its file on OK.
#pragma once

#include <QWidget>

class MessagesPage : public QWidget {
    Q_OBJECT
  public:
    explicit MessagesPage(QWidget* parent = nullptr);
};
