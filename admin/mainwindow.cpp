#include "admin/mainwindow.h"

#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

#include "admin/about.h"
#include "admin/elided_label.h"
#include "view/connview.h"
#include "admin/help.h"
#include "view/listen_status.h"
#include "admin/picture.h"
#include "admin/sheet.h"
#include "config/config.h"
#include "version.h"

namespace {
MainWindow* viewWindow = nullptr; // the window the connections view draws into

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
    refreshTree();
}

MainWindow::~MainWindow() {
    if (viewWindow == this) {
        ConnViewSetObserver(nullptr);
        ListenStatusSetObserver(nullptr);
        viewWindow = nullptr;
    }
}

void MainWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    file->setObjectName("fileMenu");
    QAction* exitAction = file->addAction("E&xit", this, &QWidget::close);
    exitAction->setObjectName("exitAction");
    file->addAction("&Properties", this, &MainWindow::showProperties)
        ->setObjectName("propertiesAction");
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
    setFocusProxy(tree_);
    return pane;
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
// (with their selection), the rest is rebuilt.
void MainWindow::refreshTree() {
    std::vector<ConnRecord> items = ConnViewItems();
    int same = 0;
    while (same < tree_->topLevelItemCount() && same < (int)items.size()) {
        QTreeWidgetItem* item = tree_->topLevelItem(same);
        if (item->data(0, Qt::UserRole).toUInt() != items[same].connId ||
            item->text(0) != RecordText(items[same]))
            break;
        same++;
    }
    while (tree_->topLevelItemCount() > same)
        delete tree_->takeTopLevelItem(same);
    for (size_t i = same; i < items.size(); i++) {
        auto* item = new QTreeWidgetItem(QStringList(RecordText(items[i])));
        item->setData(0, Qt::UserRole, (uint)items[i].connId);
        item->setFlags(item->flags() & ~Qt::ItemIsEditable);
        tree_->addTopLevelItem(item);
    }
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
}

void MainWindow::showFromTray() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    hiddenInTray_ = false;
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
