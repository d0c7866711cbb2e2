#include "TestSet.h"

#include "JsonRead.h"
#include "TaviError.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// The service base as one key: no user info (a token must never reach a file
// name), no trailing slash, scheme and host in lower case.
QString baseKey(const QUrl &serviceBase)
{
    QUrl url = serviceBase.adjusted(QUrl::RemoveUserInfo | QUrl::RemoveFragment);
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path);
    url.setScheme(url.scheme().toLower());
    url.setHost(url.host().toLower());
    return url.toString(QUrl::FullyEncoded);
}

// Readable at a glance in a file manager ("127.0.0.1-8787"), made unique by a
// short digest of the whole key.
QString fileNameFor(const QUrl &serviceBase)
{
    const QString key = baseKey(serviceBase);
    QString readable = serviceBase.host().toLower();
    if (serviceBase.port() > 0)
        readable += QLatin1Char('-') + QString::number(serviceBase.port());
    for (QChar &c : readable) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('.') && c != QLatin1Char('-'))
            c = QLatin1Char('_');
    }
    if (readable.isEmpty())
        readable = QStringLiteral("service");
    const QByteArray digest
        = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex().left(12);
    return readable + QLatin1Char('-') + QString::fromLatin1(digest) + QStringLiteral(".json");
}

// A name beside `path` that no file has yet: "<name>.unreadable-<time>[-n].json".
QString asideName(const QString &path)
{
    const QFileInfo info(path);
    const QString stem
        = info.dir().filePath(info.completeBaseName() + QStringLiteral(".unreadable-")
            + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    QString candidate = stem + QStringLiteral(".json");
    for (int n = 2; QFileInfo::exists(candidate); ++n)
        candidate = stem + QLatin1Char('-') + QString::number(n) + QStringLiteral(".json");
    return candidate;
}

} // namespace

namespace TestSet {

QStringList fromJson(QByteArrayView json, const QString &fileNameForErrors)
{
    const auto fail = [&](const QString &cause) {
        return TaviError(
            QStringLiteral("The test set %1 cannot be read: %2.").arg(fileNameForErrors, cause));
    };
    std::optional<JsonRead::Document> document;
    try {
        document.emplace(json);
    } catch (const JsonReadError &error) {
        QString cause = JsonRead::midSentence(error.description());
        if (cause.endsWith(QLatin1Char('.')))
            cause.chop(1);
        throw fail(cause);
    }
    simdjson::dom::object root;
    if (document->root().get_object().get(root) != simdjson::SUCCESS)
        throw fail(QStringLiteral("it is not a JSON object"));
    simdjson::dom::array messages;
    if (root.at_key("messages").get_array().get(messages) != simdjson::SUCCESS)
        throw fail(QStringLiteral("it has no \"messages\" list"));
    QStringList out;
    out.reserve(static_cast<qsizetype>(messages.size()));
    for (simdjson::dom::element element : messages) {
        std::string_view text;
        if (element.get_string().get(text) != simdjson::SUCCESS)
            throw fail(QStringLiteral("message %1 is not a text").arg(out.size() + 1));
        out.append(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    }
    return out;
}

QByteArray toJson(const QStringList &messages)
{
    return QJsonDocument(
        QJsonObject {{QStringLiteral("messages"), QJsonArray::fromStringList(messages)}})
        .toJson(QJsonDocument::Indented);
}

QString storePath(const QUrl &serviceBase)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir(data).filePath(QStringLiteral("vuzev-tavi/test-sets/") + fileNameFor(serviceBase));
}

Loaded load(const QString &path)
{
    Loaded loaded;
    QFile file(path);
    if (!file.exists())
        return loaded;
    loaded.existed = true;
    QString cause;
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        file.close();
        try {
            loaded.messages = fromJson(bytes, QFileInfo(path).fileName());
            return loaded;
        } catch (const TaviError &error) {
            cause = error.description();
        }
    } else {
        cause = QStringLiteral("The test set %1 cannot be opened: %2.")
                    .arg(QFileInfo(path).fileName(), file.errorString());
    }
    // Never written over: the operator may want what is in it.
    const QString aside = asideName(path);
    if (QFile::rename(path, aside))
        loaded.notice
            = cause + QStringLiteral(" It was moved to %1; the set starts empty.").arg(aside);
    else
        loaded.notice = cause
            + QStringLiteral(" It could not be moved aside either, so it is left as it is.");
    return loaded;
}

void save(const QString &path, const QStringList &messages)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        throw TaviError(
            QStringLiteral("The test set cannot be saved: the folder %1 cannot be made.")
                .arg(info.absolutePath()));
    QSaveFile file(path);
    const QByteArray bytes = toJson(messages);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw TaviError(QStringLiteral("The test set cannot be saved to %1: %2.")
                            .arg(path, file.errorString()));
}

} // namespace TestSet
