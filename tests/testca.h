#pragma once

// A certificate authority made for one test with the openssl tool, and certificates it signs
// for host names or IP addresses, in a temporary directory.

#include <QHostAddress>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>

class TestCa
{
public:
    bool create()
    {
        return run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", path("ca.key"), "-out", path("ca.pem"), "-days", "2",
                    "-subj", "/CN=Borvane test CA"});
    }

    // A certificate for name (a DNS name or an IP address); its PEM files as name.pem and
    // name.key.
    bool issue(const QString &name)
    {
        const bool ip = !QHostAddress(name).isNull();
        QFile ext(path(name + ".ext"));
        if (!ext.open(QIODevice::WriteOnly))
            return false;
        ext.write(("subjectAltName=" + QString(ip ? "IP:" : "DNS:") + name + "\n").toLatin1());
        ext.close();
        return run({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", key(name), "-out", path(name + ".csr"), "-subj",
                    "/CN=" + name}) &&
               run({"x509", "-req", "-in", path(name + ".csr"), "-CA", path("ca.pem"), "-CAkey",
                    path("ca.key"), "-CAcreateserial", "-out", cert(name), "-days", "2", "-extfile",
                    ext.fileName()});
    }

    QString cert(const QString &name) const { return path(name + ".pem"); }
    QString key(const QString &name) const { return path(name + ".key"); }

    // Makes every new TLS socket of the process trust this authority.
    void trust() const
    {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates(config.caCertificates() +
                                 QSslCertificate::fromPath(path("ca.pem")));
        QSslConfiguration::setDefaultConfiguration(config);
    }

private:
    QString path(const QString &file) const { return dir.filePath(file); }

    bool run(const QStringList &args)
    {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"), args);
        return openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit &&
               openssl.exitCode() == 0;
    }

    QTemporaryDir dir;
};
