// The Advanced page: the System values added after the original pages
// (time limits, the failed-login delay, passive ports and address, the
// protocol extensions), one row each from a table, so a new value is one row.
// Each value is judged by its rule in config/value_rules.cpp, as brindlex-reg
// and the server judge it.
#pragma once

#include <QWidget>
#include <vector>

enum SettingKind { SETTING_NUMBER, SETTING_TEXT, SETTING_SWITCH };

struct SettingRow {
    const char* value; // the System value's name; also the field's object name
    const char* label; // the form's label, or a switch's text
    SettingKind kind;
    const char* note; // after the field ("seconds, 0 = none"), or nullptr
};

// The rows in the order the page shows them.
const std::vector<SettingRow>& AdvancedRows();

class AdvancedPage : public QWidget {
    Q_OBJECT
  public:
    explicit AdvancedPage(QWidget* parent = nullptr);
    // Checks every row, then stores them all and makes them count: the
    // server role reloads them at once, the admin role tells the server. 0
    // after a refused value (told in a message box; its field has the focus),
    // and then nothing is stored.
    int apply();
  signals:
    void changed();

  private:
    std::vector<QWidget*> fields_; // one per row, in the table's order
};
