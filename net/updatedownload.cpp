#include "updatedownload.h"

#include "core/updatehandover.h"
#include "net/updatesignature.h"
#include "platform/environment.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QSet>

#include <limits>

namespace {

// A download that moves no byte for this long fails instead of hanging the update.
constexpr int StalledTransferTimeoutMs = 60000;
// The signed release list is a few lines per file.
constexpr qint64 MaxManifestBytes = 1024 * 1024;
// The page a redirect carries is read and dropped; a longer one is not a redirect of ours.
constexpr qint64 MaxRedirectPageBytes = 64 * 1024;

const QString NotTheSignedFile = QStringLiteral("the file does not match the signed release");

// The file name comes from the server: it must name a file inside the target directory.
bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) &&
           !name.contains(QLatin1Char('\\')) && !name.contains(QStringLiteral(".."));
}

struct Refusal
{
    QString reason;
    bool shown = false;
};

// Touched on the GUI thread only. The refusal tsy_up reported on its last run is read once.
QHash<QString, Refusal> &refusals()
{
    static QHash<QString, Refusal> known = [] {
        QHash<QString, Refusal> fromLastRun;
        if (const auto last = updatehandover::lastRefusal(QCoreApplication::applicationDirPath()))
            fromLastRun.insert(last->version, Refusal{last->reason, false});
        return fromLastRun;
    }();
    return known;
}

} // namespace

UpdateDownload::UpdateDownload(QObject *parent)
    : QObject(parent), manager(new QNetworkAccessManager(this))
{
}

UpdateDownload::~UpdateDownload()
{
    if (reply) {
        reply->disconnect(this);
        reply->abort();
    }
    delete file; // an uncommitted save file leaves the installed file as it was
}

QString UpdateDownload::stagingDirectory()
{
    const QString &folder = Environment::current().updateFolder;
    if (!folder.isEmpty())
        return folder;
    const QString staging =
        QCoreApplication::applicationDirPath() + QLatin1Char('/') + updatehandover::folderName();
    QDir().mkpath(staging);
    return staging;
}

QString UpdateDownload::refusedBecause(const QString &version)
{
    return refusals().value(version).reason;
}

bool UpdateDownload::refusalShown(const QString &version)
{
    return refusals().value(version).shown;
}

void UpdateDownload::refuse(const QString &version, const QString &reason, bool shown)
{
    refusals().insert(version, Refusal{reason, shown});
}

void UpdateDownload::forgetRefusals()
{
    refusals().clear();
}

void UpdateDownload::setRelease(const QString &version, const QStringList &urls)
{
    this->version = version;
    urlList = urls;
}

void UpdateDownload::start()
{
    if (reply)
        return;
    verifyKey = updatesignature::publicKey();
    if (verifyKey.isEmpty())
        qDebug() << "updates unverified";
    if (!verifyKey.isEmpty() && !manifest && !urlList.isEmpty()) {
        fetchManifest();
        return;
    }
    // A list of one entry is that entry; an empty list downloads nothing.
    downloadFile(urlList.value(count));
}

void UpdateDownload::downloadFile(const QString &url)
{
    // One file and one reply slot: a call while a download runs leaves it and its progress be.
    if (reply)
        return;
    emit fileStarted(count);
    if (url.isEmpty())
        return;

    const QUrl newUrl = QUrl::fromUserInput(url);
    if (!newUrl.isValid()) {
        qDebug().noquote() << QStringLiteral("Invalid URL: %1: %2").arg(url, newUrl.errorString());
        return;
    }

    const QString fileName = newUrl.fileName();
    const QString dir = stagingDirectory();
    qDebug() << "app_path" << QDir::toNativeSeparators(dir);
    QString path = fileName;
    if (!dir.isEmpty() && QFileInfo(dir).isDir())
        path = QDir::cleanPath(dir) + QLatin1Char('/') + fileName;
    if (!isPlainFileName(fileName)) {
        emit saveFailed(path, QStringLiteral("not a plain file name"));
        return;
    }
    expected.reset();
    if (!verifyKey.isEmpty()) {
        const UpdateManifest::File *entry = manifest ? manifest->find(fileName) : nullptr;
        if (!entry) {
            refuseFile(path, QStringLiteral("the file is not part of the signed release"));
            return;
        }
        expected = *entry;
    }

    redirects = 0;
    if (!openTarget(path))
        return;
    startRequest(newUrl);
}

bool UpdateDownload::openTarget(const QString &path)
{
    delete file;
    // Written beside the target and renamed over it only when complete, so a failed
    // download leaves the installed file in place.
    file = new QSaveFile(path);
    received.reset();
    receivedBytes = 0;
    tooLong = false;
    if (!file->open(QIODevice::WriteOnly)) {
        emit saveFailed(path, file->errorString());
        discardFile();
        return false;
    }
    return true;
}

void UpdateDownload::discardFile()
{
    delete file;
    file = nullptr;
}

void UpdateDownload::startRequest(const QUrl &requestedUrl)
{
    url = requestedUrl;
    aborted = false;
    QNetworkRequest request(requestedUrl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(StalledTransferTimeoutMs);
    reply = manager->get(request);
    connect(reply, &QNetworkReply::finished, this, &UpdateDownload::httpFinished);
    connect(reply, &QIODevice::readyRead, this, &UpdateDownload::readAvailable);
    connect(reply, &QNetworkReply::downloadProgress, this, &UpdateDownload::onProgress);
    qDebug().noquote() << QStringLiteral("Downloading %1...").arg(url.toString());
}

qint64 UpdateDownload::sizeLimit() const
{
    if (reply && !reply->attribute(QNetworkRequest::RedirectionTargetAttribute).isNull())
        return MaxRedirectPageBytes;
    return expected ? expected->size : std::numeric_limits<qint64>::max();
}

void UpdateDownload::readAvailable()
{
    if (!file || !reply || tooLong)
        return;
    const bool redirect = !reply->attribute(QNetworkRequest::RedirectionTargetAttribute).isNull();
    const QByteArray data = reply->readAll();
    // Not a byte past the listed size reaches the disk.
    if (receivedBytes + data.size() > sizeLimit()) {
        tooLong = true;
        reply->abort();
        return;
    }
    receivedBytes += data.size();
    // A redirect's own page is no part of the file.
    if (redirect)
        return;
    received.addData(data);
    file->write(data);
}

void UpdateDownload::onProgress(qint64 bytesRead, qint64 totalBytes)
{
    // An announced length over the limit ends the download before its body arrives.
    if (reply && !tooLong && totalBytes > sizeLimit()) {
        tooLong = true;
        reply->abort();
        return;
    }
    emit progress(bytesRead, totalBytes);
}

void UpdateDownload::cancel()
{
    aborted = true;
    if (reply)
        reply->abort();
}

void UpdateDownload::refuseFile(const QString &path, const QString &reason)
{
    refuse(version, reason, true);
    emit saveFailed(path, reason);
}

QNetworkReply *UpdateDownload::takeReply()
{
    QNetworkReply *ended = reply;
    reply = nullptr;
    if (ended)
        ended->deleteLater();
    return ended;
}

void UpdateDownload::httpFinished()
{
    QNetworkReply *ended = takeReply();
    if (!ended)
        return;
    const QString path = file ? file->fileName() : QString();

    if (aborted) {
        discardFile();
        return;
    }
    if (tooLong) {
        discardFile();
        refuseFile(path, NotTheSignedFile);
        return;
    }
    if (ended->error() != QNetworkReply::NoError) {
        discardFile();
        emit failed(ended->errorString());
        return;
    }

    const QVariant redirectionTarget =
        ended->attribute(QNetworkRequest::RedirectionTargetAttribute);
    if (!redirectionTarget.isNull()) {
        qDebug() << "重定向";
        discardFile();
        if (++redirects > MaxRedirects) {
            emit failed(QStringLiteral("Too many redirects"));
            return;
        }
        const QUrl redirectedUrl = url.resolved(redirectionTarget.toUrl());
        // A server may move a download to another web address, never to a local file.
        const QString scheme = redirectedUrl.scheme().toLower();
        if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
            emit failed(QStringLiteral("Redirect to an unsupported address"));
            return;
        }
        if (!openTarget(path))
            return;
        startRequest(redirectedUrl);
        return;
    }

    if (!file) {
        emit failed(QStringLiteral("no target file"));
        return;
    }
    readAvailable();
    // A file that is not the signed one is never saved, so never installed nor run.
    const QByteArray hash = received.result().toHex();
    if (tooLong || (expected && (receivedBytes != expected->size || hash != expected->sha256))) {
        discardFile();
        refuseFile(path, NotTheSignedFile);
        return;
    }
    if (!file->commit()) {
        emit failed(file->errorString());
        discardFile();
        return;
    }
    discardFile();
    const QFileInfo info(path);
    staged.append(UpdateManifest::File{info.fileName(), receivedBytes, hash});

    ++count;
    qDebug().noquote() << QStringLiteral("Downloaded %1 bytes to %2\nin\n%3")
                              .arg(info.size())
                              .arg(info.fileName(), QDir::toNativeSeparators(info.absolutePath()));

    if (count < urlList.size())
        downloadFile(urlList.at(count));
    else
        emit finished();
}

QByteArray UpdateDownload::releaseList() const
{
    if (manifest)
        return manifestDocument;
    // Unsigned, in a build that verifies nothing: tsy_up still installs only what was fetched.
    QJsonArray files;
    for (const UpdateManifest::File &f : staged)
        files.append(QJsonObject{{QStringLiteral("name"), f.name},
                                 {QStringLiteral("size"), double(f.size)},
                                 {QStringLiteral("sha256"), QString::fromLatin1(f.sha256)}});
    const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("version"), version},
                                                      {QStringLiteral("files"), files}})
                                .toJson(QJsonDocument::Compact);
    return QJsonDocument(QJsonObject{{QStringLiteral("manifest"), QString::fromUtf8(body)},
                                     {QStringLiteral("signature"), QString()}})
        .toJson();
}

void UpdateDownload::handOver()
{
    const QString appDir = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    qDebug().noquote() << appDir + QLatin1Char('/') + platform::clientExecutableName();
    // tsy_up checks the staged files against the list they were checked against here; without
    // it, it installs nothing.
    QSaveFile list(stagingDirectory() + QLatin1Char('/') + UpdateManifest::fileName());
    if (!list.open(QIODevice::WriteOnly) || list.write(releaseList()) < 0 || !list.commit())
        qDebug() << "cannot write the release list for" << platform::updaterExecutableName();

    // It waits for this process to end before it moves anything.
    qputenv(updatehandover::ClientPidVariable,
            QByteArray::number(QCoreApplication::applicationPid()));
    platform::startDetached(appDir + QLatin1Char('/') + platform::updaterExecutableName(), {});
    platform::quit(0);
}

void UpdateDownload::fetchManifest()
{
    const QUrl first = QUrl::fromUserInput(urlList.first());
    emit fileStarted(count);
    if (!first.isValid())
        return;
    url = first.resolved(QUrl(UpdateManifest::fileName()));
    aborted = false;
    QNetworkRequest request(url);
    request.setTransferTimeout(StalledTransferTimeoutMs);
    reply = manager->get(request);
    connect(reply, &QNetworkReply::finished, this, &UpdateDownload::manifestFinished);
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 bytesReceived) {
        if (bytesReceived > MaxManifestBytes && reply)
            reply->abort();
    });
    qDebug().noquote() << QStringLiteral("Downloading %1...").arg(url.toString());
}

QString UpdateDownload::listMismatch() const
{
    QSet<QString> offered;
    for (const QString &entry : urlList) {
        const QString name = QUrl::fromUserInput(entry).fileName();
        if (!manifest->find(name))
            return QStringLiteral("%1 is not part of the signed release").arg(name);
        offered.insert(name);
    }
    for (const UpdateManifest::File &f : manifest->files)
        if (!offered.contains(f.name))
            return QStringLiteral("the update list leaves out %1 of the signed release")
                .arg(f.name);
    return {};
}

void UpdateDownload::manifestFinished()
{
    QNetworkReply *ended = takeReply();
    if (!ended)
        return;
    if (aborted)
        return;
    if (ended->error() != QNetworkReply::NoError) {
        emit failed(ended->errorString());
        return;
    }
    const QByteArray document = ended->read(MaxManifestBytes);
    QString error;
    auto checked = updatesignature::verify(document, verifyKey, &error);
    if (checked && checked->version != version)
        error = QStringLiteral("the signed release is version %1, not %2")
                    .arg(checked->version, version);
    manifest = std::move(checked);
    // A list that is not the release (a file left out would never install) is refused before
    // anything is fetched.
    if (manifest && error.isEmpty())
        error = listMismatch();
    if (!manifest || !error.isEmpty()) {
        manifest.reset();
        refuseFile(stagingDirectory() + QLatin1Char('/') + UpdateManifest::fileName(), error);
        return;
    }
    manifestDocument = document;
    downloadFile(urlList.value(count));
}
