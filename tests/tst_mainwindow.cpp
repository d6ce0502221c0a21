// The sign-in and registration window against a fake service on 127.0.0.50: automatic sign-in,
// refusals and retries, registration, the verification code, keys, dragging and the first-run
// desktop launcher and autostart entry (written below a temporary home directory).

#include "fakesigninapi.h"

#include "core/globals.h"
#include "core/settings.h"
#include "net/httprequest.h"
#include "platform/environment.h"
#include "platform/platform.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"
#include "ui/mywindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QStringList warnings;
QtMessageHandler previousHandler = nullptr;

void recordWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg)
        warnings << message;
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void formHasEveryObject();
    void statusLineSeenWithPanelOpenOrClosed();
    void savedCredentialsSignInByThemselves();
    void oneSavedValueDoesNothing_data();
    void oneSavedValueDoesNothing();
    void firstRunPlacesLauncherAndAutostart();
    void autostartWrittenOnlyWhenDifferent();
    void passwordWithSpacesSentAsTypedSavedTrimmed();
    void refusalShowsMsgAndData_data();
    void refusalShowsMsgAndData();
    void emptyFieldsAskForInput();
    void secondPressSendsSecondRequestOneHomeWindow();
    void transportFailureRetriesAfterGrowingPauses();
    void retryTimerFiresByItself();
    void successEndsRetryOfLaterPress();
    void emptiedFieldEndsRetries();
    void answerAfterWindowGoneDoesNothing();
    void registration();
    void registrationGuardsAndFailures();
    void verificationCode();
    void verificationCodeRefusedAndFailed();
    void enterRoutesToPanel();
    void helpBoxThenWebsite();
    void draggingMovesWindow();

private:
    MainWindow *makeWindow();
    template <typename T> T *child(QWidget *w, const char *name)
    {
        T *found = w->findChild<T *>(QLatin1String(name));
        if (!found)
            qFatal("no child %s", name);
        return found;
    }
    QString desktopFile() const
    {
#ifdef Q_OS_WIN
        // The shell's own Desktop folder (the test runner gives it a scratch profile).
        return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) +
               QStringLiteral("/Borvane.lnk");
#else
        return home->path() + QStringLiteral("/Desktop/Borvane.desktop");
#endif
    }
    // A shell link counts as there even when its target is not (the test has no client beside it).
    // Qt takes any path ending in .lnk for a link, there or not: a link that is there has a target.
    bool desktopFileExists() const
    {
#ifdef Q_OS_WIN
        return !QFileInfo(desktopFile()).symLinkTarget().isEmpty();
#else
        return QFileInfo::exists(desktopFile());
#endif
    }
    QString autostartFile() const
    {
        return home->path() + QStringLiteral("/.config/autostart/") + appName() +
               QStringLiteral(".desktop");
    }
    static QString appName()
    {
        return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    }
    static QString fileText(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(file.readAll());
    }
    static MyWindow *homeWindow()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *found = qobject_cast<MyWindow *>(w))
                return found;
        }
        return nullptr;
    }
    void signInOk(const QString &id = QStringLiteral("7"))
    {
        api.setReply("GET", "user",
                     FakeSigninApi::envelope(
                         true, QStringLiteral("登录成功"),
                         QVariantMap{{"id", id}, {"name", "alice"}, {"token", "tok-" + id}}));
    }

    FakeSigninApi api;
    std::unique_ptr<QTemporaryDir> home;
    QList<dialogs::Box> boxes;
    QStringList opened;
    QStringList events; // boxes and browser openings, in order
    QList<QPointer<MainWindow>> windows;
    std::unique_ptr<Environment::Scope> environment;
    // The retry state, read as the window's friend: whether a retry waits, and its pause (-1
    // when none).
    static bool retryPending(const MainWindow &w)
    {
        return w.retryTimer->isActive();
    }
    static int pendingRetryDelayMs(const MainWindow &w)
    {
        return w.retryTimer->isActive() ? w.retryTimer->interval() : -1;
    }
    void setRetryDelays(int firstMs, int maxMs)
    {
        (*environment)->firstSignInRetryMs = firstMs;
        (*environment)->maxSignInRetryMs = maxMs;
    }
};

void TestMainWindow::initTestCase()
{
    home = std::make_unique<QTemporaryDir>();
    QVERIFY(home->isValid());
    // The launcher and the autostart entry go below this directory, never the real home.
#ifdef Q_OS_WIN
    // The shell link goes to the profile's Desktop, the autostart value to the Run key.
    QVERIFY(QDir().mkpath(QFileInfo(desktopFile()).absolutePath()));
#else
    qputenv("HOME", home->path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home->path() + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_DESKTOP_DIR", (home->path() + QStringLiteral("/Desktop")).toUtf8());
    QVERIFY(
        QStandardPaths::writableLocation(QStandardPaths::DesktopLocation).startsWith(home->path()));
    QVERIFY(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                .startsWith(home->path()));
#endif

    QVERIFY(api.listen(QHostAddress(QStringLiteral("127.0.0.50"))));
    apiBaseUrl = api.baseUrl();

    previousHandler = qInstallMessageHandler(recordWarnings);
}

void TestMainWindow::init()
{
    QFile::remove(settingsFilePath());
    QDir(home->path()).removeRecursively();
    QDir().mkpath(home->path());
#ifdef Q_OS_WIN
    QFile::remove(desktopFile());
    platform::setAutostartValue(appName(), QString());
#endif
    api.reset();
    boxes.clear();
    opened.clear();
    events.clear();
    warnings.clear();
    currentUserId.clear();
    currentUserName.clear();
    currentToken.clear();
    environment = std::make_unique<Environment::Scope>();
    (*environment)->messageBox = [this](const dialogs::Box &box) {
        boxes << box;
        events << QStringLiteral("box");
        return 0;
    };
    (*environment)->openUrl = [this](const QString &url) {
        opened << url;
        events << QStringLiteral("open");
    };
}

void TestMainWindow::cleanup()
{
    for (const QPointer<MainWindow> &w : qAsConst(windows))
        delete w.data();
    windows.clear();
    // Picked out first: a home window takes its own top-level tray menu with it.
    QList<QPointer<MyWindow>> homes;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *home = qobject_cast<MyWindow *>(w))
            homes.append(home);
    }
    for (const QPointer<MyWindow> &home : qAsConst(homes))
        delete home.data();
    api.reset();
    QFile::remove(settingsFilePath());
    environment.reset();
}

void TestMainWindow::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
    QFile::remove(settingsFilePath());
    home.reset();
}

MainWindow *TestMainWindow::makeWindow()
{
    auto *w = new MainWindow;
    windows << w;
    return w;
}

void TestMainWindow::formHasEveryObject()
{
    MainWindow *w = makeWindow();
    for (const QString &message : qAsConst(warnings))
        QVERIFY2(!message.contains(QStringLiteral("connectSlotsByName")), qPrintable(message));
    QCOMPARE(w->size(), QSize(740, 450));
    QCOMPARE(w->windowTitle(), QStringLiteral("Borvane内网穿透"));
    QVERIFY(w->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(w->testAttribute(Qt::WA_TranslucentBackground));
    QVERIFY(w->centralWidget()->graphicsEffect());
    QCOMPARE(w->centralWidget()->objectName(), QStringLiteral("centralWidget"));

    const QList<QPair<const char *, QString>> buttons{
        {"pushButton_exit", "关闭"},    {"pushButton_login", "一键登录"},
        {"pushButton", "立即【注册】"}, {"pushButton_3", "获取验证码"},
        {"pushButton_4", "一键注册"},   {"pushButton_exit_2", "关闭"},
        {"pushButton_5", "异常修复"},   {"pushButton_2", ""}};
    for (const auto &button : buttons)
        QCOMPARE(child<QPushButton>(w, button.first)->text(), button.second);
    const QList<QPair<const char *, QString>> edits{{"lineEdit_3", "手机号"},
                                                    {"lineEdit_4", "密码"},
                                                    {"lineEdit_5", "手机号"},
                                                    {"lineEdit_6", "设置密码"},
                                                    {"lineEdit_7", "验证码"}};
    for (const auto &edit : edits)
        QCOMPARE(child<QLineEdit>(w, edit.first)->placeholderText(), edit.second);
    QCOMPARE(child<QLineEdit>(w, "lineEdit_4")->echoMode(), QLineEdit::Password);
    QCOMPARE(child<QLineEdit>(w, "lineEdit_6")->echoMode(), QLineEdit::Password);
    QCOMPARE(child<QLabel>(w, "label_2")->text(), QStringLiteral("还没有账户？"));
    QCOMPARE(child<QLabel>(w, "label_5")->text(), QStringLiteral("注册账号"));
    QVERIFY(child<QLabel>(w, "label_state")->styleSheet().contains("rgb(202, 0, 101)"));
    child<QLabel>(w, "label");
    child<QLabel>(w, "label_3");
    child<QLabel>(w, "label_4");
    child<QWidget>(w, "widget_bg");

    QWidget *panel = child<QWidget>(w, "widget");
    QCOMPARE(panel->size(), QSize(0, 0));
    QVERIFY(panel->graphicsEffect());
    child<QPushButton>(w, "pushButton")->click();
    QCOMPARE(panel->size(), QSize(291, 321));
    child<QPushButton>(w, "pushButton_exit_2")->click();
    QCOMPARE(panel->size(), QSize(0, 0));
}

void TestMainWindow::statusLineSeenWithPanelOpenOrClosed()
{
    MainWindow *w = makeWindow();
    w->show();
    QWidget *bg = child<QWidget>(w, "widget_bg");
    QLabel *state = child<QLabel>(w, "label_state");
    auto place = [bg](QWidget *widget) {
        return QRect(widget->mapTo(bg, QPoint()), widget->size());
    };
    // Registration messages land in the status line too, so it must show above the panel, and
    // in neither state may it lie over a control.
    const QList<QPair<bool, QStringList>> states{
        {false, {"lineEdit_4", "pushButton_login", "label_2", "pushButton", "pushButton_5"}},
        {true, {"lineEdit_7", "pushButton_3", "pushButton_4", "pushButton_5"}}};
    for (const auto &s : states) {
        child<QPushButton>(w, s.first ? "pushButton" : "pushButton_exit_2")->click();
        QCOMPARE(child<QWidget>(w, "widget")->width() != 0, s.first);
        QCOMPARE(bg->childAt(place(state).center()), state);
        for (const QString &name : s.second) {
            QWidget *control = child<QWidget>(w, qPrintable(name));
            QVERIFY2(!place(control).intersects(place(state)), qPrintable(name));
        }
    }
    // The login column's controls are under the open panel, not beside it.
    for (const char *name : {"label", "lineEdit_3", "lineEdit_4", "pushButton_login"})
        QVERIFY2(place(child<QWidget>(w, "widget")).contains(place(child<QWidget>(w, name))), name);
}

void TestMainWindow::savedCredentialsSignInByThemselves()
{
    writeSetting(QStringLiteral("username"), QStringLiteral("13800000000"));
    writeSetting(QStringLiteral("password"), QStringLiteral("secret"));
    currentToken = QStringLiteral("saved-token");
    signInOk();

    QPointer<MainWindow> w = makeWindow();
    w->show();
    QCOMPARE(child<QLabel>(w, "label_state")->text(), QStringLiteral("登录中"));
    QCOMPARE(child<QLineEdit>(w, "lineEdit_3")->text(), QStringLiteral("13800000000"));
    QCOMPARE(child<QLineEdit>(w, "lineEdit_4")->text(), QStringLiteral("secret"));

    QTRY_VERIFY(homeWindow() != nullptr);
    QVERIFY(homeWindow()->isVisible());
    QVERIFY(homeWindow()->parent() == nullptr);
    QVERIFY(!w->isVisible());

    const QList<ReceivedRequest> sent = api.to("GET", "user");
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent[0].itemNames(), (QStringList{"userId", "token", "phone", "pwd"}));
    QCOMPARE(sent[0].item("token"), QStringLiteral("saved-token"));
    QCOMPARE(sent[0].item("phone"), QStringLiteral("13800000000"));
    QCOMPARE(sent[0].item("pwd"), QStringLiteral("secret"));

    QCOMPARE(currentUserId, QStringLiteral("7"));
    QCOMPARE(currentUserName, QStringLiteral("alice"));
    QCOMPARE(currentToken, QStringLiteral("tok-7"));
    // Not a first run: nothing is placed on the desktop or in autostart.
    QVERIFY(!desktopFileExists());
#ifdef Q_OS_WIN
    QCOMPARE(platform::autostartValue(appName()), QString());
#else
    QVERIFY(!QFileInfo::exists(autostartFile()));
#endif
}

void TestMainWindow::oneSavedValueDoesNothing_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::newRow("only name") << "13800000000"
                               << "";
    QTest::newRow("only password") << ""
                                   << "secret";
}

void TestMainWindow::oneSavedValueDoesNothing()
{
    QFETCH(QString, username);
    QFETCH(QString, password);
    writeSetting(QStringLiteral("username"), username);
    writeSetting(QStringLiteral("password"), password);
    api.setReply("POST", "user/getCode", FakeSigninApi::envelope(true, "ok", ""));

    MainWindow *w = makeWindow();
    QCOMPARE(child<QLineEdit>(w, "lineEdit_3")->text(), QString());
    QCOMPARE(child<QLineEdit>(w, "lineEdit_4")->text(), QString());
    QCOMPARE(child<QLabel>(w, "label_state")->text(), QString());
    QVERIFY(desktopFileExists()); // the first-run path ran instead

    // A later request arrives alone: no sign-in was sent before it.
    child<QPushButton>(w, "pushButton")->click();
    child<QLineEdit>(w, "lineEdit_5")->setText(QStringLiteral("13800000000"));
    child<QPushButton>(w, "pushButton_3")->click();
    QTRY_COMPARE(child<QPushButton>(w, "pushButton_3")->text(), QStringLiteral("获取成功"));
    // (Requests of an earlier test's home window may still trickle in: count by path.)
    QCOMPARE(api.count("POST", "user/getCode"), 1);
    QCOMPARE(api.count("GET", "user"), 0);
    QVERIFY(homeWindow() == nullptr);
}

void TestMainWindow::firstRunPlacesLauncherAndAutostart()
{
    makeWindow();
    const QString target = QCoreApplication::applicationDirPath() + QStringLiteral("/") +
                           platform::clientExecutableName();
#ifdef Q_OS_WIN
    QVERIFY2(QFileInfo(desktopFile()).isSymLink(), qPrintable(desktopFile()));
    QCOMPARE(QDir::cleanPath(QFileInfo(desktopFile()).symLinkTarget()).toLower(),
             QDir::cleanPath(target).toLower());
    // The Run key holds the path the way Windows writes it.
    QCOMPARE(platform::autostartValue(appName()),
             QDir::toNativeSeparators(QCoreApplication::applicationFilePath()));
#else
    const QString launcher = fileText(desktopFile());
    QVERIFY2(launcher.contains(QStringLiteral("Exec=\"%1\"").arg(target)), qPrintable(launcher));
    QCOMPARE(platform::autostartValue(appName()), QCoreApplication::applicationFilePath());
    QVERIFY(QFileInfo::exists(autostartFile()));
#endif
}

void TestMainWindow::autostartWrittenOnlyWhenDifferent()
{
    const QString command = QCoreApplication::applicationFilePath();
#ifdef Q_OS_WIN
    // A registry value carries no marker; what is seen is the value put right.
    platform::setAutostartValue(appName(), QStringLiteral("C:\\old\\place\\borvane.exe"));
    makeWindow();
    QCOMPARE(platform::autostartValue(appName()), QDir::toNativeSeparators(command));
    return;
#endif
    // The same value: the entry is left as it is (the marker line survives).
    platform::setAutostartValue(appName(), command);
    {
        QFile file(autostartFile());
        QVERIFY(file.open(QIODevice::Append));
        file.write("X-Marker=kept\n");
    }
    delete makeWindow();
    QVERIFY(fileText(autostartFile()).contains(QStringLiteral("X-Marker=kept")));

    // A different value (the program moved): the entry is rewritten.
    platform::setAutostartValue(appName(), QStringLiteral("/old/place/borvane"));
    {
        QFile file(autostartFile());
        QVERIFY(file.open(QIODevice::Append));
        file.write("X-Marker=kept\n");
    }
    makeWindow();
    QVERIFY(!fileText(autostartFile()).contains(QStringLiteral("X-Marker=kept")));
    QCOMPARE(platform::autostartValue(appName()), command);
}

void TestMainWindow::passwordWithSpacesSentAsTypedSavedTrimmed()
{
    signInOk();
    MainWindow *w = makeWindow();
    child<QLineEdit>(w, "lineEdit_3")->setText(QStringLiteral(" 13800000000 "));
    child<QLineEdit>(w, "lineEdit_4")->setText(QStringLiteral("  pa ss  "));
    child<QPushButton>(w, "pushButton_login")->click();
    // The request is in flight, yet the button reads as idle again.
    QCOMPARE(child<QPushButton>(w, "pushButton_login")->text(), QStringLiteral("一键登录"));
    QCOMPARE(child<QLabel>(w, "label_state")->text(), QStringLiteral("登录中"));

    QTRY_VERIFY(homeWindow() != nullptr);
    const ReceivedRequest sent = api.to("GET", "user").value(0);
    QCOMPARE(sent.item("phone"), QStringLiteral(" 13800000000 "));
    QCOMPARE(sent.item("pwd"), QStringLiteral("  pa ss  "));
    QCOMPARE(readSetting(QStringLiteral("/setting/username")), QStringLiteral("13800000000"));
    QCOMPARE(readSetting(QStringLiteral("/setting/password")), QStringLiteral("pa ss"));

    // The next run signs in with the trimmed password.
    delete homeWindow();
    api.requests.clear();
    makeWindow();
    QTRY_VERIFY(homeWindow() != nullptr);
    QCOMPARE(api.to("GET", "user").value(0).item("pwd"), QStringLiteral("pa ss"));
}

void TestMainWindow::refusalShowsMsgAndData_data()
{
    QTest::addColumn<QVariant>("data");
    QTest::addColumn<QString>("shown");
    QTest::newRow("text") << QVariant("请重试") << "密码错误 请重试";
    QTest::newRow("object") << QVariant(QVariantMap{{"a", 1}}) << "密码错误 ";
    QTest::newRow("missing") << QVariant() << "密码错误 ";
}

void TestMainWindow::refusalShowsMsgAndData()
{
    QFETCH(QVariant, data);
    QFETCH(QString, shown);
    QVariantMap answer{{"flag", false}, {"msg", "密码错误"}};
    if (data.isValid())
        answer.insert("data", data);
    api.setReply("GET", "user", FakeSigninApi::json(answer));

    MainWindow *w = makeWindow();
    child<QLineEdit>(w, "lineEdit_3")->setText(QStringLiteral("13800000000"));
    child<QLineEdit>(w, "lineEdit_4")->setText(QStringLiteral("wrong"));
    w->login();
    QTRY_COMPARE(child<QLabel>(w, "label_state")->text(), shown);
    // A refusal is final: no retry, no home window, nothing saved.
    QVERIFY(!retryPending(*w));
    QCOMPARE(api.count("GET", "user"), 1);
    QVERIFY(homeWindow() == nullptr);
    QCOMPARE(readSetting(QStringLiteral("/setting/username")), QString());
    QVERIFY(currentUserId.isEmpty());
}

void TestMainWindow::emptyFieldsAskForInput()
{
    MainWindow *w = makeWindow();
    child<QLineEdit>(w, "lineEdit_3")->setText(QStringLiteral("13800000000"));
    child<QLineEdit>(w, "lineEdit_4")->setText(QStringLiteral("   "));
    child<QPushButton>(w, "pushButton_login")->click();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].title, QStringLiteral("提示"));
    QCOMPARE(boxes[0].text, QStringLiteral("输入不能为空"));
    QCOMPARE(child<QLabel>(w, "label_state")->text(), QString());

    child<QLineEdit>(w, "lineEdit_3")->clear();
    child<QLineEdit>(w, "lineEdit_4")->setText(QStringLiteral("pw"));
    w->login();
    QCOMPARE(boxes.size(), 2);
    QCOMPARE(boxes[1].text, QStringLiteral("输入不能为空"));
}

void TestMainWindow::secondPressSendsSecondRequestOneHomeWindow()
{
    api.hold("GET", "user");
    MainWindow *w = makeWindow();
    child<QLineEdit>(w, "lineEdit_3")->setText(QStringLiteral("13800000000"));
    child<QLineEdit>(w, "lineEdit_4")->setText(QStringLiteral("secret"));
    child<QPushButton>(w, "pushButton_login")->click();
    child<QPushButton>(w, "pushButton_login")->click();
    QTRY_COMPARE(api.heldCount(), 2);
    api.release(
        FakeSigninApi::envelope(true, QStringLiteral("登录成功"),
                                QVariantMap{{"id", "7"}, {"name", "alice"}, {"token", "t"}}));
    QTRY_VERIFY(homeWindow() != nullptr);
    // Both answers are in once a later request has come back.
    api.setReply("GET", "ping", FakeSigninApi::envelope(true, "pong", ""));
    bool answered = false;
    HttpRequest(apiBaseUrl + QStringLiteral("ping"))
        .get([&answered](bool, const QVariantMap &) { answered = true; }, nullptr);
    QTRY_VERIFY(answered);
    int homes = 0;
    for (QWidget *top : QApplication::topLevelWidgets())
        homes += qobject_cast<MyWindow *>(top) ? 1 : 0;
    QCOMPARE(homes, 1);
}

void TestMainWindow::transportFailureRetriesAfterGrowingPauses()
{
    // Long pauses, so that the timer never fires during the test: each retry is started by
    // hand, which is what the timer does when it fires.
    setRetryDelays(100000, 400000);
    api.setReply("GET", "user", FakeSigninApi::status(500));
    MainWindow *w = makeWindow();
    QLabel *state = child<QLabel>(w, "label_state");
    child<QLineEdit>(w, "lineEdit_3")->setText(QStringLiteral("13800000000"));
    child<QLineEdit>(w, "lineEdit_4")->setText(QStringLiteral("secret"));
    const QString failure = QStringLiteral("登录失败，准备自动重试中... 原因：");

    const QList<int> pauses{100000, 200000, 400000, 400000};
    for (int i = 0; i < pauses.size(); ++i) {
        w->login();
        // A new attempt replaces the waiting one.
        QVERIFY(!retryPending(*w));
        QTRY_COMPARE(pendingRetryDelayMs(*w), pauses[i]);
        QCOMPARE(api.count("GET", "user"), i + 1);
        QVERIFY2(state->text().startsWith(failure), qPrintable(state->text()));
        QVERIFY(state->text().size() > failure.size());
    }
    QVERIFY(homeWindow() == nullptr);

    // Any answer of the service starts the pauses over.
    api.setReply("GET", "user", FakeSigninApi::envelope(false, QStringLiteral("维护中"), "稍后"));
    w->login();
    QTRY_COMPARE(state->text(), QStringLiteral("维护中 稍后"));
    QVERIFY(!retryPending(*w));
    api.setReply("GET", "user", FakeSigninApi::status(500));
    w->login();
    QTRY_COMPARE(pendingRetryDelayMs(*w), 100000);
}

void TestMainWindow::retryTimerFiresByItself()
{
    setRetryDelays(20, 80);
    api.setReply("GET", "user", FakeSigninApi::status(500));
    MainWindow *w = makeWindow();
    child<QLineEdit>(w, "lineEdit_3")->setText(QStringLiteral("13800000000"));
    child<QLineEdit>(w, "lineEdit_4")->setText(QStringLiteral("secret"));
    w->login();
    QTRY_VERIFY(api.count("GET", "user") >= 4);
    QVERIFY(homeWindow() == nullptr);

    // The first answer ends the retries.
    api.setReply("GET", "user", FakeSigninApi::envelope(false, QStringLiteral("维护中"), "稍后"));
    QTRY_COMPARE(child<QLabel>(w, "label_state")->text(), QStringLiteral("维护中 稍后"));
    QVERIFY(!retryPending(*w));
}

void TestMainWindow::successEndsRetryOfLaterPress()
{
    setRetryDelays(100000, 400000);
    api.hold("GET", "user");
    MainWindow *w = makeWindow();
    child<QLineEdit>(w, "lineEdit_3")->setText(QStringLiteral("13800000000"));
    child<QLineEdit>(w, "lineEdit_4")->setText(QStringLiteral("secret"));
    w->login();
    QTRY_COMPARE(api.heldCount(), 1);

    // A second press meets a network failure (nothing listens there) and schedules a retry.
    const QString service = apiBaseUrl;
    apiBaseUrl = QStringLiteral("http://127.0.0.56:9/");
    w->login();
    apiBaseUrl = service;
    QTRY_VERIFY(retryPending(*w));

    // The first press is answered: the window signs in and nothing is tried again.
    api.release(
        FakeSigninApi::envelope(true, QStringLiteral("登录成功"),
                                QVariantMap{{"id", "7"}, {"name", "alice"}, {"token", "t"}}));
    QTRY_VERIFY(homeWindow() != nullptr);
    QVERIFY(!retryPending(*w));
}

void TestMainWindow::emptiedFieldEndsRetries()
{
    setRetryDelays(20, 40);
    api.setReply("GET", "user", FakeSigninApi::status(500));
    MainWindow *w = makeWindow();
    child<QLineEdit>(w, "lineEdit_3")->setText(QStringLiteral("13800000000"));
    child<QLineEdit>(w, "lineEdit_4")->setText(QStringLiteral("secret"));
    w->login();
    QTRY_VERIFY(retryPending(*w));
    child<QLineEdit>(w, "lineEdit_4")->clear();
    QTRY_COMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].text, QStringLiteral("输入不能为空"));
    QVERIFY(!retryPending(*w));
    const int sent = api.count("GET", "user");
    // Nothing is scheduled any more; a code request made now arrives after the last sign-in.
    api.setReply("POST", "user/getCode", FakeSigninApi::envelope(true, "ok", ""));
    child<QPushButton>(w, "pushButton")->click();
    child<QLineEdit>(w, "lineEdit_5")->setText(QStringLiteral("13800000000"));
    child<QPushButton>(w, "pushButton_3")->click();
    QTRY_COMPARE(child<QPushButton>(w, "pushButton_3")->text(), QStringLiteral("获取成功"));
    QCOMPARE(api.count("GET", "user"), sent);
    QCOMPARE(boxes.size(), 1);
}

void TestMainWindow::answerAfterWindowGoneDoesNothing()
{
    api.hold("GET", "user");
    MainWindow *w = makeWindow();
    child<QLineEdit>(w, "lineEdit_3")->setText(QStringLiteral("13800000000"));
    child<QLineEdit>(w, "lineEdit_4")->setText(QStringLiteral("secret"));
    w->login();
    QTRY_COMPARE(api.heldCount(), 1);
    delete w;
    api.release(FakeSigninApi::envelope(true, "ok",
                                        QVariantMap{{"id", "9"}, {"name", "n"}, {"token", "t"}}));
    // The answer is consumed (the connection closes) without touching the deleted window.
    api.setReply("GET", "ping", FakeSigninApi::envelope(true, "pong", ""));
    bool answered = false;
    HttpRequest(apiBaseUrl + QStringLiteral("ping"))
        .get([&answered](bool, const QVariantMap &) { answered = true; }, nullptr);
    QTRY_VERIFY(answered);
    QVERIFY(homeWindow() == nullptr);
    QVERIFY(currentUserId.isEmpty());
}

void TestMainWindow::registration()
{
    api.setReply("POST", "user", FakeSigninApi::envelope(true, QStringLiteral("注册完成"), ""));
    MainWindow *w = makeWindow();
    child<QPushButton>(w, "pushButton")->click();
    child<QLineEdit>(w, "lineEdit_5")->setText(QStringLiteral(" 13900000000"));
    child<QLineEdit>(w, "lineEdit_6")->setText(QStringLiteral("new pw "));
    child<QLineEdit>(w, "lineEdit_7")->setText(QStringLiteral("1234"));
    child<QPushButton>(w, "pushButton_4")->click();
    QCOMPARE(child<QPushButton>(w, "pushButton_4")->text(), QStringLiteral("注册中"));

    QTRY_COMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].title, QStringLiteral("提示"));
    QCOMPARE(boxes[0].text, QStringLiteral("注册成功，请直接登录!"));
    QCOMPARE(child<QWidget>(w, "widget")->size(), QSize(0, 0));
    QCOMPARE(child<QPushButton>(w, "pushButton_4")->text(), QStringLiteral("一键注册"));
    QCOMPARE(child<QLabel>(w, "label_state")->text(), QStringLiteral("注册完成"));
    QCOMPARE(child<QLineEdit>(w, "lineEdit_3")->text(), QString());

    const ReceivedRequest sent = api.to("POST", "user").value(0);
    QCOMPARE(sent.itemNames(), (QStringList{"userId", "token", "phone", "pwd", "code"}));
    QCOMPARE(sent.item("phone"), QStringLiteral(" 13900000000"));
    QCOMPARE(sent.item("pwd"), QStringLiteral("new pw "));
    QCOMPARE(sent.item("code"), QStringLiteral("1234"));
    QCOMPARE(sent.headers.value("content-type"), QByteArray("application/x-www-form-urlencoded"));
    QVERIFY(!sent.target.contains("phone"));
}

void TestMainWindow::registrationGuardsAndFailures()
{
    MainWindow *w = makeWindow();
    child<QPushButton>(w, "pushButton")->click();
    QLineEdit *phone = child<QLineEdit>(w, "lineEdit_5");
    QLineEdit *pwd = child<QLineEdit>(w, "lineEdit_6");
    QLineEdit *code = child<QLineEdit>(w, "lineEdit_7");
    QPushButton *button = child<QPushButton>(w, "pushButton_4");
    QLabel *state = child<QLabel>(w, "label_state");

    // Each empty (or blank) field stops the registration with the box.
    const QList<QLineEdit *> fields{phone, pwd, code};
    for (QLineEdit *blank : fields) {
        for (QLineEdit *field : fields)
            field->setText(field == blank ? QStringLiteral("  ") : QStringLiteral("x"));
        boxes.clear();
        button->click();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QStringLiteral("【注册】输入不能为空"));
    }
    QCOMPARE(api.count("POST", "user"), 0);

    // "注册中" guards against a second request.
    phone->setText(QStringLiteral("13900000000"));
    pwd->setText(QStringLiteral("pw"));
    code->setText(QStringLiteral("1234"));
    api.hold("POST", "user");
    button->click();
    QTRY_COMPARE(api.heldCount(), 1);
    button->click();
    w->reg();
    QCOMPARE(button->text(), QStringLiteral("注册中"));
    api.release(FakeSigninApi::envelope(false, QStringLiteral("验证码错误"), "请重新获取"));
    QTRY_COMPARE(state->text(), QStringLiteral("验证码错误 请重新获取"));
    QCOMPARE(button->text(), QStringLiteral("一键注册"));
    QCOMPARE(api.count("POST", "user"), 1);
    QCOMPARE(child<QWidget>(w, "widget")->size(), QSize(291, 321));
    QVERIFY(boxes.size() == 1);

    api.setReply("POST", "user", FakeSigninApi::status(500));
    button->click();
    QTRY_VERIFY(state->text().startsWith(QStringLiteral("注册失败，原因：")));
    QVERIFY(state->text().size() > QStringLiteral("注册失败，原因：").size());
    QCOMPARE(button->text(), QStringLiteral("一键注册"));
}

void TestMainWindow::verificationCode()
{
    MainWindow *w = makeWindow();
    child<QPushButton>(w, "pushButton")->click();
    QPushButton *button = child<QPushButton>(w, "pushButton_3");
    QLabel *state = child<QLabel>(w, "label_state");

    child<QLineEdit>(w, "lineEdit_5")->setText(QStringLiteral("   "));
    button->click();
    QCOMPARE(state->text(), QStringLiteral("手机号不能为空"));
    QCOMPARE(button->text(), QStringLiteral("获取验证码"));

    child<QLineEdit>(w, "lineEdit_5")->setText(QStringLiteral(" 13800000000 "));
    api.hold("POST", "user/getCode");
    button->click();
    QCOMPARE(button->text(), QStringLiteral("获取中"));
    QTRY_COMPARE(api.heldCount(), 1);
    button->click();
    api.release(FakeSigninApi::envelope(true, QStringLiteral("已发送"), ""));
    QTRY_COMPARE(button->text(), QStringLiteral("获取成功"));
    QVERIFY(!button->isEnabled());
    QCOMPARE(state->text(), QStringLiteral("已发送"));
    QCOMPARE(api.count("POST", "user/getCode"), 1);

    const ReceivedRequest sent = api.to("POST", "user/getCode").value(0);
    QCOMPARE(sent.itemNames(), (QStringList{"userId", "token", "phone", "verify"}));
    // Sent as typed; signed without the spaces. MD5 of "13800000000qmz", computed apart.
    QCOMPARE(sent.item("phone"), QStringLiteral(" 13800000000 "));
    QCOMPARE(sent.item("verify"), QStringLiteral("fee3c7152d5e44e718757384d6454f38"));
    QCOMPARE(MainWindow::codeSignature(QStringLiteral("13800000000")),
             QStringLiteral("fee3c7152d5e44e718757384d6454f38"));
    QCOMPARE(sent.headers.value("content-type"), QByteArray("application/x-www-form-urlencoded"));

    // Closing the panel keeps the button disabled; opening it again re-arms the button.
    child<QPushButton>(w, "pushButton_exit_2")->click();
    QVERIFY(!button->isEnabled());
    child<QPushButton>(w, "pushButton")->click();
    QVERIFY(button->isEnabled());
    QCOMPARE(button->text(), QStringLiteral("获取验证码"));
}

void TestMainWindow::verificationCodeRefusedAndFailed()
{
    MainWindow *w = makeWindow();
    child<QPushButton>(w, "pushButton")->click();
    QPushButton *button = child<QPushButton>(w, "pushButton_3");
    QLabel *state = child<QLabel>(w, "label_state");
    child<QLineEdit>(w, "lineEdit_5")->setText(QStringLiteral("13800000000"));

    api.setReply("POST", "user/getCode",
                 FakeSigninApi::envelope(false, QStringLiteral("发送太频繁"), "60秒后再试"));
    button->click();
    QTRY_COMPARE(state->text(), QStringLiteral("发送太频繁 60秒后再试"));
    // The button keeps "获取中": clicks do nothing until the panel is reopened.
    QCOMPARE(button->text(), QStringLiteral("获取中"));
    QVERIFY(button->isEnabled());
    button->click();
    child<QPushButton>(w, "pushButton")->click();
    QCOMPARE(button->text(), QStringLiteral("获取验证码"));
    QCOMPARE(api.count("POST", "user/getCode"), 1);

    api.setReply("POST", "user/getCode", FakeSigninApi::status(500));
    button->click();
    QTRY_VERIFY(state->text().startsWith(QStringLiteral("注册失败，原因：")));
    QCOMPARE(button->text(), QStringLiteral("获取验证码"));
    QVERIFY(button->isEnabled());
}

void TestMainWindow::enterRoutesToPanel()
{
    MainWindow *w = makeWindow();
    // Panel closed: Enter (main keyboard or keypad) signs in.
    QTest::keyClick(w, Qt::Key_Return);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.last().text, QStringLiteral("输入不能为空"));
    QTest::keyClick(child<QLineEdit>(w, "lineEdit_3"), Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(boxes.size(), 2);
    QCOMPARE(boxes.last().text, QStringLiteral("输入不能为空"));

    // Panel open: Enter in a registration field registers.
    child<QPushButton>(w, "pushButton")->click();
    QTest::keyClick(child<QLineEdit>(w, "lineEdit_6"), Qt::Key_Return);
    QCOMPARE(boxes.size(), 3);
    QCOMPARE(boxes.last().text, QStringLiteral("【注册】输入不能为空"));
    QTest::keyClick(w, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(boxes.size(), 4);
    QCOMPARE(boxes.last().text, QStringLiteral("【注册】输入不能为空"));

    // Other keys do nothing.
    QTest::keyClick(w, Qt::Key_A);
    QTest::keyClick(w, Qt::Key_Escape);
    QCOMPARE(boxes.size(), 4);
}

void TestMainWindow::helpBoxThenWebsite()
{
    MainWindow *w = makeWindow();
    child<QPushButton>(w, "pushButton_5")->click();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0].title, QStringLiteral("提示"));
    QCOMPARE(boxes[0].text,
             QStringLiteral(
                 "若软件出现无法注册、登录等情况，有如下可能：\n\n 1:您本地网络异常，请您排查\n "
                 "2:此版本非最新版，请前往官网下载最新版本Borvane \n\n官网地址: ") +
                 websiteHost());
    QCOMPARE(opened, QStringList{QStringLiteral("http://") + websiteHost()});
    QCOMPARE(events, (QStringList{"box", "open"}));
}

void TestMainWindow::draggingMovesWindow()
{
    MainWindow *w = makeWindow();
    // Room to the right: the test screen is barely wider than the window.
    w->move(20, 100);
    const QPoint start = w->pos();
    auto send = [w](QEvent::Type type, QPoint local, Qt::MouseButton button,
                    Qt::MouseButtons buttons) {
        QMouseEvent event(type, local, w->mapToGlobal(local), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(w, &event);
    };
    send(QEvent::MouseButtonPress, QPoint(50, 40), Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, QPoint(80, 60), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(w->pos(), start + QPoint(30, 20));
    send(QEvent::MouseButtonRelease, QPoint(50, 40), Qt::LeftButton, Qt::NoButton);
    const QPoint dropped = w->pos();
    send(QEvent::MouseMove, QPoint(90, 90), Qt::NoButton, Qt::NoButton);
    QCOMPARE(w->pos(), dropped);
    // A right-button press does not start a drag.
    send(QEvent::MouseButtonPress, QPoint(10, 10), Qt::RightButton, Qt::RightButton);
    send(QEvent::MouseMove, QPoint(40, 40), Qt::NoButton, Qt::RightButton);
    QCOMPARE(w->pos(), dropped);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
