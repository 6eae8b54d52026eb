#pragma once
// CMainDialog: the application's main window. Its start starts all servers,
// says on standard output what listens, and gets out of the way: hidden
// behind the tray icon where a system tray exists, else minimised; when not
// one configured server could start it stays up and says so instead. The
// Users field is filled at the start; shown (a left click on the tray icon,
// or restoring it), the window refreshes it at once and then every 15
// seconds ("-" while the servers are stopped). Shutdown (the button, Enter,
// or closing the window without a tray) asks first when users are
// connected, then removes the tray icon and stops the servers; Settings
// (the button or Esc) runs the settings sheet and offers to restart the
// servers when a change needs it. Ending this dialog ends the program.

#include "ui_main_dialog.h"

#include <QDialog>
#include <QSystemTrayIcon>
#include <QTimer>

inline constexpr int kUsersRefreshMs = 15000;
inline constexpr unsigned kRestartPromptId = 2055;
inline constexpr unsigned kShutdownPromptId = 2057;

class CMainDialog : public QDialog {
    Q_OBJECT
public:
    // trayMode: a system tray exists, so the window hides behind an icon.
    explicit CMainDialog(bool trayMode, QWidget* parent = nullptr);
    ~CMainDialog() override;

    // Shows the window and runs it until Shutdown; the servers are stopped
    // on return.
    int DoModal();
    // The window's start (DoModal's first step): tray icon, caption, servers
    // started, and the window hidden or minimised.
    void Start();

    // Shows the window (hidden or minimised) in front, as the tray click and
    // a second start of the program do.
    void ShowFromTray();
    bool TrayMode() const { return m_trayMode; }
    QSystemTrayIcon* TrayIcon() const { return m_tray; }
    QLabel* UsersField() const { return m_ui.usersField; }
    QPushButton* ShutdownButton() const { return m_ui.shutdownButton; }
    QPushButton* SettingsButton() const { return m_ui.settingsButton; }
    bool TimerRunning() const { return m_timer.isActive(); }
    // Shown, with the window, when not one configured server could start.
    QLabel* StatusLabel() const { return m_statusLabel; }

public slots:
    // Shutdown.
    void accept() override;
    // Esc: Settings.
    void reject() override;
    void OnSettings();
    // Writes the client count (or "-") into the Users field.
    void OnTimer();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void OnHideWindow();
    // Fills the Users field and refreshes it every kUsersRefreshMs.
    void StartRefresh();
    // After a start: what listens to standard output, or the window says
    // that nothing does.
    void ReportListeners();

    Ui::MainDialog m_ui;
    bool m_trayMode;
    QSystemTrayIcon* m_tray = nullptr;
    QTimer m_timer;
    bool m_ending = false;
    QLabel* m_statusLabel = nullptr;
    bool m_nothingListens = false;
};
