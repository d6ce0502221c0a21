#include "requestsform.h"

#include "ui_requestsform.h"

#include "net/statustext.h"
#include "tunnel/requestlog.h"

#include <QHeaderView>
#include <QTimer>

RequestsForm::RequestsForm(QWidget *parent)
    : QWidget(parent), refreshTimer(new QTimer(this)), ui(new Ui::RequestsForm)
{
    ui->setupUi(this);
    refreshTimer->setInterval(RefreshIntervalMs);
    connect(refreshTimer, &QTimer::timeout, this, &RequestsForm::refresh);
    QHeaderView *header = ui->requestList->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(2, QHeaderView::Stretch);
}

RequestsForm::~RequestsForm()
{
    delete ui;
}

void RequestsForm::setSource(std::shared_ptr<RequestLog> requests, const QString &domain)
{
    this->requests = std::move(requests);
    shownVersion = ~quint64(0);
    setWindowTitle(QStringLiteral("请求记录 - ") + domain);
    refresh();
}

void RequestsForm::refresh()
{
    if (!requests || requests->version() == shownVersion)
        return;
    shownVersion = requests->version();
    const QList<RequestEntry> entries = requests->entries();
    QList<QTreeWidgetItem *> rows;
    rows.reserve(entries.size());
    for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
        const RequestEntry &e = *it;
        auto *row = new QTreeWidgetItem(
            QStringList{e.time.toString(QStringLiteral("hh:mm:ss.zzz")),
                        e.isRaw() ? QStringLiteral("TCP") : e.method,
                        e.isRaw() ? QStringLiteral("（不是 HTTP 请求的连接）") : e.path, e.host,
                        e.status > 0 ? QString::number(e.status) : QStringLiteral("-"),
                        statustext::bytes(double(e.bytesIn)), statustext::bytes(double(e.bytesOut)),
                        QString::number(e.durationMs) + QStringLiteral(" ms")});
        row->setToolTip(2, e.path);
        if (e.status >= 400)
            row->setForeground(4, QColor(190, 54, 30));
        rows.append(row);
    }
    ui->requestList->clear();
    ui->requestList->addTopLevelItems(rows);
    ui->label_summary->setText(
        QStringLiteral("最近 %1 条（最多保留 %2 条，只在内存中，不含请求内容）")
            .arg(entries.size())
            .arg(RequestLog::MaxEntries));
}

void RequestsForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
    refreshTimer->start();
}

void RequestsForm::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    refreshTimer->stop();
}

void RequestsForm::on_btn_clear_clicked()
{
    if (requests)
        requests->clear();
    refresh();
}

void RequestsForm::on_btn_close_clicked()
{
    close();
}
