#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// What a release consists of: the version and, for every file, its size and SHA-256. The
// service publishes it signed beside the files ("manifest.json"); the updater checks each
// download against it before the download may replace anything, and the update program checks
// the staged files against the copy the updater kept.
struct UpdateManifest
{
    struct File
    {
        QString name;
        qint64 size = 0;
        QByteArray sha256; // lower-case hex
    };

    QString version;
    QList<File> files;

    static QString fileName() { return QStringLiteral("manifest.json"); }

    // The signed document: {"manifest": <text of the release description>, "signature": <base64>}.
    // Reads the release description out of it without checking the signature.
    static std::optional<UpdateManifest> parse(const QByteArray &document, QString *error);
    // The release description alone (the text the signature covers).
    static std::optional<UpdateManifest> parseBody(const QByteArray &body, QString *error);

    // The release list of document when its signature is publicKey's (Ed25519); otherwise
    // nothing and why. Always nothing in a build without the signature library.
    static std::optional<UpdateManifest> verify(const QByteArray &document,
                                                const QByteArray &publicKey, QString *error);
    // The release signing key this program was built with: empty in a development build (no
    // key configured); a configured key that cannot be read verifies nothing.
    static QByteArray builtInKey();
    // A key given as hex or base64; empty unless it is 32 bytes.
    static QByteArray decodeKey(const QByteArray &text);

    const File *find(const QString &name) const;
    // True when the file at path has the listed size and hash.
    static bool fileMatches(const QString &path, const File &file);
};
