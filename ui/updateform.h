#pragma once

#include "core/updatemanifest.h"

#include <QCryptographicHash>
#include <QNetworkReply>
#include <QPointer>
#include <QStringList>
#include <QUrl>
#include <QWidget>

class QNetworkAccessManager;
class QSaveFile;
class QTimer;

namespace Ui {
class UpDateForm;
}

// Installs a new version: fetches every listed file, one after the other, into the program's
// directory, then hands over to the external update program and ends this process.
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
    // A chain of redirects longer than this is treated as a failed download.
    static constexpr int MaxRedirects = 10;

    // The download lists separate their URLs with this.
    static QString separator() { return QStringLiteral("|||"); }

    // note is accepted for the caller's sake and not used.
    void setData(const QString &version, const QString &description, const QString &note,
                 const QString &urls);
    void startUpdate();

    // Where the files go until the update program moves them in: the environment's update
    // folder, "update" in the program's directory by default.
    static QString targetDirectory();

    // The processes ended before downloading, by the path that started the update.
    static QStringList countdownCleanupNames();
    static QStringList buttonCleanupNames();

public slots:
    void downloadFile(QString url);
    void httpFinished();
    void httpReadyRead();
    void networkReplyProgress(qlonglong bytesRead, qlonglong totalBytes);
    void cancelDownload();

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void onCountdownTick();

private:
    friend class TstUpDateForm;
    friend class TstMyWindow;

    void beginUpdate(const QStringList &cleanupNames);
    bool openTarget(const QString &path);
    void startRequest(const QUrl &requestedUrl);
    void showSaveError(const QString &path, const QString &reason);
    void showDownloadFailure(const QString &reason);
    void reappear();
    void finishAll();
    // With an update key, the signed release list comes first and every download is held
    // against it before it may be saved.
    void fetchManifest();
    void manifestFinished();
    bool matchesManifest(const QString &path);

    QStringList urlList;
    int count = 0;
    int countdown = CountdownSeconds;
    QTimer *countdownTimer = nullptr;
    QNetworkAccessManager *manager = nullptr;
    QUrl url;
    QPointer<QNetworkReply> reply;
    QSaveFile *file = nullptr;
    bool aborted = false;
    int redirects = 0;
    QString version;
    QByteArray verifyKey;
    std::optional<UpdateManifest> manifest;
    QByteArray manifestDocument;
    QCryptographicHash received{QCryptographicHash::Sha256};
    qint64 receivedBytes = 0;
    Ui::UpDateForm *ui;
};
