#include "crashreport.h"

#include "platform/platform.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

QString crashReportText(unsigned long code, unsigned long long address)
{
    return QStringLiteral(
               "<FONT size=4><div><b>对于发生的错误，表示诚挚的歉意，请您进入官方QQ群反馈解决"
               "</b><br/></div>") +
           QStringLiteral("<div>错误代码：%1</div><div>错误地址：%2</div></FONT>")
               .arg(QString::number(code, 16), QString::number(address, 16));
}

namespace {

void showCrashBox(unsigned long code, unsigned long long address)
{
    // Widgets live on the GUI thread only. A crash on another thread has its dump written
    // already and ends the process without a box rather than risk hanging it.
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread())
        return;
    QMessageBox box(QMessageBox::Critical, QStringLiteral("程序崩溃"),
                    crashReportText(code, address), QMessageBox::Ok);
    box.setTextFormat(Qt::RichText);
    box.show();
    platform::crashReportShown();
    box.exec();
}

} // namespace

void installClientCrashHandler()
{
    platform::installCrashHandler(showCrashBox);
}
