#include "admin/advanced_page.h"

#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "admin/msgbox.h"
#include "admin/page_util.h"
#include "admin/system_page.h"
#include "config/config.h"
#include "config/reg_group.h"
#include "config/value_rules.h"
#include "ipc/ipc.h"
#include "ipc/role.h"

namespace {
// The sizes GetRegSystem reads the strings with (config/reg_groups.cpp,
// config/proxy_settings.cpp): a longer text would be cut there.
constexpr int kAddressSize = 64;  // PassivePorts, PassiveAddress, ListenAddress
constexpr int kProgramSize = 260; // UploadHook, MetricsAddress
constexpr int kProxyFromSize = 1024;
constexpr int kPathSize = sizeof systemSettings.tlsCertificate; // TlsCertificate, TlsKey
static_assert(sizeof systemSettings.tlsKey == kPathSize);

const ValueRule& RuleOf(const SettingRow& row) {
    return *ValueRuleFind("System", row.value);
}

// What the store holds for a row, as the field shows it (a missing or
// unusable number: its default).
QString StoredText(HKEY key, const SettingRow& row) {
    const ValueRule& rule = RuleOf(row);
    if (rule.kind == VALUE_STRING) {
        std::vector<char> text(row.size, 0);
        if (key) RegGetString(key, row.value, text.data(), (uint32_t)text.size());
        return FromStoreText(text.data());
    }
    uint32_t number =
        key ? RegGetCheckedDword(key, "AdvancedPage", "System", row.value) : rule.byDefault;
    return QString::number(number);
}

// The page's content is taller than a short screen allows: it scrolls
// vertically, never sideways, and asks for at most about 28 lines.
class PageScroll : public QScrollArea {
  public:
    QSize sizeHint() const override {
        QSize content = widget()->sizeHint();
        int width = content.width() + verticalScrollBar()->sizeHint().width() + 2 * frameWidth();
        int height = std::min(content.height(), 28 * fontMetrics().height());
        return {width, height + 2 * frameWidth()};
    }
};
} // namespace

const std::vector<SettingRow>& AdvancedRows() {
    static const std::vector<SettingRow> rows = {
        {nullptr, "Sessions", SETTING_GROUP, nullptr},
        {"LoginTimeout", "&Login time-out:", SETTING_NUMBER, "seconds, 0 = none"},
        {"IdleTimeout", "&Idle time-out:", SETTING_NUMBER, "seconds, 0 = none"},
        {"LoginFailDelay", "&Failed login delay:", SETTING_NUMBER, "ms"},
        {"Extensions", "Protocol &extensions (FEAT, EPSV, MLSD, SIZE, ...)", SETTING_SWITCH,
         nullptr},
        {nullptr, "Addresses", SETTING_GROUP, nullptr},
        {"ListenAddress", "Listen a&ddress:", SETTING_TEXT, "empty = every address", kAddressSize},
        {"PassivePorts", "Passive &ports:", SETTING_TEXT, "low-high; empty = any", kAddressSize},
        {"PassiveAddress", "Passive &address:", SETTING_TEXT, "empty = as reached", kAddressSize},
        {nullptr, "TLS", SETTING_GROUP, nullptr},
        {"Tls", "&TLS:", SETTING_CHOICE, "Off|Offered|Required"},
        {"TlsCertificate", "&Certificate file:", SETTING_TEXT, nullptr, kPathSize},
        {"TlsKey", "&Key file:", SETTING_TEXT, nullptr, kPathSize},
        {"ImplicitTlsPort", "I&mplicit TLS port:", SETTING_NUMBER, "0 = none"},
        {"TlsDataResume", "Data connections must &resume the TLS session", SETTING_SWITCH, nullptr},
        {nullptr, "Limits", SETTING_GROUP, nullptr},
        {"MaxDownloadRate", "Do&wnload rate:", SETTING_NUMBER, "KiB/s, whole server, 0 = none"},
        {"MaxUploadRate", "&Upload rate:", SETTING_NUMBER, "KiB/s, whole server, 0 = none"},
        {"MaxConnPerAddress", "C&onnections per address:", SETTING_NUMBER, "0 = none"},
        {"SocketThreads", "Socket threads:", SETTING_NUMBER, "0 = one per core; at the next start"},
        {"UploadHook", "Upload &hook:", SETTING_TEXT, nullptr, kProgramSize},
        {"UploadHookTimeout", "Hook time limit:", SETTING_NUMBER, "seconds"},
        {nullptr, "Monitoring", SETTING_GROUP, nullptr},
        {"MetricsAddress", "Metrics address:", SETTING_TEXT, "address:port; empty = off",
         kProgramSize},
        {"MetricsPerAccount", "Metrics per account", SETTING_SWITCH, nullptr},
        {nullptr, "Load balancer", SETTING_GROUP, nullptr},
        {"ProxyProtocol", "PROXY protocol header on every connection", SETTING_SWITCH, nullptr},
        {"ProxyFrom", "&Balancers:", SETTING_TEXT, "address[/bits], ...", kProxyFromSize},
    };
    return rows;
}

AdvancedPage::AdvancedPage(QWidget* parent) : QWidget(parent) {
    setObjectName("advancedPage");
    HKEY key = nullptr;
    bool open = OpenRegApp("Brindlex");
    if (open) key = RegGroupOpen("System", "AdvancedPage", false);
    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    QFormLayout* form = nullptr;
    std::vector<QLabel*> labels;
    for (const SettingRow& row : AdvancedRows()) {
        if (row.kind == SETTING_GROUP) {
            auto* box = new QGroupBox(row.label);
            form = new QFormLayout(box);
            column->addWidget(box);
            fields_.push_back(nullptr);
            continue;
        }
        QString text = StoredText(key, row);
        if (row.kind == SETTING_SWITCH) {
            auto* box = new QCheckBox(row.label);
            box->setObjectName(row.value);
            box->setChecked(text == "1");
            connect(box, &QCheckBox::clicked, this, &AdvancedPage::changed);
            auto* none = new QLabel;
            labels.push_back(none);
            form->addRow(none, box);
            fields_.push_back(box);
            continue;
        }
        QWidget* field = nullptr;
        if (row.kind == SETTING_CHOICE) {
            auto* list = new QComboBox;
            list->addItems(QString(row.note).split('|'));
            list->setCurrentIndex(text.toInt()); // a stored value is within the rule's range
            connect(list, &QComboBox::activated, this, &AdvancedPage::changed);
            field = list;
        } else {
            auto* line = new QLineEdit(text);
            line->setMaxLength(row.kind == SETTING_NUMBER ? 10 : row.size - 1);
            if (row.kind == SETTING_NUMBER) FitNumberField(line, 10);
            // A path or a list is seen whole more often than not.
            if (row.size > kAddressSize)
                line->setMinimumWidth(line->fontMetrics().averageCharWidth() * 36);
            connect(line, &QLineEdit::textEdited, this, &AdvancedPage::changed);
            field = line;
        }
        field->setObjectName(row.value);
        auto* line = new QHBoxLayout;
        line->addWidget(field);
        if (row.note && row.kind != SETTING_CHOICE) line->addWidget(new QLabel(row.note));
        line->addStretch();
        auto* label = new QLabel(row.label);
        label->setBuddy(field); // the mnemonic moves to the field
        labels.push_back(label);
        form->addRow(label, line);
        fields_.push_back(field);
    }
    column->addStretch();
    // One label column for every box, so the fields line up down the page.
    int widest = 0;
    for (QLabel* label : labels)
        widest = std::max(widest, label->sizeHint().width());
    for (QLabel* label : labels)
        label->setMinimumWidth(widest);
    if (key) RegGroupClose(key, "AdvancedPage");
    if (open) CloseRegApp();

    auto* scroll = new PageScroll;
    scroll->setObjectName("advancedScroll");
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);
    scroll_ = scroll;
}

int AdvancedPage::apply() {
    const std::vector<SettingRow>& rows = AdvancedRows();
    std::vector<std::string> texts(rows.size());
    std::vector<uint32_t> numbers(rows.size());
    for (size_t i = 0; i < rows.size(); i++) {
        if (!fields_[i]) continue;
        QString typed;
        if (auto* box = qobject_cast<QCheckBox*>(fields_[i]))
            typed = box->isChecked() ? "1" : "0";
        else if (auto* list = qobject_cast<QComboBox*>(fields_[i]))
            typed = QString::number(list->currentIndex());
        else
            typed = qobject_cast<QLineEdit*>(fields_[i])->text().trimmed();
        std::string text = ToStoreText(typed).toStdString();
        std::string problem = ValueTextProblem(RuleOf(rows[i]), text, &numbers[i]);
        if (!problem.empty()) {
            QString label = QString(rows[i].label).remove('&').remove(':');
            AdminMessageBox(
                nullptr,
                QString("%1: \"%2\" %3.").arg(label, typed, QString::fromStdString(problem)),
                "Brindlex", QMessageBox::Critical);
            scroll_->ensureWidgetVisible(fields_[i]);
            fields_[i]->setFocus();
            return 0;
        }
        texts[i] = text;
    }
    if (OpenRegApp("Brindlex")) {
        if (HKEY key = RegGroupOpen("System", "AdvancedPage", true)) {
            for (size_t i = 0; i < rows.size(); i++) {
                if (!fields_[i]) continue;
                if (RuleOf(rows[i]).kind == VALUE_STRING)
                    RegSetString(key, rows[i].value, texts[i].c_str());
                else
                    RegSetDword(key, rows[i].value, numbers[i]);
            }
            RegGroupClose(key, "AdvancedPage");
        }
        // This process takes them now, as the server reads them: the server
        // role's engine at once, and an admin's memory stays equal to the
        // store for the System page.
        GetRegSystem();
        CloseRegApp();
    }
    if (processRole == ROLE_ADMIN) IpcSend(IPC_MSG_SYSTEM_CHANGED, nullptr, 0);
    RunSystemAppliedHook();
    return 1;
}
