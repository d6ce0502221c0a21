#pragma once

#include <QStringList>
#include <QWidget>

class QTimer;
class UpdateDownload;

namespace Ui {
class UpDateForm;
}

// Installs a new version: shows the offer, counts down, and shows how the download (done by
// UpdateDownload) goes and how it fails; at the end the download hands over to the external
// update program and ends this process.
class UpDateForm : public QWidget
{
    Q_OBJECT

public:
    explicit UpDateForm(QWidget *parent = nullptr);
    ~UpDateForm() override;

    static constexpr int CountdownSeconds = 5;
    static constexpr int CountdownTickMs = 1000;
    static constexpr int ProgressFullWidthPx = 160;
    static constexpr int ProgressHeightPx = 41;

    // The download lists separate their URLs with this.
    static QString separator() { return QStringLiteral("|||"); }

    // note is accepted for the caller's sake and not used.
    void setData(const QString &version, const QString &description, const QString &note,
                 const QString &urls);
    // The forced start. A release that was refused before is not fetched again by itself:
    // the window tells why instead, once.
    void startUpdate();

    // The processes ended before downloading, by the path that started the update.
    static QStringList countdownCleanupNames();
    static QStringList buttonCleanupNames();

public slots:
    void downloadFile(QString url);
    void networkReplyProgress(qlonglong bytesRead, qlonglong totalBytes);
    void cancelDownload();

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void onCountdownTick();

private:
    friend class TstUpDateForm;
    friend class TstMyWindow;
    friend class TstSignedUpdate;

    void beginUpdate(const QStringList &cleanupNames);
    void showFileStarted(int index);
    void showSaveError(const QString &path, const QString &reason);
    void showDownloadFailure(const QString &reason);
    void reappear();
    void finishAll();

    QString version;
    QStringList urlList;
    int countdown = CountdownSeconds;
    QTimer *countdownTimer = nullptr;
    UpdateDownload *download = nullptr;
    Ui::UpDateForm *ui;
};
