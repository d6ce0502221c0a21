#pragma once

#include <QMainWindow>

class QTimer;
class TunnelRegistry;

namespace Ui {
class MainWindow;
}

// The sign-in and registration window: the first window of every run. Signs in by itself
// when a user name and a password are saved; on success opens the home window and closes.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The home window opened after sign-in shows the tunnels of tunnels (a registry of its own
    // when none is given).
    explicit MainWindow(TunnelRegistry *tunnels = nullptr, QWidget *parent = nullptr);
    ~MainWindow() override;

    void login();
    void reg();

    // The verify item of a code request: MD5 of the trimmed phone number and the salt.
    static QString codeSignature(const QString &phone);

    // A sign-in that failed on the network is tried again after a pause that starts at
    // FirstRetryDelayMs, doubles with each failure up to MaxRetryDelayMs and starts over
    // once the service has answered. The environment may set other pauses.
    static constexpr int FirstRetryDelayMs = 3000;
    static constexpr int MaxRetryDelayMs = 60000;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private slots:
    void on_pushButton_login_clicked();
    void on_pushButton_exit_clicked();
    void on_pushButton_exit_2_clicked();
    void on_pushButton_clicked();
    void on_pushButton_4_clicked();
    void on_pushButton_3_clicked();
    void on_pushButton_5_clicked();

private:
    friend class TestMainWindow;

    void placeShortcutAndAutostart();
    void loginAnswered(bool flag, const QVariantMap &data);
    void loginFailed(const QString &message);
    void registerAnswered(bool flag, const QVariantMap &data);
    void registerFailed(const QString &message);

    TunnelRegistry *tunnels;
    Ui::MainWindow *ui;
    QTimer *retryTimer;
    int retryDelayMs; // the pause before the next retry
    bool signedIn = false;
};
