#include "updateform.h"

#include "net/updatedownload.h"
#include "platform/platform.h"
#include "ui/frameless.h"
#include "ui/messagebox.h"

#include "ui_updateform.h"

#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QTimer>

namespace {

const QString DownloadFailedText = QStringLiteral("下载失败");

QString executable(const QString &baseName)
{
#ifdef Q_OS_WIN
    return baseName + QStringLiteral(".exe");
#else
    return baseName;
#endif
}

} // namespace

UpDateForm::UpDateForm(QWidget *parent) : QWidget(parent), ui(new Ui::UpDateForm)
{
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::Window | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_TranslucentBackground);
    frameless::setPanelShadow(ui->widget, Qt::gray, 8);

    download = new UpdateDownload(this);
    connect(download, &UpdateDownload::fileStarted, this, &UpDateForm::showFileStarted);
    connect(download, &UpdateDownload::progress, this, &UpDateForm::networkReplyProgress);
    connect(download, &UpdateDownload::saveFailed, this, &UpDateForm::showSaveError);
    connect(download, &UpdateDownload::failed, this, &UpDateForm::showDownloadFailure);
    connect(download, &UpdateDownload::finished, this, &UpDateForm::finishAll);

    countdown = CountdownSeconds;
    countdownTimer = new QTimer(this);
    countdownTimer->setInterval(CountdownTickMs);
    connect(countdownTimer, &QTimer::timeout, this, &UpDateForm::onCountdownTick);
    countdownTimer->start();
}

UpDateForm::~UpDateForm()
{
    delete ui;
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
    download->setRelease(version, urlList);
    ui->label_title->setText(QStringLiteral("Borvane-版本更新-") + version + QStringLiteral("(") +
                             QString::number(urlList.size()) + QStringLiteral(")"));
    ui->label_head->setText(QStringLiteral("更新内容:"));
    ui->label_desc->setText(description);
}

void UpDateForm::startUpdate()
{
    const QString refusal = UpdateDownload::refusedBecause(version);
    if (refusal.isEmpty()) {
        on_pushButton_clicked();
        return;
    }
    // Fetching it again would end the same way, restart after restart; the user may still
    // press the update button.
    countdownTimer->stop();
    qDebug().noquote() << QStringLiteral("update %1 was refused before: %2").arg(version, refusal);
    if (UpdateDownload::refusalShown(version))
        return;
    UpdateDownload::refuse(version, refusal, true);
    reappear();
    dialogs::information(
        this, QStringLiteral("Error"),
        QStringLiteral("The update to %1 was not installed: %2.").arg(version, refusal));
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
    if (!download->isRunning())
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
    if (download->isRunning())
        return;
    for (const QString &name : cleanupNames)
        platform::killProcessesByName(name);
    download->start();
}

void UpDateForm::downloadFile(QString url)
{
    download->downloadFile(url);
}

void UpDateForm::showFileStarted(int index)
{
    ui->pushButton_state->setText(QStringLiteral("正在下载第%1个文件").arg(index + 1));
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

void UpDateForm::networkReplyProgress(qlonglong bytesRead, qlonglong totalBytes)
{
    const QString prefix = QStringLiteral("正在下载第%1个文件 ").arg(download->finishedCount() + 1);
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
    download->cancel();
}

void UpDateForm::finishAll()
{
    ui->pushButton_state->setText(QStringLiteral("更新完毕,重启中"));
    ui->widget_progress->resize(0, ProgressHeightPx);
    download->handOver();
}
