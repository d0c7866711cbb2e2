#pragma once

// The transport under PackAPI, for the calls that sit beside it (the history):
// the same token rule, redirects, deadline, status check and error texts.

#include "PackAPI.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>

#include <optional>

// One request and its redirects; the body of a 2xx answer. Throws TransportError
// or PackAPIError as PackAPI's own operations do.
QCoro::Task<QByteArray> serviceExchange(
    PackAPI api, QByteArray method, QString path, std::optional<QByteArray> body);
