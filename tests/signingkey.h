#pragma once

// Release lists ("manifest.json") as the service publishes them, and a release signing key
// made for one test to sign them with.

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QString>

#ifdef BORVANE_HAS_SODIUM
#include <sodium.h>
#endif

// The release description of files by name (the text a signature covers).
inline QByteArray releaseBody(const QString &version, const QMap<QString, QByteArray> &files)
{
    QJsonArray list;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        list.append(QJsonObject{
            {"name", it.key()},
            {"size", double(it.value().size())},
            {"sha256",
             QString::fromLatin1(
                 QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256).toHex())}});
    return QJsonDocument(QJsonObject{{"version", version}, {"files", list}}).toJson();
}

// The published document; an empty signature makes an unsigned one.
inline QByteArray releaseDocument(const QByteArray &body, const QByteArray &signature = {})
{
    return QJsonDocument(QJsonObject{{"manifest", QString::fromUtf8(body)},
                                     {"signature", QString::fromLatin1(signature.toBase64())}})
        .toJson();
}

#ifdef BORVANE_HAS_SODIUM
struct SigningKey
{
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    unsigned char sk[crypto_sign_SECRETKEYBYTES];
    SigningKey() { crypto_sign_keypair(pk, sk); }
    QByteArray publicHex() const
    {
        return QByteArray(reinterpret_cast<const char *>(pk), sizeof pk).toHex();
    }
    QByteArray sign(const QString &version, const QMap<QString, QByteArray> &files) const
    {
        const QByteArray body = releaseBody(version, files);
        unsigned char signature[crypto_sign_BYTES];
        crypto_sign_detached(signature, nullptr,
                             reinterpret_cast<const unsigned char *>(body.data()), body.size(), sk);
        return releaseDocument(
            body, QByteArray(reinterpret_cast<const char *>(signature), sizeof signature));
    }
};
#endif
