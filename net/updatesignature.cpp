#include "updatesignature.h"

#include "platform/environment.h"

namespace updatesignature {

QByteArray publicKey()
{
    const auto &override = Environment::current().updatePublicKey;
    return override ? UpdateManifest::decodeKey(*override) : UpdateManifest::builtInKey();
}

std::optional<UpdateManifest> verify(const QByteArray &document, const QByteArray &publicKey,
                                     QString *error)
{
    return UpdateManifest::verify(document, publicKey, error);
}

} // namespace updatesignature
