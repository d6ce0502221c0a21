#include "updateform.h"

#include "net/updatesignature.h"
#include "platform/environment.h"
#include "platform/platform.h"
#include "ui/frameless.h"
#include "ui/messagebox.h"

#include "ui_updateform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTimer>

namespace {

const QString DownloadFailedText = QStringLiteral("下载失败");

// A download that moves no byte for this long fails instead of hanging the update.
constexpr int StalledTransferTimeoutMs = 60000;
// The signed release list is a few lines per file.
constexpr qint64 MaxManifestBytes = 1024 * 1024;

QString executable(const QString &baseName)
{
#ifdef Q_OS_WIN
    return baseName + QStringLiteral(".exe");
#else
    return baseName;
#endif
}

// The file name comes from the server: it must name a file inside the target directory.
bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) &&
           !name.contains(QLatin1Char('\\')) && !name.contains(QStringLiteral(".."));
}

} // namespace

UpDateForm::UpDateForm(QWidget *parent) : QWidget(parent), ui(new Ui::UpDateForm)
{
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::Window | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_TranslucentBackground);
    frameless::setPanelShadow(ui->widget, Qt::gray, 8);

    manager = new QNetworkAccessManager(this);

    countdown = CountdownSeconds;
    countdownTimer = new QTimer(this);
    countdownTimer->setInterval(CountdownTickMs);
    connect(countdownTimer, &QTimer::timeout, this, &UpDateForm::onCountdownTick);
    countdownTimer->start();
}

UpDateForm::~UpDateForm()
{
    if (reply) {
        reply->disconnect(this);
        reply->abort();
    }
    delete file; // an uncommitted save file leaves the installed file as it was
    delete ui;
}

QString UpDateForm::targetDirectory()
{
    const QString &folder = Environment::current().updateFolder;
    if (!folder.isEmpty())
        return folder;
    const QString staging = QCoreApplication::applicationDirPath() + QStringLiteral("/update");
    QDir().mkpath(staging);
    return staging;
}

QStringList UpDateForm::countdownCleanupNames()
{
    return {executable(QStringLiteral("qt_tsy_update")), platform::updaterExecutableName(),
            executable(QStringLiteral("vadoDizor32"))};
}

QStringList UpDateForm::buttonCleanupNames()
{
    return {executable(QStringLiteral("qt_bv_update")), executable(QStringLiteral("bv_up")),
            executable(QStringLiteral("vadoDizor32"))};
}

void UpDateForm::setData(const QString &version, const QString &description, const QString &note,
                         const QString &urls)
{
    Q_UNUSED(note)
    this->version = version;
    urlList = urls.split(separator(), Qt::SkipEmptyParts);
    ui->label_title->setText(QStringLiteral("Borvane-版本更新-") + version + QStringLiteral("(") +
                             QString::number(urlList.size()) + QStringLiteral(")"));
    ui->label_head->setText(QStringLiteral("更新内容:"));
    ui->label_desc->setText(description);
}

void UpDateForm::startUpdate()
{
    on_pushButton_clicked();
}

void UpDateForm::on_pushButton_clicked()
{
    beginUpdate(buttonCleanupNames());
}

void UpDateForm::on_pushButton_2_clicked()
{
    countdownTimer->stop();
    close();
    // Nothing of this offer is pending any more; a download already running keeps the window.
    if (!reply)
        deleteLater();
}

void UpDateForm::onCountdownTick()
{
    --countdown;
    if (countdown > 0) {
        ui->pushButton_2->setText(QStringLiteral("暂时跳过:") + QString::number(countdown));
        return;
    }
    beginUpdate(countdownCleanupNames());
    countdownTimer->stop();
    // Only hides the window: the download goes on and the restart still happens.
    close();
}

void UpDateForm::beginUpdate(const QStringList &cleanupNames)
{
    countdownTimer->stop();
    // Never a second download beside the running one, nor its clean-up.
    if (reply)
        return;
    for (const QString &name : cleanupNames)
        platform::killProcessesByName(name);
    verifyKey = updatesignature::publicKey();
    if (!verifyKey.isEmpty() && !manifest && !urlList.isEmpty()) {
        fetchManifest();
        return;
    }
    // A list of one entry is that entry; an empty list downloads nothing.
    downloadFile(urlList.value(count));
}

void UpDateForm::downloadFile(QString url)
{
    // One file and one reply slot: a call while a download runs leaves it and its progress be.
    if (reply)
        return;
    ui->pushButton_state->setText(QStringLiteral("正在下载第%1个文件").arg(count + 1));
    if (url.isEmpty())
        return;

    const QUrl newUrl = QUrl::fromUserInput(url);
    if (!newUrl.isValid()) {
        qDebug().noquote() << QStringLiteral("Invalid URL: %1: %2").arg(url, newUrl.errorString());
        return;
    }

    const QString fileName = newUrl.fileName();
    const QString dir = targetDirectory();
    qDebug() << "app_path" << QDir::toNativeSeparators(dir);
    QString path = fileName;
    if (!dir.isEmpty() && QFileInfo(dir).isDir())
        path = QDir::cleanPath(dir) + QLatin1Char('/') + fileName;
    if (!isPlainFileName(fileName)) {
        showSaveError(path, QStringLiteral("not a plain file name"));
        return;
    }
    if (!verifyKey.isEmpty() && !(manifest && manifest->find(fileName))) {
        showSaveError(path, QStringLiteral("the file is not part of the signed release"));
        return;
    }

    redirects = 0;
    if (!openTarget(path))
        return;
    startRequest(newUrl);
}

bool UpDateForm::openTarget(const QString &path)
{
    delete file;
    // Written beside the target and renamed over it only when complete, so a failed
    // download leaves the installed file in place.
    file = new QSaveFile(path);
    received.reset();
    receivedBytes = 0;
    if (!file->open(QIODevice::WriteOnly)) {
        showSaveError(path, file->errorString());
        delete file;
        file = nullptr;
        return false;
    }
    return true;
}

void UpDateForm::startRequest(const QUrl &requestedUrl)
{
    url = requestedUrl;
    aborted = false;
    QNetworkRequest request(requestedUrl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(StalledTransferTimeoutMs);
    reply = manager->get(request);
    connect(reply, &QNetworkReply::finished, this, &UpDateForm::httpFinished);
    connect(reply, &QIODevice::readyRead, this, &UpDateForm::httpReadyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &UpDateForm::networkReplyProgress);
    qDebug().noquote() << QStringLiteral("Downloading %1...").arg(url.toString());
}

void UpDateForm::showSaveError(const QString &path, const QString &reason)
{
    reappear();
    dialogs::information(this, QStringLiteral("Error"),
                         QStringLiteral("Unable to save the file %1: %2.")
                             .arg(QDir::toNativeSeparators(path), reason));
}

void UpDateForm::showDownloadFailure(const QString &reason)
{
    ui->label_desc->setText(QStringLiteral("Download failed:\n%1.").arg(reason));
    // The last percentage would read as a download still under way.
    ui->pushButton_state->setText(DownloadFailedText);
    ui->widget_progress->resize(0, ProgressHeightPx);
    reappear();
}

void UpDateForm::reappear()
{
    // A download the countdown started runs hidden; its failure would otherwise leave the user
    // on the old version without a word. It shows again where it was last seen.
    if (isVisible())
        return;
    show();
    raise();
    activateWindow();
}

void UpDateForm::httpReadyRead()
{
    if (file && reply) {
        const QByteArray data = reply->readAll();
        received.addData(data);
        receivedBytes += data.size();
        file->write(data);
    }
}

void UpDateForm::networkReplyProgress(qlonglong bytesRead, qlonglong totalBytes)
{
    const QString prefix = QStringLiteral("正在下载第%1个文件 ").arg(count + 1);
    if (totalBytes <= 0) {
        // No size announced: the amount so far is all there is to show.
        ui->pushButton_state->setText(
            prefix + QLocale::c().formattedDataSize(qMax<qlonglong>(bytesRead, 0), 1,
                                                    QLocale::DataSizeTraditionalFormat));
        return;
    }
    const float fraction = qBound(0.0f, float(bytesRead) / float(totalBytes), 1.0f);
    const int percent = int(fraction * 100);
    ui->pushButton_state->setText(prefix + QString::number(percent) + QStringLiteral("%"));
    ui->widget_progress->resize(int(fraction * ProgressFullWidthPx), ProgressHeightPx);
}

void UpDateForm::cancelDownload()
{
    aborted = true;
    if (reply)
        reply->abort();
}

void UpDateForm::httpFinished()
{
    QNetworkReply *finished = reply;
    if (!finished)
        return;
    reply = nullptr;
    finished->deleteLater();
    const QString path = file ? file->fileName() : QString();

    if (aborted) {
        delete file;
        file = nullptr;
        return;
    }

    if (finished->error() != QNetworkReply::NoError) {
        delete file;
        file = nullptr;
        showDownloadFailure(finished->errorString());
        return;
    }

    const QVariant redirectionTarget =
        finished->attribute(QNetworkRequest::RedirectionTargetAttribute);
    if (!redirectionTarget.isNull()) {
        qDebug() << "重定向";
        delete file;
        file = nullptr;
        if (++redirects > MaxRedirects) {
            showDownloadFailure(QStringLiteral("Too many redirects"));
            return;
        }
        const QUrl redirectedUrl = url.resolved(redirectionTarget.toUrl());
        // A server may move a download to another web address, never to a local file.
        const QString scheme = redirectedUrl.scheme().toLower();
        if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
            showDownloadFailure(QStringLiteral("Redirect to an unsupported address"));
            return;
        }
        if (!openTarget(path))
            return;
        startRequest(redirectedUrl);
        return;
    }

    if (!file) {
        showDownloadFailure(QStringLiteral("no target file"));
        return;
    }
    const QByteArray rest = finished->readAll();
    received.addData(rest);
    receivedBytes += rest.size();
    file->write(rest);
    // A file that is not the signed one is never saved, so never installed nor run.
    if (!verifyKey.isEmpty() && !matchesManifest(path)) {
        delete file;
        file = nullptr;
        showSaveError(path, QStringLiteral("the file does not match the signed release"));
        return;
    }
    if (!file->commit()) {
        showDownloadFailure(file->errorString());
        delete file;
        file = nullptr;
        return;
    }
    delete file;
    file = nullptr;

    ++count;
    const QFileInfo info(path);
    qDebug().noquote() << QStringLiteral("Downloaded %1 bytes to %2\nin\n%3")
                              .arg(info.size())
                              .arg(info.fileName(), QDir::toNativeSeparators(info.absolutePath()));

    if (count < urlList.size())
        downloadFile(urlList.at(count));
    else
        finishAll();
}

void UpDateForm::finishAll()
{
    ui->pushButton_state->setText(QStringLiteral("更新完毕,重启中"));
    ui->widget_progress->resize(0, ProgressHeightPx);
    const QString appDir = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    qDebug().noquote() << appDir + QLatin1Char('/') + platform::clientExecutableName();
    // The update program checks the staged files against the list they were checked against
    // here; without a key it installs what is staged.
    const QString staged = targetDirectory() + QLatin1Char('/') + UpdateManifest::fileName();
    QSaveFile list(staged);
    if (!manifest)
        QFile::remove(staged);
    else if (list.open(QIODevice::WriteOnly) && list.write(manifestDocument) >= 0)
        list.commit(); // without it the update program installs nothing and restarts us

    // It waits for this process to end before it moves anything.
    qputenv("BORVANE_CLIENT_PID", QByteArray::number(QCoreApplication::applicationPid()));
    platform::startDetached(appDir + QLatin1Char('/') + platform::updaterExecutableName(), {});
    platform::quit(0);
}

void UpDateForm::fetchManifest()
{
    const QUrl first = QUrl::fromUserInput(urlList.first());
    ui->pushButton_state->setText(QStringLiteral("正在下载第%1个文件").arg(count + 1));
    if (!first.isValid())
        return;
    url = first.resolved(QUrl(UpdateManifest::fileName()));
    aborted = false;
    QNetworkRequest request(url);
    request.setTransferTimeout(StalledTransferTimeoutMs);
    reply = manager->get(request);
    connect(reply, &QNetworkReply::finished, this, &UpDateForm::manifestFinished);
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 bytesReceived) {
        if (bytesReceived > MaxManifestBytes && reply)
            reply->abort();
    });
    qDebug().noquote() << QStringLiteral("Downloading %1...").arg(url.toString());
}

void UpDateForm::manifestFinished()
{
    QNetworkReply *finished = reply;
    if (!finished)
        return;
    reply = nullptr;
    finished->deleteLater();
    if (aborted)
        return;
    if (finished->error() != QNetworkReply::NoError) {
        showDownloadFailure(finished->errorString());
        return;
    }
    const QByteArray document = finished->read(MaxManifestBytes);
    QString error;
    auto checked = updatesignature::verify(document, verifyKey, &error);
    if (checked && checked->version != version)
        error = QStringLiteral("the signed release is version %1, not %2")
                    .arg(checked->version, version);
    if (!checked || !error.isEmpty()) {
        showSaveError(targetDirectory() + QLatin1Char('/') + UpdateManifest::fileName(), error);
        return;
    }
    manifest = std::move(checked);
    manifestDocument = document;
    downloadFile(urlList.value(count));
}

bool UpDateForm::matchesManifest(const QString &path)
{
    const UpdateManifest::File *entry =
        manifest ? manifest->find(QFileInfo(path).fileName()) : nullptr;
    return entry && entry->size == receivedBytes && entry->sha256 == received.result().toHex();
}
