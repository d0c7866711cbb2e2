#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <stdexcept>

// Keys and signatures for releases: Ed25519 (libsodium), the same scheme the
// updater checks. Keys and signatures travel as base64 text.
namespace ReleaseSigning {

class ReleaseError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct KeyPair
{
    QByteArray publicKey; // 32 bytes
    QByteArray secretKey; // 64 bytes
};

KeyPair generateKeyPair();
// Writes the secret key as base64 to a new file readable by its owner only
// (mode 0600); never overwrites an existing file.
void writeSecretKey(const QString &path, const QByteArray &secretKey);
QByteArray readSecretKey(const QString &path);
QByteArray publicKeyOf(const QByteArray &secretKey);

// The detached signature (64 raw bytes).
QByteArray sign(QByteArrayView message, const QByteArray &secretKey);
QByteArray signFile(const QString &path, const QByteArray &secretKey);
// Writes `<feed>.sig` beside the feed: the base64 signature of its exact bytes.
QString signFeed(const QString &feedPath, const QByteArray &secretKey);

struct FeedItem
{
    QString title;
    QString version; // the build number
    QString shortVersion;
    QString releaseNotes; // HTML, goes into <description>
    QString releaseNotesLink;
    QString minimumSystemVersion;
    bool critical = false;
    QString url;
    qint64 length = 0;
    QByteArray edSignature; // base64
};

// One <item> of the feed.
QString feedItem(const FeedItem &item);
// The whole feed around the given items.
QString feed(const QString &title, const QStringList &items);

} // namespace ReleaseSigning
