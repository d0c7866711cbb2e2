#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

// One release in the feed.
struct AppcastItem
{
    QString title;
    QString version; // the build number, compared with CFBundleVersion
    QString shortVersion; // shown to the operator
    QString releaseNotes; // inline notes (HTML or plain text)
    QUrl releaseNotesLink;
    QString minimumSystemVersion;
    bool critical = false;
    QUrl url;
    qint64 length = -1;
    QByteArray edSignature; // base64, as it stands in the feed

    // "1.4 (27)", or the build number alone when there is no short version.
    QString displayVersion() const;
};

// The feed: an RSS channel whose items carry the update framework's
// namespaced elements and attributes.
namespace Appcast {

inline constexpr QStringView sparkleNamespace
    = u"http://www.andymatuschak.org/xml-namespaces/sparkle";

// The items that describe an installable release, in feed order. Items without
// a version or without a usable enclosure are left out. Throws UpdateError when
// the text is not a well-formed RSS document.
QList<AppcastItem> parse(const QByteArray &xml);

} // namespace Appcast
