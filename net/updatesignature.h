#pragma once

#include "core/updatemanifest.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Checks the signed release list the service publishes beside the update files against the
// update public key this client was built with (Ed25519).
namespace updatesignature {

// The key downloads are checked against: the environment's, else the build's; empty in a
// development build, whose updates go unchecked.
QByteArray publicKey();

// The release list of document when its signature is publicKey's; otherwise nothing and why.
std::optional<UpdateManifest> verify(const QByteArray &document, const QByteArray &publicKey,
                                     QString *error);

} // namespace updatesignature
