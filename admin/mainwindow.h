// The main window "Brindlex": menus, the status bar, the Active Connections
// view, and in the server role the tray icon and the remembered position.
#pragma once

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <functional>

class ElidedLabel;
class QAction;
class QLabel;
class QMenu;
class QTimer;
class QTreeWidget;

struct MainWindowOptions {
    bool serverRole;    // ROLE_SERVER: tray icon, position restored and saved
    bool trayAvailable; // the desktop has a notification area
};

class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    explicit MainWindow(const MainWindowOptions& options, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Run once when the window closes (E&xit, the close box, SIGTERM/SIGINT):
    // the program's orderly shutdown.
    void setOnClose(std::function<void()> onClose) { onClose_ = std::move(onClose); }
    // Shows the window as start-up does: at the stored position (server
    // role), then hidden or minimized when "Hide Initially" asks for it.
    void showAtStart();
    bool hiddenInTray() const { return hiddenInTray_; }
    QTreeWidget* connectionsView() const { return tree_; }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    // A saved position not yet written to the store is written now.
    void flushPosition();
    // View > Details: the connections in columns with a summary below.
    bool detailsOn() const;
    QAction* detailsAction() const { return detailsAction_; }
    QAction* disconnectAction() const { return disconnectAction_; }
    QLabel* summaryLabel() const { return summary_; }
    // The context menu of the connections list (built on demand).
    QMenu* connectionMenu() const { return contextMenu_; }

  public slots:
    void trayActivated(QSystemTrayIcon::ActivationReason reason);
    void showProperties();
    void showAbout();
    void helpTopics();
    void onlineHelp();
    void setDetails(bool on);
    // Connection > Disconnect: ends the selected connections (asks first
    // when there are several).
    void disconnectSelected();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void buildMenus();
    QWidget* buildConnectionsPane();
    void fitToContents();
    void savePosition();
    void showFromTray();
    void hideToTray();
    static void ConnViewChanged();
    static void ListenStatusChanged();
    void showListenStatus();
    void refreshTree();
    void applyDetailsLayout();
    void showContextMenu(const QPoint& where);
    void updateActions();

    MainWindowOptions options_;
    QTreeWidget* tree_ = nullptr;
    ElidedLabel* status_ = nullptr;
    QLabel* caption_ = nullptr;
    QLabel* summary_ = nullptr;
    QAction* detailsAction_ = nullptr;
    QAction* disconnectAction_ = nullptr;
    QMenu* contextMenu_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QTimer* saveTimer_ = nullptr;
    bool hiddenInTray_ = false;
    bool closed_ = false;
    std::function<void()> onClose_;
};

// The Active Connections dialog's size in pixels for a font: 186 x 105
// dialog units, x = units * average character width / 4, y = units *
// character height / 8.
QSize ConnectionsPaneSize(const QFont& font);
// Dialog units to pixels for a font, the same rule.
QRect DialogUnitsToPixels(const QFont& font, int x, int y, int width, int height);
// The details view's pane, in the same units: wide enough for its columns.
QSize DetailsPaneSize(const QFont& font);

// Installed by the program (server role): ends a connection of this
// process's engine. Null where no engine runs; the admin role asks the
// server through its slot instead.
void SetDisconnectHook(void (*hook)(uint32_t connId, uint16_t clientPort, int64_t sinceMs));
