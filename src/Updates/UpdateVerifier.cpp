#include "UpdateVerifier.h"

#include <QFile>

#include <sodium.h>

namespace {

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::optional<QByteArray> decodeExact(QByteArrayView base64, qsizetype size)
{
    const auto decoded = QByteArray::fromBase64Encoding(
        base64.trimmed().toByteArray(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return std::nullopt;
    return decoded.decoded;
}

} // namespace

std::optional<QByteArray> UpdateVerifier::decodePublicKey(const QString &base64)
{
    return decodeExact(base64.toLatin1(), publicKeyBytes);
}

std::optional<QByteArray> UpdateVerifier::decodeSignature(QByteArrayView base64)
{
    return decodeExact(base64, signatureBytes);
}

bool UpdateVerifier::verifyBytes(
    QByteArrayView message, const QByteArray &signature, const QByteArray &publicKey)
{
    if (!sodiumReady() || signature.size() != signatureBytes || publicKey.size() != publicKeyBytes)
        return false;
    return crypto_sign_verify_detached(
               reinterpret_cast<const unsigned char *>(signature.constData()),
               reinterpret_cast<const unsigned char *>(message.data()),
               static_cast<unsigned long long>(message.size()),
               reinterpret_cast<const unsigned char *>(publicKey.constData()))
        == 0;
}

bool UpdateVerifier::verifyFile(
    const QString &path, const QByteArray &signature, const QByteArray &publicKey)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = file.size();
    if (size == 0)
        return verifyBytes(QByteArrayView(), signature, publicKey);
    uchar *mapped = file.map(0, size);
    if (!mapped)
        return false;
    const bool valid = verifyBytes(
        QByteArrayView(reinterpret_cast<const char *>(mapped), size), signature, publicKey);
    file.unmap(mapped);
    return valid;
}
