#pragma once

// Runs the real borvane-server as a child process on one loopback address with a database in a
// temporary directory, and collects its log lines. Tests stop it themselves; the destructor
// makes sure nothing is left running.

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QVariantMap>

#include "pgcluster.h"

#ifndef BORVANE_SERVER_BIN
#error "BORVANE_SERVER_BIN must name the borvane-server executable"
#endif

// A GET of url, or a form POST when form is not null, through nam; the body of the answer,
// whatever has come when it takes longer than 20 s.
inline QByteArray fetchBody(QNetworkAccessManager &nam, const QString &url, const QByteArray &form)
{
    QNetworkRequest request(QUrl::fromEncoded(url.toUtf8()));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    QNetworkReply *reply = form.isNull() ? nam.get(request) : nam.post(request, form);
    QSignalSpy done(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        done.wait(20000);
    reply->deleteLater();
    return reply->readAll();
}

// Sends a request through the client's own helper (an HttpRequest), as its windows do, and
// waits for the answer: empty when the request failed or went unanswered in time.
template <typename Request> QVariantMap callService(Request request, bool post)
{
    QVariantMap answer;
    bool done = false;
    auto ok = [&](bool, const QVariantMap &m) {
        answer = m;
        done = true;
    };
    auto fail = [&](const QString &) { done = true; };
    if (post)
        request.addHeader("content-type", "application/x-www-form-urlencoded").post(ok, fail);
    else
        request.get(ok, fail);
    if (!QTest::qWaitFor([&] { return done; }, 20000))
        qWarning("no answer from the service in time");
    return answer;
}

class ServerProcess
{
public:
    explicit ServerProcess(const QString &bindAddress) : address(bindAddress)
    {
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { log += process.readAllStandardError(); });
    }
    ~ServerProcess() { stop(); }

    // BORVANE_SERVER_UNDER_TEST runs another build of the service, such as a sanitizer build.
    static QString program()
    {
        const QString other = qEnvironmentVariable("BORVANE_SERVER_UNDER_TEST");
        return other.isEmpty() ? QStringLiteral(BORVANE_SERVER_BIN) : other;
    }

    QString databasePath() const { return dir.filePath(QStringLiteral("service.db")); }
    // With a test cluster running, each service gets a database of its own there, kept across
    // its restarts; otherwise its SQLite file.
    bool onPostgres() const { return !databaseUrl.isEmpty(); }
    QString database()
    {
        if (databaseUrl.isEmpty() && PgCluster::active())
            databaseUrl = PgCluster::active()->createDatabase();
        return onPostgres() ? databaseUrl : databasePath();
    }

    // Starts the service and waits until it says it is ready (or has ended).
    bool start(const QStringList &extra = {})
    {
        const int before = log.count("event=ready");
        QStringList args{QStringLiteral("--bind"), address, QStringLiteral("--db"), database()};
        if (onPostgres())
            args << QStringLiteral("--sms-outbox") << databasePath() + ".sms";
        args += extra;
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(program(), args);
        if (!process.waitForStarted(5000))
            return false;
        return waitForLog("event=ready", before + 1, 20000);
    }

    // SIGTERM and a clean exit; a kill only when it does not end in time.
    int stop()
    {
        if (process.state() == QProcess::NotRunning)
            return process.exitCode();
        process.terminate();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(5000);
            return -1;
        }
        log += process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    // Hard kill, as a crash or power loss would end it.
    void kill()
    {
        process.kill();
        process.waitForFinished(5000);
        log += process.readAllStandardError();
    }

    // Waits until text occurs at least count times in the log.
    bool waitForLog(const QByteArray &text, int count = 1, int timeoutMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        while (log.count(text) < count) {
            if (process.state() == QProcess::NotRunning)
                return false;
            const int left = timeoutMs - int(clock.elapsed());
            if (left <= 0)
                return false;
            QSignalSpy spy(&process, &QProcess::readyReadStandardError);
            spy.wait(qMin(left, 500));
        }
        return true;
    }

    QString address;
    QTemporaryDir dir;
    QString databaseUrl; // set to share one database between services
    QProcess process;
    QByteArray log;
};
