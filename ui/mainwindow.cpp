#include "mainwindow.h"

#include "core/globals.h"
#include "core/settings.h"
#include "net/api.h"
#include "net/httprequest.h"
#include "platform/environment.h"
#include "platform/platform.h"
#include "platform/platform_gui.h"
#include "ui/frameless.h"
#include "ui/messagebox.h"
#include "ui/mywindow.h"

#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QTextLayout>
#include <QTimer>

namespace {

int firstRetryDelayMs()
{
    return qMax(0,
                Environment::current().firstSignInRetryMs.value_or(MainWindow::FirstRetryDelayMs));
}

int maxRetryDelayMs()
{
    return qMax(firstRetryDelayMs(),
                Environment::current().maxSignInRetryMs.value_or(MainWindow::MaxRetryDelayMs));
}

const QSize RegisterPanelOpen(291, 321);

const QString LoginBusyText = QStringLiteral("登录中");
const QString LoginIdleText = QStringLiteral("一键登录");
const QString RegisterBusyText = QStringLiteral("注册中");
const QString RegisterIdleText = QStringLiteral("一键注册");
const QString CodeBusyText = QStringLiteral("获取中");
const QString CodeIdleText = QStringLiteral("获取验证码");

const QColor PanelShadowColor(10, 16, 20, 30);

// "data" as text: an object, a list or a missing member gives the empty string.
QString dataText(const QVariantMap &answer)
{
    const QVariant data = answer.value(QLatin1String(api::Data));
    if (data.type() == QVariant::Map || data.type() == QVariant::List)
        return QString();
    return data.toString();
}

QString msgText(const QVariantMap &answer)
{
    return answer.value(QLatin1String(api::Msg)).toString();
}

// Paints a word-wrapped label inside its own rectangle: as many whole lines as fit, the last
// one elided when the text is longer, the whole text then in the tooltip. A long reason in the
// status line would otherwise run past its space onto the link below. The label's text stays
// exactly what was set.
class FitInside : public QObject
{
public:
    explicit FitInside(QLabel *label) : QObject(label), label(label)
    {
        label->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != label || event->type() != QEvent::Paint)
            return false;
        const QRect area = label->contentsRect();
        const QFontMetrics metrics(label->font());
        const int maxLines = qMax(1, area.height() / metrics.lineSpacing());
        QStringList lines;
        QTextLayout layout(label->text(), label->font());
        QTextOption option(Qt::AlignHCenter);
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        bool cut = false;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(area.width());
            if (lines.size() == maxLines - 1) {
                const QString rest = label->text().mid(line.textStart());
                const QString shown = metrics.elidedText(rest, Qt::ElideRight, area.width());
                cut = shown != rest;
                lines.append(shown);
                break;
            }
            lines.append(label->text().mid(line.textStart(), line.textLength()));
        }
        layout.endLayout();
        label->setToolTip(cut ? label->text() : QString());

        QPainter painter(label);
        painter.setPen(label->palette().color(label->foregroundRole()));
        const int height = lines.size() * metrics.lineSpacing();
        QRect row(area.left(), area.top() + (area.height() - height) / 2, area.width(),
                  metrics.lineSpacing());
        for (const QString &line : qAsConst(lines)) {
            painter.drawText(row, Qt::AlignCenter, line.trimmed());
            row.translate(0, metrics.lineSpacing());
        }
        return true;
    }

private:
    QLabel *const label;
};

} // namespace

MainWindow::MainWindow(TunnelRegistry *tunnels, QWidget *parent)
    : QMainWindow(parent), tunnels(tunnels), ui(new Ui::MainWindow), retryTimer(new QTimer(this)),
      retryDelayMs(firstRetryDelayMs())
{
    ui->setupUi(this);
    new frameless::Drag(this, true);
    setWindowFlag(Qt::FramelessWindowHint);
    setWindowIcon(QIcon(QStringLiteral(":/img/img/logo1024.png")));
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::FramelessWindowHint | Qt::Window);

    ui->centralWidget->setAttribute(Qt::WA_TranslucentBackground);
    frameless::setPanelShadow(ui->centralWidget, PanelShadowColor, 30);
    frameless::setPanelShadow(ui->widget, PanelShadowColor, 30);
    new FitInside(ui->label_state);

    ui->widget->resize(0, 0);

    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &MainWindow::login);

    const QString username = readSetting(QStringLiteral("/setting/username"));
    const QString password = readSetting(QStringLiteral("/setting/password"));
    if (!username.isEmpty() && !password.isEmpty()) {
        ui->lineEdit_3->setText(username);
        ui->lineEdit_4->setText(password);
        login();
        return;
    }
    placeShortcutAndAutostart();
}

MainWindow::~MainWindow()
{
    delete ui;
}

QString MainWindow::codeSignature(const QString &phone)
{
    const QByteArray salted = (phone.trimmed() + QStringLiteral("qmz")).toLatin1();
    return QString::fromLatin1(QCryptographicHash::hash(salted, QCryptographicHash::Md5).toHex());
}

// Runs only on a run without saved credentials, so a user who removed them keeps them removed
// until the next first-time sign-in screen.
void MainWindow::placeShortcutAndAutostart()
{
    const QString target = QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) +
                           QLatin1Char('/') + platform::clientExecutableName();
    platform::createDesktopShortcut(QStringLiteral("Borvane"), target);

    const QString executable = QCoreApplication::applicationFilePath();
    const QString appName = QFileInfo(executable).completeBaseName();
    const QString command = QDir::toNativeSeparators(executable);
    if (platform::autostartValue(appName) != command)
        platform::setAutostartValue(appName, command);
}

void MainWindow::login()
{
    if (ui->pushButton_login->text() == LoginBusyText)
        return;
    // A press of the button while a retry waits replaces that retry.
    retryTimer->stop();
    if (ui->lineEdit_3->text().trimmed().isEmpty() || ui->lineEdit_4->text().trimmed().isEmpty()) {
        dialogs::information(this, QStringLiteral("提示"), QStringLiteral("输入不能为空"));
        return;
    }
    ui->label_state->setText(LoginBusyText);
    ui->pushButton_login->setText(LoginBusyText);

    HttpRequest(api::url(api::SignIn))
        .addParam(QLatin1String(api::Phone), ui->lineEdit_3->text())
        .addParam(QLatin1String(api::Pwd), ui->lineEdit_4->text())
        .get(this, &MainWindow::loginAnswered, &MainWindow::loginFailed);

    // The request is in flight: a second press sends a second request.
    ui->pushButton_login->setText(LoginIdleText);
}

void MainWindow::loginAnswered(bool flag, const QVariantMap &data)
{
    retryDelayMs = firstRetryDelayMs();
    // An answer ends the retries, even one to an earlier press while a retry of a later one
    // waits: the window then signs in (or shows the refusal) and must not start another.
    retryTimer->stop();
    api::logAnswer(data);
    // A second press sends a second sign-in; only the first success opens the home window.
    if (signedIn)
        return;
    ui->label_state->setText(msgText(data));
    if (!flag) {
        ui->label_state->setText(msgText(data) + QLatin1Char(' ') + dataText(data));
        return;
    }
    const QVariantMap account = data.value(QLatin1String(api::Data)).toMap();
    signedIn = true;
    currentUserId = account.value(QStringLiteral("id")).toString();
    currentUserName = account.value(QStringLiteral("name")).toString();
    currentToken = account.value(QStringLiteral("token")).toString();
    writeSetting(QStringLiteral("username"), ui->lineEdit_3->text().trimmed());
    writeSetting(QStringLiteral("password"), ui->lineEdit_4->text().trimmed());

    auto *home = new MyWindow(tunnels);
    home->show();
    close();
}

void MainWindow::loginFailed(const QString &message)
{
    qDebug() << "err" << message;
    if (signedIn)
        return;
    ui->label_state->setText(QStringLiteral("登录失败，准备自动重试中... 原因：") + message);
    // Waiting, and longer each time, keeps an unreachable service from being flooded.
    retryTimer->start(retryDelayMs);
    retryDelayMs = qMin(retryDelayMs * 2, maxRetryDelayMs());
}

void MainWindow::reg()
{
    if (ui->lineEdit_5->text().trimmed().isEmpty() || ui->lineEdit_6->text().trimmed().isEmpty() ||
        ui->lineEdit_7->text().trimmed().isEmpty()) {
        dialogs::information(this, QStringLiteral("提示"), QStringLiteral("【注册】输入不能为空"));
        return;
    }
    if (ui->pushButton_4->text() == RegisterBusyText)
        return;
    ui->pushButton_4->setText(RegisterBusyText);

    HttpRequest(api::url(api::Register))
        .addParam(QLatin1String(api::Phone), ui->lineEdit_5->text())
        .addParam(QLatin1String(api::Pwd), ui->lineEdit_6->text())
        .addParam(QLatin1String(api::Code), ui->lineEdit_7->text())
        .addHeader(QLatin1String(api::ContentTypeHeader), QLatin1String(api::FormContentType))
        .post(this, &MainWindow::registerAnswered, &MainWindow::registerFailed);
}

void MainWindow::registerAnswered(bool flag, const QVariantMap &data)
{
    ui->pushButton_4->setText(RegisterIdleText);
    api::logAnswer(data);
    ui->label_state->setText(msgText(data));
    if (!flag) {
        ui->label_state->setText(msgText(data) + QLatin1Char(' ') + dataText(data));
        return;
    }
    // A real box runs an event loop of its own, in which this window may be destroyed.
    const QPointer<MainWindow> self(this);
    dialogs::information(this, QStringLiteral("提示"), QStringLiteral("注册成功，请直接登录!"));
    if (self)
        ui->widget->resize(0, 0);
}

void MainWindow::registerFailed(const QString &message)
{
    qDebug() << "err" << message;
    ui->pushButton_4->setText(RegisterIdleText);
    ui->label_state->setText(QStringLiteral("注册失败，原因：") + message);
}

void MainWindow::on_pushButton_login_clicked()
{
    login();
}

void MainWindow::on_pushButton_exit_clicked()
{
    platform::quit(0);
}

void MainWindow::on_pushButton_exit_2_clicked()
{
    ui->widget->resize(0, 0);
}

void MainWindow::on_pushButton_clicked()
{
    qDebug() << "注册";
    ui->pushButton_3->setText(CodeIdleText);
    ui->pushButton_3->setEnabled(true);
    ui->widget->resize(RegisterPanelOpen);
}

void MainWindow::on_pushButton_4_clicked()
{
    reg();
}

void MainWindow::on_pushButton_3_clicked()
{
    const QString phone = ui->lineEdit_5->text().trimmed();
    if (phone.isEmpty()) {
        ui->label_state->setText(QStringLiteral("手机号不能为空"));
        return;
    }
    if (ui->pushButton_3->text().trimmed() == CodeBusyText)
        return;
    ui->pushButton_3->setText(CodeBusyText);

    HttpRequest(api::url(api::VerificationCode))
        .addParam(QLatin1String(api::Phone), ui->lineEdit_5->text())
        .addParam(QLatin1String(api::Verify), codeSignature(phone))
        .addHeader(QLatin1String(api::ContentTypeHeader), QLatin1String(api::FormContentType))
        .post(
            this,
            [this](bool flag, const QVariantMap &data) {
                api::logAnswer(data);
                ui->label_state->setText(msgText(data));
                if (flag) {
                    ui->pushButton_3->setText(QStringLiteral("获取成功"));
                    ui->pushButton_3->setEnabled(false);
                } else {
                    // The button keeps "获取中": a new code only after the panel is reopened.
                    ui->label_state->setText(msgText(data) + QLatin1Char(' ') + dataText(data));
                }
            },
            [this](const QString &message) {
                qDebug() << "err" << message;
                ui->pushButton_3->setText(CodeIdleText);
                ui->label_state->setText(QStringLiteral("注册失败，原因：") + message);
            });
}

void MainWindow::on_pushButton_5_clicked()
{
    dialogs::information(
        this, QStringLiteral("提示"),
        QStringLiteral(
            "若软件出现无法注册、登录等情况，有如下可能：\n\n 1:您本地网络异常，请您排查\n "
            "2:此版本非最新版，请前往官网下载最新版本Borvane \n\n官网地址: ") +
            websiteHost());
    platform::openUrl(QStringLiteral("http://") + websiteHost());
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (ui->widget->width() != 0)
            reg();
        else
            login();
        return;
    }
    QMainWindow::keyPressEvent(event);
}
