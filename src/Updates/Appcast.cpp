#include "Appcast.h"

#include "UpdateError.h"

#include <QXmlStreamReader>

namespace {

bool isSparkle(const QXmlStreamReader &xml, QStringView name)
{
    return xml.namespaceUri() == Appcast::sparkleNamespace && xml.name() == name;
}

QString sparkleAttribute(const QXmlStreamAttributes &attributes, QStringView name)
{
    return attributes.value(Appcast::sparkleNamespace.toString(), name.toString())
        .toString()
        .trimmed();
}

void readEnclosure(const QXmlStreamAttributes &attributes, AppcastItem &item)
{
    item.url
        = QUrl(attributes.value(QLatin1StringView("url")).toString().trimmed(), QUrl::StrictMode);
    bool numeric = false;
    const qint64 length
        = attributes.value(QLatin1StringView("length")).toString().trimmed().toLongLong(&numeric);
    item.length = numeric && length >= 0 ? length : -1;
    item.edSignature = sparkleAttribute(attributes, u"edSignature").toLatin1();
    if (const QString version = sparkleAttribute(attributes, u"version"); !version.isEmpty())
        item.version = version;
    if (const QString shortVersion = sparkleAttribute(attributes, u"shortVersionString");
        !shortVersion.isEmpty())
        item.shortVersion = shortVersion;
}

// Reads from just after <item> to its end tag.
AppcastItem readItem(QXmlStreamReader &xml)
{
    AppcastItem item;
    int depth = 1;
    while (depth > 0 && !xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::EndElement) {
            --depth;
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        ++depth;
        if (xml.name() == u"enclosure" && xml.namespaceUri().isEmpty()) {
            readEnclosure(xml.attributes(), item);
        } else if (isSparkle(xml, u"criticalUpdate")) {
            item.critical = true;
        } else if (xml.namespaceUri().isEmpty()
            && (xml.name() == u"title" || xml.name() == u"description")) {
            const bool title = xml.name() == u"title";
            const QString text
                = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
            --depth;
            (title ? item.title : item.releaseNotes) = text;
        } else if (isSparkle(xml, u"version") || isSparkle(xml, u"shortVersionString")
            || isSparkle(xml, u"releaseNotesLink") || isSparkle(xml, u"minimumSystemVersion")) {
            const QString name = xml.name().toString();
            const QString text
                = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
            --depth;
            if (name == u"version")
                item.version = text;
            else if (name == u"shortVersionString")
                item.shortVersion = text;
            else if (name == u"releaseNotesLink")
                item.releaseNotesLink = QUrl(text, QUrl::StrictMode);
            else
                item.minimumSystemVersion = text;
        }
    }
    return item;
}

} // namespace

QString AppcastItem::displayVersion() const
{
    if (shortVersion.isEmpty() || shortVersion == version)
        return version;
    return shortVersion + QStringLiteral(" (") + version + QLatin1Char(')');
}

QList<AppcastItem> Appcast::parse(const QByteArray &bytes)
{
    QXmlStreamReader xml(bytes);
    QList<AppcastItem> items;
    bool sawRss = false;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (!sawRss) {
            if (xml.name() != u"rss")
                throw UpdateError(QStringLiteral("The update feed is not an RSS document."));
            sawRss = true;
            continue;
        }
        if (xml.name() != u"item" || !xml.namespaceUri().isEmpty())
            continue;
        AppcastItem item = readItem(xml);
        if (!item.version.isEmpty() && item.url.isValid() && item.length >= 0)
            items.append(item);
    }
    if (xml.hasError())
        throw UpdateError(QStringLiteral("The update feed is not well-formed XML (line %1: %2).")
                              .arg(xml.lineNumber())
                              .arg(xml.errorString()));
    if (!sawRss)
        throw UpdateError(QStringLiteral("The update feed is not an RSS document."));
    return items;
}
