#include "PackAPIError.h"

PackAPIError::PackAPIError(Kind kind, int status, QString body, QString description)
    : TaviError(std::move(description))
    , m_kind(kind)
    , m_status(status)
    , m_body(std::move(body))
{ }

PackAPIError PackAPIError::http(int status, const QString &body)
{
    return PackAPIError(Kind::http, status, body,
        QStringLiteral("API ") + QString::number(status) + QStringLiteral(": ") + body);
}

PackAPIError PackAPIError::decode()
{
    return PackAPIError(
        Kind::decode, 0, QString(), QStringLiteral("Could not decode capability pack"));
}
