#pragma once

#include "core/updatemanifest.h"

#include <QCryptographicHash>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QSaveFile;

// Fetches the files of a new version, one after the other, into the update folder, and hands
// them over to the update program tsy_up. With an update key (every release build), the signed
// release list comes first: the offered list must name exactly its files, and each download is
// cut at its listed size and held to its hash before it may be saved. A window shows what this
// reports.
class UpdateDownload : public QObject
{
    Q_OBJECT

public:
    explicit UpdateDownload(QObject *parent = nullptr);
    ~UpdateDownload() override;

    // A chain of redirects longer than this is treated as a failed download.
    static constexpr int MaxRedirects = 10;

    void setRelease(const QString &version, const QStringList &urls);
    // Fetches from the file at finishedCount() on (the first, or the one that failed); does
    // nothing while a download runs.
    void start();
    // Fetches one file into the update folder; does nothing while a download runs.
    void downloadFile(const QString &url);
    // Ends the download in progress; the update folder keeps no part of it.
    void cancel();
    // Writes the release list for tsy_up beside the files, starts tsy_up and ends this process.
    void handOver();

    bool isRunning() const { return reply != nullptr; }
    int finishedCount() const { return count; }
    bool verifies() const { return !verifyKey.isEmpty(); }

    // Where the files go until the update program moves them in: the environment's update
    // folder, the update folder in the program's directory by default.
    static QString stagingDirectory();

    // Releases this client does not start by itself again: those its own checks refused in
    // this run, and the one tsy_up refused on the last run. The reason, or empty.
    static QString refusedBecause(const QString &version);
    // Whether the user has been told of the refusal.
    static bool refusalShown(const QString &version);
    static void refuse(const QString &version, const QString &reason, bool shown);

signals:
    // File index (from 0) is being fetched.
    void fileStarted(int index);
    void progress(qint64 bytesRead, qint64 totalBytes);
    // The file at path cannot be saved, or must not be.
    void saveFailed(const QString &path, const QString &reason);
    // The transfer itself failed.
    void failed(const QString &reason);
    // Every file is staged.
    void finished();

private:
    friend class TstSignedUpdate;
    friend class UpdateSurroundings;
    // Every refusal of this run is forgotten; each test starts as a fresh run.
    static void forgetRefusals();

    void fetchManifest();
    void manifestFinished();
    // Why the offered files are not exactly the signed release's; empty when they are.
    QString listMismatch() const;
    bool openTarget(const QString &path);
    void startRequest(const QUrl &requestedUrl);
    // The most the reply in progress may bring: the listed size, or a redirect's page.
    qint64 sizeLimit() const;
    void readAvailable();
    void onProgress(qint64 bytesRead, qint64 totalBytes);
    // The reply that just finished, released once control returns to the event loop.
    QNetworkReply *takeReply();
    void httpFinished();
    void refuseFile(const QString &path, const QString &reason);
    QByteArray releaseList() const;
    void discardFile();

    QNetworkAccessManager *manager = nullptr;
    QString version;
    QStringList urlList;
    int count = 0;
    QUrl url;
    QPointer<QNetworkReply> reply;
    QSaveFile *file = nullptr;
    bool aborted = false;
    bool tooLong = false;
    int redirects = 0;
    QByteArray verifyKey;
    std::optional<UpdateManifest> manifest;
    QByteArray manifestDocument;
    // The entry of the file in progress (with a manifest), and what has arrived of it.
    std::optional<UpdateManifest::File> expected;
    QCryptographicHash received{QCryptographicHash::Sha256};
    qint64 receivedBytes = 0;
    // What was staged, for the release list of a build that verifies nothing.
    QList<UpdateManifest::File> staged;
};
