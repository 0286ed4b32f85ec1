#include "admin/advanced_page.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>

#include "admin/msgbox.h"
#include "admin/page_util.h"
#include "config/config.h"
#include "config/reg_group.h"
#include "config/value_rules.h"
#include "ipc/ipc.h"
#include "ipc/role.h"

namespace {
constexpr int kTextSize = 64;

const ValueRule& RuleOf(const SettingRow& row) {
    return *ValueRuleFind("System", row.value);
}

// What the store holds for a row, as the field shows it (a missing or
// unusable number: its default).
QString StoredText(HKEY key, const SettingRow& row) {
    const ValueRule& rule = RuleOf(row);
    if (rule.kind == VALUE_STRING) {
        char text[kTextSize] = "";
        if (key) RegGetString(key, row.value, text, sizeof text);
        return FromStoreText(text);
    }
    uint32_t number =
        key ? RegGetCheckedDword(key, "AdvancedPage", "System", row.value) : rule.byDefault;
    return QString::number(number);
}
} // namespace

const std::vector<SettingRow>& AdvancedRows() {
    static const std::vector<SettingRow> rows = {
        {"LoginTimeout", "&Login time-out:", SETTING_NUMBER, "seconds, 0 = none"},
        {"IdleTimeout", "&Idle time-out:", SETTING_NUMBER, "seconds, 0 = none"},
        {"LoginFailDelay", "&Failed login delay:", SETTING_NUMBER, "ms"},
        {"PassivePorts", "Passive &ports:", SETTING_TEXT, "low-high; empty = any"},
        {"PassiveAddress", "Passive &address:", SETTING_TEXT, "empty = as reached"},
        {"Extensions", "Protocol &extensions (FEAT, EPSV, MLSD, SIZE, ...)", SETTING_SWITCH,
         nullptr},
    };
    return rows;
}

AdvancedPage::AdvancedPage(QWidget* parent) : QWidget(parent) {
    setObjectName("advancedPage");
    HKEY key = nullptr;
    bool open = OpenRegApp("Brindlex");
    if (open) key = RegGroupOpen("System", "AdvancedPage", false);
    auto* form = new QFormLayout(this);
    for (const SettingRow& row : AdvancedRows()) {
        QString text = StoredText(key, row);
        if (row.kind == SETTING_SWITCH) {
            auto* box = new QCheckBox(row.label);
            box->setObjectName(row.value);
            box->setChecked(text == "1");
            connect(box, &QCheckBox::clicked, this, &AdvancedPage::changed);
            form->addRow("", box);
            fields_.push_back(box);
            continue;
        }
        auto* field = new QLineEdit(text);
        field->setObjectName(row.value);
        field->setMaxLength(row.kind == SETTING_NUMBER ? 10 : kTextSize - 1);
        if (row.kind == SETTING_NUMBER) FitNumberField(field, 10);
        connect(field, &QLineEdit::textEdited, this, &AdvancedPage::changed);
        auto* line = new QHBoxLayout;
        line->addWidget(field);
        if (row.note) line->addWidget(new QLabel(row.note));
        line->addStretch();
        auto* label = new QLabel(row.label);
        label->setBuddy(field); // the mnemonic moves to the field
        form->addRow(label, line);
        fields_.push_back(field);
    }
    if (key) RegGroupClose(key, "AdvancedPage");
    if (open) CloseRegApp();
}

int AdvancedPage::apply() {
    const std::vector<SettingRow>& rows = AdvancedRows();
    std::vector<std::string> texts;
    std::vector<uint32_t> numbers;
    for (size_t i = 0; i < rows.size(); i++) {
        auto* box = qobject_cast<QCheckBox*>(fields_[i]);
        QString typed = box ? QString(box->isChecked() ? "1" : "0")
                            : qobject_cast<QLineEdit*>(fields_[i])->text().trimmed();
        std::string text = ToStoreText(typed).toStdString();
        uint32_t number = 0;
        std::string problem = ValueTextProblem(RuleOf(rows[i]), text, &number);
        if (!problem.empty()) {
            QString label = QString(rows[i].label).remove('&').remove(':');
            AdminMessageBox(
                nullptr,
                QString("%1: \"%2\" %3.").arg(label, typed, QString::fromStdString(problem)),
                "Brindlex", QMessageBox::Critical);
            fields_[i]->setFocus();
            return 0;
        }
        texts.push_back(text);
        numbers.push_back(number);
    }
    if (OpenRegApp("Brindlex")) {
        if (HKEY key = RegGroupOpen("System", "AdvancedPage", true)) {
            for (size_t i = 0; i < rows.size(); i++) {
                if (RuleOf(rows[i]).kind == VALUE_STRING)
                    RegSetString(key, rows[i].value, texts[i].c_str());
                else
                    RegSetDword(key, rows[i].value, numbers[i]);
            }
            RegGroupClose(key, "AdvancedPage");
        }
        // This process takes them now: the server role's engine at once, and
        // an admin's memory stays equal to the store for the System page.
        GetRegSystem();
        CloseRegApp();
    }
    if (processRole == ROLE_ADMIN) IpcSend(IPC_MSG_SYSTEM_CHANGED, nullptr, 0);
    return 1;
}
