#include "updatesignature.h"

#include "buildconfig.h"
#include "platform/environment.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>

#ifdef BORVANE_HAS_SODIUM
#include <sodium.h>
#endif

namespace updatesignature {

namespace {

constexpr int PublicKeyBytes = 32;
constexpr int SignatureBytes = 64;

// The build value may be given as hex or as base64.
QByteArray decodeKey(const QByteArray &text)
{
    const QByteArray trimmed = text.trimmed();
    const QByteArray key = trimmed.size() == 2 * PublicKeyBytes ? QByteArray::fromHex(trimmed)
                                                                : QByteArray::fromBase64(trimmed);
    return key.size() == PublicKeyBytes ? key : QByteArray();
}

QByteArray builtInKey()
{
#ifdef BORVANE_HAS_SODIUM
    static const QByteArray key = [] {
        const QByteArray configured(BORVANE_UPDATE_PUBLIC_KEY);
        const QByteArray decoded = decodeKey(configured);
        if (!configured.isEmpty() && decoded.isEmpty())
            qWarning() << "the built-in update public key is not a 32-byte key";
        return decoded;
    }();
    return key;
#else
    return {};
#endif
}

} // namespace

QByteArray publicKey()
{
    const auto &override = Environment::current().updatePublicKey;
    const QByteArray key = override ? decodeKey(*override) : builtInKey();
    static bool told = false;
    if (key.isEmpty() && !told) {
        told = true;
        qDebug() << "updates unverified";
    }
    return key;
}

std::optional<UpdateManifest> verify(const QByteArray &document, const QByteArray &publicKey,
                                     QString *error)
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
#endif
    if (!good) {
        if (error)
            *error = QStringLiteral("the release list is not signed by our key");
        return std::nullopt;
    }
    return UpdateManifest::parseBody(body, error);
}

} // namespace updatesignature
