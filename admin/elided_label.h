// A one-line label that shows as much of its text as fits, ended by "...",
// and the whole text as its tooltip when it is cut: the status bar's line in
// the fixed-width main window.
#pragma once

#include <QLabel>

class ElidedLabel : public QLabel {
    Q_OBJECT
  public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    void setFullText(const QString& text);
    const QString& fullText() const { return full_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void fit();
    QString full_;
};
