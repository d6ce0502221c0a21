#include "updatemanifest.h"

#include "buildconfig.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#ifdef BORVANE_HAS_SODIUM
#include <sodium.h>
#endif

namespace {

// A release is a handful of files; anything far larger is not ours.
constexpr int MaxManifestFiles = 1000;
constexpr int PublicKeyBytes = 32;
constexpr int SignatureBytes = 64;

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

bool plainName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) &&
           !name.contains(QLatin1Char('\\')) && name != QLatin1String(".") &&
           name != QLatin1String("..") && name != UpdateManifest::fileName();
}

} // namespace

std::optional<UpdateManifest> UpdateManifest::parse(const QByteArray &document, QString *error)
{
    const QJsonDocument doc = QJsonDocument::fromJson(document);
    if (!doc.isObject() || !doc.object().value(QLatin1String("manifest")).isString()) {
        fail(error, QStringLiteral("the release manifest is not readable"));
        return std::nullopt;
    }
    return parseBody(doc.object().value(QLatin1String("manifest")).toString().toUtf8(), error);
}

std::optional<UpdateManifest> UpdateManifest::parseBody(const QByteArray &body, QString *error)
{
    static const QRegularExpression hexHash(QStringLiteral("^[0-9a-f]{64}$"));
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    const QJsonArray files = doc.object().value(QLatin1String("files")).toArray();
    UpdateManifest manifest;
    manifest.version = doc.object().value(QLatin1String("version")).toString();
    if (!doc.isObject() || manifest.version.isEmpty() || files.size() > MaxManifestFiles) {
        fail(error, QStringLiteral("the release manifest is not readable"));
        return std::nullopt;
    }
    for (const QJsonValue &value : files) {
        const QJsonObject o = value.toObject();
        File file;
        file.name = o.value(QLatin1String("name")).toString();
        file.size = qint64(o.value(QLatin1String("size")).toDouble(-1));
        file.sha256 = o.value(QLatin1String("sha256")).toString().toLatin1();
        if (!plainName(file.name) || file.size < 0 || !hexHash.match(file.sha256).hasMatch() ||
            manifest.find(file.name)) {
            fail(error, QStringLiteral("the release manifest lists a bad entry"));
            return std::nullopt;
        }
        manifest.files.append(file);
    }
    return manifest;
}

const UpdateManifest::File *UpdateManifest::find(const QString &name) const
{
    for (const File &file : files)
        if (file.name == name)
            return &file;
    return nullptr;
}

bool UpdateManifest::fileMatches(const QString &path, const File &file)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() != file.size)
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&f))
        return false;
    return hash.result().toHex() == file.sha256;
}

std::optional<UpdateManifest> UpdateManifest::verify(const QByteArray &document,
                                                     const QByteArray &publicKey, QString *error)
{
    const QJsonObject doc = QJsonDocument::fromJson(document).object();
    const QByteArray body = doc.value(QLatin1String("manifest")).toString().toUtf8();
    const QByteArray signature =
        QByteArray::fromBase64(doc.value(QLatin1String("signature")).toString().toLatin1());
    bool good = false;
#ifdef BORVANE_HAS_SODIUM
    good = publicKey.size() == PublicKeyBytes && signature.size() == SignatureBytes &&
           sodium_init() >= 0 &&
           crypto_sign_verify_detached(
               reinterpret_cast<const unsigned char *>(signature.data()),
               reinterpret_cast<const unsigned char *>(body.data()), quint64(body.size()),
               reinterpret_cast<const unsigned char *>(publicKey.data())) == 0;
#else
    Q_UNUSED(publicKey)
    Q_UNUSED(signature)
#endif
    if (!good) {
        fail(error, QStringLiteral("the release list is not signed by our key"));
        return std::nullopt;
    }
    return parseBody(body, error);
}

QByteArray UpdateManifest::decodeKey(const QByteArray &text)
{
    const QByteArray trimmed = text.trimmed();
    const QByteArray key = trimmed.size() == 2 * PublicKeyBytes ? QByteArray::fromHex(trimmed)
                                                                : QByteArray::fromBase64(trimmed);
    return key.size() == PublicKeyBytes ? key : QByteArray();
}

QByteArray UpdateManifest::builtInKey()
{
    static const QByteArray key = [] {
        const QByteArray configured(BORVANE_UPDATE_PUBLIC_KEY);
        if (configured.isEmpty())
            return QByteArray();
        const QByteArray decoded = decodeKey(configured);
        // Never an unchecked update in a build that meant to check them: a key no signature
        // can match.
        return decoded.isEmpty() ? QByteArrayLiteral("unreadable") : decoded;
    }();
    return key;
}
