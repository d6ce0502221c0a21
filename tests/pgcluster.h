#pragma once

// A PostgreSQL cluster of the test's own, in a temporary folder, reached on a Unix socket in
// that folder only: Debian's initdb and pg_ctl, run as the postgres user when the test runs as
// root (the server refuses root). Never a system cluster. Stopped by the destructor.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <pwd.h>
#include <unistd.h>

class PgCluster
{
public:
    ~PgCluster() { stop(); }

    // The cluster that ServerProcess puts its databases on, when one is running.
    static PgCluster *&active()
    {
        static PgCluster *cluster = nullptr;
        return cluster;
    }

    // Debian's server programs, or empty when they are not installed.
    static QString binDir()
    {
        const QDir lib(QStringLiteral("/usr/lib/postgresql"));
        QStringList versions = lib.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        for (auto v = versions.crbegin(); v != versions.crend(); ++v)
            if (QFile::exists(lib.filePath(*v + "/bin/initdb")))
                return lib.filePath(*v + "/bin");
        return QString();
    }

    bool start(QString &why)
    {
        const QString bin = binDir();
        if (bin.isEmpty()) {
            why = QStringLiteral("initdb not found under /usr/lib/postgresql (package postgresql)");
            return false;
        }
        if (!dir.isValid()) {
            why = QStringLiteral("no temporary folder");
            return false;
        }
        if (::geteuid() == 0) {
            const passwd *pw = ::getpwnam("postgres");
            if (!pw ||
                ::chown(QFile::encodeName(dir.path()).constData(), pw->pw_uid, pw->pw_gid) != 0) {
                why = QStringLiteral("running as root, and no postgres user to run the server");
                return false;
            }
            runAs = QStringList{"-u", "postgres", "--"};
        }
        const QString data = dir.filePath(QStringLiteral("data"));
        if (!run(bin + "/initdb",
                 {"-D", data, "-U", "borvane", "--auth=trust", "-E", "UTF8", "--locale=C", "-N"},
                 why))
            return false;
        // Sockets in the test's folder only, no TCP; durability is not what is tested here.
        const QString options = "-k " + dir.path() + " -c listen_addresses='' -c fsync=off";
        if (!run(bin + "/pg_ctl",
                 {"-D", data, "-l", dir.filePath("server.log"), "-w", "-t", "60", "-o", options,
                  "start"},
                 why))
            return false;
        started = true;
        return true;
    }

    void stop()
    {
        if (!started)
            return;
        started = false;
        QString ignored;
        run(binDir() + "/pg_ctl",
            {"-D", dir.filePath(QStringLiteral("data")), "-m", "immediate", "-w", "stop"}, ignored);
    }

    // A new, empty database; its URL for --db.
    QString createDatabase()
    {
        const QString name = "db" + QString::number(++databases);
        QString why;
        if (!run(binDir() + "/createdb", {"-h", dir.path(), "-U", "borvane", name}, why))
            return QString();
        return url(name);
    }

    // Runs one statement on the database of url, as an operator would with psql.
    bool sql(const QString &url, const QString &statement)
    {
        QString why;
        return run(binDir() + "/psql", {"-v", "ON_ERROR_STOP=1", "-d", url, "-c", statement}, why);
    }

    QString url(const QString &name) const
    {
        return "postgresql:///" + name + "?host=" + dir.path() + "&user=borvane";
    }

    QString folder() const { return dir.path(); }

private:
    bool run(const QString &program, const QStringList &args, QString &why)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        if (runAs.isEmpty())
            p.start(program, args);
        else
            p.start(QStringLiteral("runuser"), runAs + QStringList(program) + args);
        if (!p.waitForFinished(90000) || p.exitStatus() != QProcess::NormalExit ||
            p.exitCode() != 0) {
            why = program + ": " + QString::fromLocal8Bit(p.readAll());
            return false;
        }
        return true;
    }

    QTemporaryDir dir{QStringLiteral("/tmp/bvpg-XXXXXX")};
    QStringList runAs;
    bool started = false;
    int databases = 0;
};
