// The main window "Brindlex": menus, the status bar, the Active Connections
// view, and in the server role the tray icon and the remembered position.
#pragma once

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <functional>

class ElidedLabel;
class QLabel;
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

  public slots:
    void trayActivated(QSystemTrayIcon::ActivationReason reason);
    void showProperties();
    void showAbout();
    void helpTopics();
    void onlineHelp();

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

    MainWindowOptions options_;
    QTreeWidget* tree_ = nullptr;
    ElidedLabel* status_ = nullptr;
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
