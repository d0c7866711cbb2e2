#pragma once

#include "TaviError.h"

// The pack service client's own error.
class PackAPIError : public TaviError
{
public:
    enum class Kind { http, decode };

    // The service answered with a status outside 200–299. `body` is the answer
    // decoded as UTF-8, or empty when it is not valid UTF-8.
    static PackAPIError http(int status, const QString &body);
    // A pack did not turn into a JSON object for a request body.
    static PackAPIError decode();

    Kind kind() const { return m_kind; }
    int status() const { return m_status; }
    const QString &body() const { return m_body; }

private:
    PackAPIError(Kind kind, int status, QString body, QString description);

    Kind m_kind;
    int m_status;
    QString m_body;
};

// The HTTP layer failed (refused, timed out, TLS, cancelled): the text is the
// network layer's own account of it, never the token.
class TransportError : public TaviError
{
public:
    using TaviError::TaviError;
};
