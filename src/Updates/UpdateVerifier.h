#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// Ed25519 checks of the feed and of archives (libsodium).
namespace UpdateVerifier {

constexpr qsizetype publicKeyBytes = 32;
constexpr qsizetype signatureBytes = 64;

// The raw key or signature from its base64 text; nullopt when the text is not
// base64 or has the wrong length.
std::optional<QByteArray> decodePublicKey(const QString &base64);
std::optional<QByteArray> decodeSignature(QByteArrayView base64);

bool verifyBytes(QByteArrayView message, const QByteArray &signature, const QByteArray &publicKey);
// Maps the file instead of reading it, so a large archive costs no copy. Never
// call on the user-interface thread: it reads the whole file.
bool verifyFile(const QString &path, const QByteArray &signature, const QByteArray &publicKey);

} // namespace UpdateVerifier
