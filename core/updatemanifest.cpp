#include "updatemanifest.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

// A release is a handful of files; anything far larger is not ours.
constexpr int MaxManifestFiles = 1000;

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
