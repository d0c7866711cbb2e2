#pragma once

#include "Cancellation.h"
#include "CapabilityPack.h"

#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <chrono>
#include <optional>

// Client of the pack service. A value formed anew for every operation; it holds
// no state between calls. Every call runs on the calling thread's event loop and
// never blocks it.
//
// Errors (all TaviError): PackAPIError for a status outside 200–299,
// TransportError for the network, JsonReadError for an answer that does not read.
struct PackAPI
{
    QUrl baseURL;
    QString operatorToken;

    // TAVI_API_BASE when it parses as a URL, else the built-in default.
    static QUrl defaultBase();
    // The one rule for "parses as a URL", shared by defaultBase() (for
    // TAVI_API_BASE) and the workspace (for its base field): the text verbatim,
    // nullopt when it does not parse (the empty text included).
    static std::optional<QUrl> parseBaseURL(const QString &text);

    QCoro::Task<CapabilityPack> current() const;
    // The same request as current(), with the same failures up to the status
    // check, and the answer's body as the service sent it, not read: for a
    // caller that keeps the service's own bytes.
    QCoro::Task<QByteArray> currentAnswer() const;
    QCoro::Task<CapabilityPack> coach(QString instruction, CapabilityPack pack) const;
    // The reply text, empty when the answer carries none.
    QCoro::Task<QString> preview(QString message, CapabilityPack pack) const;
    // The same, stopped when `cancellation` is cancelled: the request is aborted
    // and the task fails with a TransportError saying so.
    QCoro::Task<QString> preview(
        QString message, CapabilityPack pack, CancellationHandle cancellation) const;
    // A pack written once for many requests: a review run sends the same two
    // packs with every message, and writing a 5 MB pack costs far more than
    // sending it. Written on a pool thread; fails as a request carrying the
    // pack would (JsonReadError for a text that JSON cannot carry).
    struct PreparedPack
    {
        QByteArray json;
    };
    static QCoro::Task<PreparedPack> prepare(CapabilityPack pack);
    // The same request as preview(message, pack), byte for byte.
    QCoro::Task<QString> preview(
        QString message, PreparedPack pack, CancellationHandle cancellation) const;
    QCoro::Task<CapabilityPack> publish(CapabilityPack pack) const;
    QCoro::Task<CapabilityPack> rollback() const;

    // The base joined with an endpoint path: slashes trimmed from both ends of the
    // base, the path appended as given.
    QUrl apiURL(const QString &path) const;

    // Transfer time-out of every request; 60 s unless a test shortens it.
    static std::chrono::milliseconds requestTimeout();
    static void setRequestTimeoutForTesting(std::chrono::milliseconds timeout);
};
