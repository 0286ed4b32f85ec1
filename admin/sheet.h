// The modal property sheet "Properties": one tab per page and OK, Cancel,
// Apply. A change on a page enables Apply; OK and Apply apply every page
// that was shown at least once, in tab order. A page that refuses its values
// keeps the sheet open on that page.
#pragma once

#include <QDialog>
#include <functional>
#include <vector>

class QPushButton;
class QTabWidget;

class PropertySheet : public QDialog {
    Q_OBJECT
  public:
    explicit PropertySheet(QWidget* owner);
    // apply returns 1 when the page stored its values, 0 when it refused
    // them (after telling the user). A page that does its work at once (the
    // Users page) has no apply.
    void addPage(QWidget* page, const QString& title, std::function<int()> apply);
    QTabWidget* tabs() const { return tabs_; }

  public slots:
    void markChanged();
    // 1 when every shown page applied.
    int applyPages();

  private:
    struct Page {
        QWidget* widget;
        std::function<int()> apply;
        bool shown;
    };
    void pageShown(int index);

    QTabWidget* tabs_;
    QPushButton* applyButton_;
    std::vector<Page> pages_;
};

// The sheet with its pages, Display, Logging, Messages, Users, System, Advanced.
PropertySheet* BuildPropertySheet(QWidget* owner);
void ShowPropertySheet(QWidget* owner);
