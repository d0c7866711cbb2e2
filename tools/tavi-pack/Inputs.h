#pragma once

#include "CapabilityPack.h"

#include <QByteArray>
#include <QString>

#include <optional>

// What tavi-pack reads from the machine: pack files, test sets, the token.
// Every failure is a CommandLine::CliError whose one sentence names the file.
namespace Inputs {

// The bytes of FILE, or of standard input for "-" (read only then).
QByteArray readFile(const QString &name);

// A pack file through the strict reader. A file that cannot be read or does not
// read as a pack fails with the lint line "FILE: path: message" and `exitCode`.
CapabilityPack readPack(const QString &name, int exitCode);

// The lint line(s) for one file; empty when it reads as a pack.
QString lint(const QString &name);

// The operator token: from `tokenFile` when given (refused when others may read
// it), else from TAVI_OPERATOR_TOKEN, else empty (no token is sent).
QString operatorToken(const std::optional<QString> &tokenFile);

} // namespace Inputs
