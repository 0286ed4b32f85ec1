#include "admin/mainwindow.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

#include "admin/about.h"
#include "admin/elided_label.h"
#include "admin/details_text.h"
#include "admin/msgbox.h"
#include "config/reg_group.h"
#include "ipc/ipc.h"
#include "ipc/ipc_details.h"
#include "view/connview.h"
#include "admin/help.h"
#include "view/listen_status.h"
#include "admin/picture.h"
#include "admin/sheet.h"
#include "config/config.h"
#include "version.h"

namespace {
MainWindow* viewWindow = nullptr; // the window the connections view draws into
void (*disconnectHook)(uint32_t, uint16_t, int64_t) = nullptr;

// What an item keeps of its connection besides connId (Qt::UserRole).
constexpr int kPortRole = Qt::UserRole + 1;
constexpr int kSinceRole = Qt::UserRole + 2;
// Each details column is as wide as a long entry of its kind.
const char* const kColumnSamples[] = {"255.255.255.255:65535",
                                      "(not logged in)",
                                      "2026-12-31 23:59",
                                      "RETR pub/debian-12.iso",
                                      "down /pub/debian-12.iso, 1023.9 MB of 1023.9 MB",
                                      "1023.9 MB/s",
                                      "TLS"};
constexpr int kColumnPadding = 16; // pixels beside the text, for the header's margins

int ColumnWidth(const QFont& font, int column) {
    return QFontMetrics(font).horizontalAdvance(kColumnSamples[column]) + kColumnPadding;
}

// One drag moves the window many times; its position is written once it
// has rested this long (and at close), so the store ends equal to the window.
constexpr int kSaveDelayMs = 300;

// A connection's line in the tree: the client's address and port
// ("a.b.c.d:port", "[v6]:port").
QString RecordText(const ConnRecord& record) {
    char text[NET_ENDPOINT_TEXT_SIZE];
    return QString::fromLatin1(NetEndpointText(record.client, text));
}
} // namespace

QRect DialogUnitsToPixels(const QFont& font, int x, int y, int width, int height) {
    QFontMetrics metrics(font);
    int cx = metrics.averageCharWidth(), cy = metrics.height();
    return QRect(x * cx / 4, y * cy / 8, width * cx / 4, height * cy / 8);
}

QSize ConnectionsPaneSize(const QFont& font) {
    return DialogUnitsToPixels(font, 0, 0, 186, 105).size();
}

QSize DetailsPaneSize(const QFont& font) {
    int columns = 0;
    for (int c = 0; c < (int)std::size(kColumnSamples); c++)
        columns += ColumnWidth(font, c);
    // The columns, the tree's frame and margins of 7 units each side.
    QRect margins = DialogUnitsToPixels(font, 0, 0, 14 + 4, 150);
    return QSize(columns + margins.width(), margins.height());
}

void SetDisconnectHook(void (*hook)(uint32_t, uint16_t, int64_t)) {
    disconnectHook = hook;
}

MainWindow::MainWindow(const MainWindowOptions& options, QWidget* parent)
    : QMainWindow(parent), options_(options) {
    setObjectName("mainWindow");
    setWindowTitle("Brindlex");
    setWindowIcon(ProgramIcon());
    // Caption, system menu and minimize box: no maximize, no sizing frame.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);

    buildMenus();
    setCentralWidget(buildConnectionsPane());
    statusBar()->setObjectName("statusBar");
    statusBar()->setSizeGripEnabled(false);
    // "Ready", or why the server does not listen (port and reason), until it
    // listens again: cut to the narrow window, whole in the tooltip.
    status_ = new ElidedLabel;
    status_->setObjectName("statusText");
    statusBar()->addWidget(status_, 1);
    showListenStatus();
    fitToContents();

    saveTimer_ = new QTimer(this);
    saveTimer_->setSingleShot(true);
    connect(saveTimer_, &QTimer::timeout, this, &MainWindow::savePosition);

    if (options_.serverRole && options_.trayAvailable) {
        tray_ = new QSystemTrayIcon(ProgramIcon(), this);
        tray_->setToolTip(QString::fromLatin1(BRINDLEX_VERSION_CAPTION).left(63));
        connect(tray_, &QSystemTrayIcon::activated, this, &MainWindow::trayActivated);
        tray_->show();
    }

    viewWindow = this;
    ConnViewSetObserver(ConnViewChanged);
    ListenStatusSetObserver(ListenStatusChanged);
    if (displaySettings.details) setDetails(true);
    refreshTree();
    updateActions();
}

MainWindow::~MainWindow() {
    if (viewWindow == this) {
        ConnViewSetObserver(nullptr);
        ListenStatusSetObserver(nullptr);
        viewWindow = nullptr;
        ConnViewSetDetailsShown(false);
    }
}

void MainWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    file->setObjectName("fileMenu");
    QAction* exitAction = file->addAction("E&xit", this, &QWidget::close);
    exitAction->setObjectName("exitAction");
    file->addAction("&Properties", this, &MainWindow::showProperties)
        ->setObjectName("propertiesAction");
    QMenu* view = menuBar()->addMenu("&View");
    view->setObjectName("viewMenu");
    detailsAction_ = view->addAction("&Details");
    detailsAction_->setObjectName("detailsAction");
    detailsAction_->setCheckable(true);
    connect(detailsAction_, &QAction::triggered, this, [this](bool on) {
        setDetails(on);
        // Kept for the next start; a window preference, so the server is
        // not asked to reload anything.
        displaySettings.details = on ? 1 : 0;
        if (OpenRegApp("Brindlex")) {
            if (HKEY key = RegGroupOpen("Display", "SetRegDisplay", true)) {
                RegSetDword(key, "Details", (uint32_t)displaySettings.details);
                RegGroupClose(key, "SetRegDisplay");
            }
            CloseRegApp();
        }
    });
    QMenu* connection = menuBar()->addMenu("&Connection");
    connection->setObjectName("connectionMenu");
    disconnectAction_ = connection->addAction("&Disconnect", this, &MainWindow::disconnectSelected);
    disconnectAction_->setObjectName("disconnectAction");
    contextMenu_ = new QMenu(this);
    contextMenu_->setObjectName("connectionContextMenu");
    contextMenu_->addAction(disconnectAction_);
    QMenu* help = menuBar()->addMenu("&Help");
    help->setObjectName("helpMenu");
    help->addAction("&Help Topics", this, &MainWindow::helpTopics)
        ->setObjectName("helpTopicsAction");
    help->addAction("&Online Help", this, &MainWindow::onlineHelp)
        ->setObjectName("onlineHelpAction");
    help->addAction("&About...", this, &MainWindow::showAbout)->setObjectName("aboutAction");
}

// The Active Connections dialog: the centred caption above the tree, placed
// in dialog units of the window's font.
QWidget* MainWindow::buildConnectionsPane() {
    auto* pane = new QWidget;
    pane->setObjectName("connectionsPane");
    QFont font = this->font();
    pane->setFixedSize(ConnectionsPaneSize(font));

    auto* caption = new QLabel("Active Connections", pane);
    caption->setObjectName("connectionsCaption");
    caption->setAlignment(Qt::AlignCenter);
    caption->setGeometry(DialogUnitsToPixels(font, 7, 6, 172, 8));

    tree_ = new QTreeWidget(pane);
    tree_->setObjectName("connectionsView");
    tree_->setGeometry(DialogUnitsToPixels(font, 7, 18, 172, 80));
    tree_->setHeaderHidden(true);
    tree_->setColumnCount(1);
    tree_->setRootIsDecorated(true);
    tree_->setSortingEnabled(false);
    tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tree_->setDragEnabled(false);
    tree_->setFocusPolicy(Qt::StrongFocus);
    tree_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tree_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tree_, &QWidget::customContextMenuRequested, this, &MainWindow::showContextMenu);
    connect(tree_, &QTreeWidget::itemSelectionChanged, this, &MainWindow::updateActions);
    caption_ = caption;
    setFocusProxy(tree_);
    return pane;
}

bool MainWindow::detailsOn() const {
    return detailsAction_->isChecked();
}

void MainWindow::setDetails(bool on) {
    detailsAction_->setChecked(on);
    if (!summary_) {
        summary_ = new QLabel;
        summary_->setObjectName("summaryLabel");
        statusBar()->addPermanentWidget(summary_);
    }
    summary_->setVisible(on);
    applyDetailsLayout();
    ConnViewSetDetailsShown(on);
    // Rebuilt in the new form.
    while (tree_->topLevelItemCount() > 0)
        delete tree_->takeTopLevelItem(0);
    refreshTree();
}

// Off: the Active Connections dialog as it always was. On: a wider pane,
// the tree with a header and the details columns.
void MainWindow::applyDetailsLayout() {
    bool on = detailsOn();
    QFont font = this->font();
    QSize size = on ? DetailsPaneSize(font) : ConnectionsPaneSize(font);
    QWidget* pane = centralWidget();
    pane->setFixedSize(size);
    if (on) {
        // The same margins, the rest of the width for the columns.
        QRect caption = DialogUnitsToPixels(font, 7, 6, 0, 8);
        QRect tree = DialogUnitsToPixels(font, 7, 18, 0, 127);
        caption_->setGeometry(caption.adjusted(0, 0, size.width() - 2 * caption.x(), 0));
        tree_->setGeometry(tree.adjusted(0, 0, size.width() - 2 * tree.x(), 0));
    } else {
        caption_->setGeometry(DialogUnitsToPixels(font, 7, 6, 172, 8));
        tree_->setGeometry(DialogUnitsToPixels(font, 7, 18, 172, 80));
    }
    tree_->setHeaderHidden(!on);
    tree_->setRootIsDecorated(!on);
    tree_->setColumnCount(on ? (int)DetailsTitles().size() : 1);
    if (on) {
        tree_->setHeaderLabels(DetailsTitles());
        tree_->header()->setStretchLastSection(true);
        for (int i = 0; i < (int)std::size(kColumnSamples); i++)
            tree_->setColumnWidth(i, ColumnWidth(font, i));
    }
    fitToContents();
}

void MainWindow::updateActions() {
    disconnectAction_->setEnabled(!tree_->selectedItems().isEmpty());
}

void MainWindow::showContextMenu(const QPoint& where) {
    QTreeWidgetItem* item = tree_->itemAt(where);
    if (!item) return;
    if (!item->isSelected()) {
        tree_->clearSelection();
        item->setSelected(true);
    }
    contextMenu_->popup(tree_->viewport()->mapToGlobal(where));
}

void MainWindow::disconnectSelected() {
    QList<QTreeWidgetItem*> selected = tree_->selectedItems();
    if (selected.isEmpty()) return;
    if (selected.size() > 1 &&
        AdminMessageBox(this,
                        QString("Disconnect the %1 selected connections?").arg(selected.size()),
                        "Brindlex", QMessageBox::Question,
                        QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    for (QTreeWidgetItem* item : selected) {
        auto connId = (uint32_t)item->data(0, Qt::UserRole).toUInt();
        auto port = (uint16_t)item->data(0, kPortRole).toUInt();
        int64_t since = item->data(0, kSinceRole).toLongLong();
        if (options_.serverRole) {
            if (disconnectHook) disconnectHook(connId, port, since);
        } else {
            uint8_t data[IPC_DISCONNECT_WIDE_SIZE];
            IpcSend(IPC_MSG_DISCONNECT, data, IpcPackDisconnect(data, connId, port, since));
        }
    }
}

// Exactly the pane plus the menu and status bars; never resized after.
void MainWindow::fitToContents() {
    int height = menuBar()->sizeHint().height() + centralWidget()->height() +
                 statusBar()->sizeHint().height();
    setFixedSize(centralWidget()->width(), height);
}

void MainWindow::ConnViewChanged() {
    if (viewWindow) viewWindow->refreshTree();
}

void MainWindow::ListenStatusChanged() {
    if (viewWindow) viewWindow->showListenStatus();
}

void MainWindow::showListenStatus() {
    status_->setFullText(QString::fromLatin1(ListenStatusText().c_str()));
}

// Brings the tree in line with the model: items that match in place stay
// (with their selection; in the details view their columns are brought up
// to date), the rest is rebuilt.
void MainWindow::refreshTree() {
    std::vector<ConnRecord> items = ConnViewItems();
    bool details = detailsOn();
    int same = 0;
    while (same < tree_->topLevelItemCount() && same < (int)items.size()) {
        QTreeWidgetItem* item = tree_->topLevelItem(same);
        if (item->data(0, Qt::UserRole).toUInt() != items[same].connId ||
            item->text(0) != RecordText(items[same]))
            break;
        if (details) {
            QStringList columns = DetailsColumns(items[same]);
            for (int c = 1; c < tree_->columnCount(); c++)
                item->setText(c, columns.value(c));
            item->setData(0, kSinceRole, (qlonglong)items[same].connectedSinceMs);
        }
        same++;
    }
    while (tree_->topLevelItemCount() > same)
        delete tree_->takeTopLevelItem(same);
    for (size_t i = same; i < items.size(); i++) {
        QStringList columns =
            details ? DetailsColumns(items[i]) : QStringList(RecordText(items[i]));
        auto* item = new QTreeWidgetItem(columns);
        item->setData(0, Qt::UserRole, (uint)items[i].connId);
        item->setData(0, kPortRole, (uint)items[i].client.port);
        item->setData(0, kSinceRole, (qlonglong)items[i].connectedSinceMs);
        item->setFlags(item->flags() & ~Qt::ItemIsEditable);
        tree_->addTopLevelItem(item);
    }
    if (details && summary_) summary_->setText(SummaryText(ConnViewSummary()));
    updateActions();
}

void MainWindow::showAtStart() {
    bool stored = windowRect.right > windowRect.left && windowRect.bottom > windowRect.top;
    if (options_.serverRole && stored) move(windowRect.left, windowRect.top);
    show();
    if (!options_.serverRole || !displaySettings.hideInitially) return;
    // Without a notification area a hidden window could not be brought
    // back: it starts minimized instead.
    if (options_.trayAvailable)
        hideToTray();
    else
        showMinimized();
}

// A passing message (a menu's status tip) gives the status line back at the
// next repaint.
void MainWindow::paintEvent(QPaintEvent* event) {
    if (!statusBar()->currentMessage().isEmpty()) statusBar()->clearMessage();
    QMainWindow::paintEvent(event);
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (options_.serverRole && isVisible() && !isMinimized() && !closed_)
        saveTimer_->start(kSaveDelayMs);
}

void MainWindow::savePosition() {
    saveTimer_->stop();
    QRect frame = frameGeometry();
    windowRect = {frame.left(), frame.top(), frame.left() + frame.width(),
                  frame.top() + frame.height()};
    if (OpenRegApp("Brindlex")) {
        SetRegWindow();
        CloseRegApp();
    }
}

void MainWindow::flushPosition() {
    if (saveTimer_->isActive()) savePosition();
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !(windowState() & Qt::WindowMinimized))
        return;
    if (options_.serverRole && options_.trayAvailable && displaySettings.hideWhenMinimized &&
        !hiddenInTray_) {
        // Hidden instead of minimized; the tray icon brings it back.
        QTimer::singleShot(0, this, [this] { hideToTray(); });
    }
}

void MainWindow::hideToTray() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    hide();
    hiddenInTray_ = true;
    ConnViewSetDetailsShown(false); // nobody sees it: no samples
}

void MainWindow::showFromTray() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    hiddenInTray_ = false;
    ConnViewSetDetailsShown(detailsOn());
}

void MainWindow::trayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger) return;
    if (hiddenInTray_)
        showFromTray();
    else if (options_.serverRole && options_.trayAvailable)
        hideToTray();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    if (closed_) return;
    closed_ = true;
    flushPosition();
    if (onClose_) onClose_();
    if (tray_) tray_->hide();
}

void MainWindow::showProperties() {
    ShowPropertySheet(this);
}

void MainWindow::showAbout() {
    AboutDialog about(this);
    about.exec();
}

void MainWindow::helpTopics() {
    OpenHelpTopics(this);
}
void MainWindow::onlineHelp() {
    OpenOnlineHelp();
}
