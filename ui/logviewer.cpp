#include "logviewer.h"

#include "ui_logviewer.h"

#include "core/globals.h"
#include "platform/platform_gui.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QSaveFile>
#include <QTimer>
#include <QUrl>

namespace {

const QString LogFolder = QStringLiteral("./logs");

} // namespace

LogViewer::LogViewer(QWidget *parent)
    : QWidget(parent), searchDelay(new QTimer(this)), ui(new Ui::LogViewer)
{
    ui->setupUi(this);
    // The words the log handler starts each line with.
    ui->comboBox_level->addItem(QStringLiteral("全部级别"), QString());
    for (const char *level : {"Debug:", "Warning:", "Critical:", "Fatal:"})
        ui->comboBox_level->addItem(QString::fromLatin1(level).chopped(1),
                                    QString::fromLatin1(level));
    searchDelay->setSingleShot(true);
    searchDelay->setInterval(SearchDelayMs);
    connect(searchDelay, &QTimer::timeout, this, &LogViewer::applyFilter);
    connect(ui->lineEdit_search, &QLineEdit::textChanged, searchDelay, qOverload<>(&QTimer::start));
    connect(ui->comboBox_level, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &LogViewer::applyFilter);
    connect(ui->comboBox_file, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &LogViewer::loadFile);
    reload();
}

LogViewer *LogViewer::showShared()
{
    static QPointer<LogViewer> viewer;
    if (!viewer) {
        viewer = new LogViewer;
        viewer->setAttribute(Qt::WA_DeleteOnClose);
    } else {
        viewer->on_btn_refresh_clicked();
    }
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
    return viewer;
}

LogViewer::~LogViewer()
{
    delete ui;
}

void LogViewer::reload()
{
    const QString current = logFileStamp + QStringLiteral(".log");
    QFileInfoList files = QDir(LogFolder).entryInfoList({QStringLiteral("*.log")}, QDir::Files);
    // The stamps sort as times: newest first.
    std::sort(files.begin(), files.end(),
              [](const QFileInfo &a, const QFileInfo &b) { return a.fileName() > b.fileName(); });
    const QSignalBlocker blocker(ui->comboBox_file);
    ui->comboBox_file->clear();
    int shown = 0;
    for (const QFileInfo &file : files) {
        const bool thisRun = file.fileName() == current;
        if (thisRun)
            shown = ui->comboBox_file->count();
        ui->comboBox_file->addItem(file.fileName() +
                                       (thisRun ? QStringLiteral("（本次运行）") : QString()),
                                   file.absoluteFilePath());
    }
    ui->comboBox_file->setCurrentIndex(shown);
    loadFile(ui->comboBox_file->currentIndex());
}

void LogViewer::loadFile(int index)
{
    lines.clear();
    cut = false;
    QFile file(ui->comboBox_file->itemData(index).toString());
    if (index >= 0 && file.open(QIODevice::ReadOnly)) {
        if (file.size() > MaxReadBytes) {
            file.seek(file.size() - MaxReadBytes);
            file.readLine(); // the rest of a line cut in the middle
            cut = true;
        }
        lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (QString &line : lines) {
            if (line.endsWith(QLatin1Char('\r')))
                line.chop(1);
        }
    }
    applyFilter();
}

void LogViewer::applyFilter()
{
    searchDelay->stop();
    const QString level = ui->comboBox_level->currentData().toString();
    const QString search = ui->lineEdit_search->text().trimmed();
    QStringList shown;
    for (const QString &line : qAsConst(lines)) {
        if (!level.isEmpty() && !line.startsWith(level))
            continue;
        if (!search.isEmpty() && !line.contains(search, Qt::CaseInsensitive))
            continue;
        shown.append(line);
    }
    ui->textLog->setPlainText(shown.join(QLatin1Char('\n')));
    ui->textLog->moveCursor(QTextCursor::End);
    QString count = QStringLiteral("显示 %1 / %2 行").arg(shown.size()).arg(lines.size());
    if (cut)
        count += QStringLiteral("（文件较大，只读取了最后 %1 MB）").arg(MaxReadBytes >> 20);
    if (ui->comboBox_file->count() == 0)
        count = QStringLiteral("还没有日志文件");
    ui->label_count->setText(count);
}

QString LogViewer::shownText() const
{
    return ui->textLog->toPlainText();
}

bool LogViewer::saveTo(const QString &path)
{
    QSaveFile file(path);
    const QByteArray text = shownText().toUtf8().replace("\n", "\r\n") + "\r\n";
    const bool saved =
        file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
    ui->label_count->setText(saved ? QStringLiteral("已保存到 ") + QDir::toNativeSeparators(path)
                                   : QStringLiteral("保存失败：") + file.errorString());
    return saved;
}

void LogViewer::on_btn_refresh_clicked()
{
    const QString shown = ui->comboBox_file->currentData().toString();
    reload();
    const int again = ui->comboBox_file->findData(shown);
    if (again >= 0)
        ui->comboBox_file->setCurrentIndex(again);
}

void LogViewer::on_btn_open_folder_clicked()
{
    QDir().mkpath(LogFolder);
    platform::openUrl(QUrl::fromLocalFile(QDir(LogFolder).absolutePath()).toString());
}

void LogViewer::on_btn_save_as_clicked()
{
    const QString file = ui->comboBox_file->currentData().toString();
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("另存为"),
        QDir::home().filePath(QFileInfo(file).completeBaseName() + QStringLiteral("-筛选.log")),
        QStringLiteral("日志 (*.log *.txt)"));
    if (!path.isEmpty())
        saveTo(path);
}
