// The Advanced page: the System values added after the original pages (time
// limits, listening and passive addresses, protocol extensions, TLS, speed
// and connection limits, the upload hook, metrics, the PROXY protocol), one
// row each from a table, so a new value is one row. Rows come in groups, each
// a box on the page, which scrolls when the screen is short. Each value is
// judged by its rule in config/value_rules.cpp, as brindlex-reg and the
// server judge it.
#pragma once

#include <QWidget>
#include <vector>

class QScrollArea;

enum SettingKind {
    SETTING_NUMBER, // a line for a DWORD
    SETTING_TEXT,   // a line for a string
    SETTING_SWITCH, // a check box: 0 or 1
    SETTING_CHOICE, // a list whose entries are the DWORD's values 0, 1, ...
    SETTING_GROUP,  // no value: starts a box titled label
};

struct SettingRow {
    const char* value; // the System value's name; also the field's object name
    const char* label; // the form's label, a switch's text, a group's title
    SettingKind kind;
    // After a line ("seconds, 0 = none"), or nullptr; a choice's entries,
    // "|" between them.
    const char* note;
    // A string's largest size as the server reads it (its buffer, with the
    // terminating byte): the field takes one less.
    int size = 0;
};

// The rows in the order the page shows them.
const std::vector<SettingRow>& AdvancedRows();

class AdvancedPage : public QWidget {
    Q_OBJECT
  public:
    explicit AdvancedPage(QWidget* parent = nullptr);
    // Checks every row, then stores them all and makes them count as the
    // System page's do: the server role reloads the System group and runs
    // the System applied hook (TLS, listener, metrics) before it returns;
    // the admin role tells the server. 0 after a refused value (told in a
    // message box; its field has the focus and is scrolled into view), and
    // then nothing is stored.
    int apply();
  signals:
    void changed();

  private:
    std::vector<QWidget*> fields_; // one per row, in the table's order (nullptr: a group)
    QScrollArea* scroll_ = nullptr;
};
