#include "ReleaseSigning.h"

#include <QFile>
#include <QXmlStreamWriter>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ReleaseSigning {

namespace {

void ready()
{
    if (sodium_init() < 0)
        throw ReleaseError("libsodium could not be initialised");
}

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

} // namespace

KeyPair generateKeyPair()
{
    ready();
    KeyPair pair;
    pair.publicKey.resize(crypto_sign_PUBLICKEYBYTES);
    pair.secretKey.resize(crypto_sign_SECRETKEYBYTES);
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(pair.publicKey.data()),
        reinterpret_cast<unsigned char *>(pair.secretKey.data()));
    return pair;
}

void writeSecretKey(const QString &path, const QByteArray &secretKey)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw ReleaseError(
            "cannot create the key file " + name.toStdString() + ": " + std::strerror(errno));
    QByteArray text = secretKey.toBase64() + '\n';
    const bool written = ::fchmod(fd, 0600) == 0
        && ::write(fd, text.constData(), size_t(text.size())) == text.size();
    sodium_memzero(text.data(), size_t(text.size()));
    ::close(fd);
    if (!written) {
        QFile::remove(path);
        throw ReleaseError("cannot write the key file " + name.toStdString());
    }
}

QByteArray readSecretKey(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ReleaseError("cannot read the key file " + path.toStdString());
    const auto decoded = QByteArray::fromBase64Encoding(
        file.readAll().trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != crypto_sign_SECRETKEYBYTES)
        throw ReleaseError(
            "the key file " + path.toStdString() + " does not hold an Ed25519 secret key");
    return decoded.decoded;
}

QByteArray publicKeyOf(const QByteArray &secretKey)
{
    ready();
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, '\0');
    crypto_sign_ed25519_sk_to_pk(
        reinterpret_cast<unsigned char *>(publicKey.data()), bytes(secretKey));
    return publicKey;
}

QByteArray sign(QByteArrayView message, const QByteArray &secretKey)
{
    ready();
    if (secretKey.size() != crypto_sign_SECRETKEYBYTES)
        throw ReleaseError("not an Ed25519 secret key");
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
        reinterpret_cast<const unsigned char *>(message.data()),
        static_cast<unsigned long long>(message.size()), bytes(secretKey));
    return signature;
}

QByteArray signFile(const QString &path, const QByteArray &secretKey)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ReleaseError("cannot read " + path.toStdString());
    if (file.size() == 0)
        return sign(QByteArrayView(), secretKey);
    uchar *mapped = file.map(0, file.size());
    if (!mapped)
        throw ReleaseError("cannot map " + path.toStdString());
    QByteArray signature
        = sign(QByteArrayView(reinterpret_cast<const char *>(mapped), file.size()), secretKey);
    file.unmap(mapped);
    return signature;
}

QString signFeed(const QString &feedPath, const QByteArray &secretKey)
{
    const QString signaturePath = feedPath + QStringLiteral(".sig");
    QFile out(signaturePath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw ReleaseError("cannot write " + signaturePath.toStdString());
    out.write(signFile(feedPath, secretKey).toBase64() + '\n');
    return signaturePath;
}

QString feedItem(const FeedItem &item)
{
    QString xml;
    xml += QStringLiteral("    <item>\n");
    xml += QStringLiteral("      <title>%1</title>\n").arg(escaped(item.title));
    xml += QStringLiteral("      <sparkle:version>%1</sparkle:version>\n")
               .arg(escaped(item.version));
    if (!item.shortVersion.isEmpty())
        xml += QStringLiteral("      <sparkle:shortVersionString>%1</sparkle:shortVersionString>\n")
                   .arg(escaped(item.shortVersion));
    if (!item.minimumSystemVersion.isEmpty())
        xml += QStringLiteral(
            "      <sparkle:minimumSystemVersion>%1</sparkle:minimumSystemVersion>\n")
                   .arg(escaped(item.minimumSystemVersion));
    if (item.critical)
        xml += QStringLiteral("      <sparkle:criticalUpdate/>\n");
    if (!item.releaseNotesLink.isEmpty())
        xml += QStringLiteral("      <sparkle:releaseNotesLink>%1</sparkle:releaseNotesLink>\n")
                   .arg(escaped(item.releaseNotesLink));
    if (!item.releaseNotes.isEmpty())
        xml += QStringLiteral("      <description>%1</description>\n")
                   .arg(escaped(item.releaseNotes));
    xml += QStringLiteral("      <enclosure url=\"%1\" length=\"%2\" type=\"application/gzip\" "
                          "sparkle:edSignature=\"%3\"/>\n")
               .arg(escaped(item.url))
               .arg(item.length)
               .arg(QString::fromLatin1(item.edSignature));
    xml += QStringLiteral("    </item>\n");
    return xml;
}

QString feed(const QString &title, const QStringList &items)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                          "<rss version=\"2.0\" "
                          "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
                          "  <channel>\n"
                          "    <title>%1</title>\n")
               .arg(escaped(title))
        + items.join(QString()) + QStringLiteral("  </channel>\n</rss>\n");
}

} // namespace ReleaseSigning
