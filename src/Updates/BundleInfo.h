#pragma once

#include <QString>
#include <QVariantMap>

#include <optional>

// The program's information dictionary: build-time facts (version keys, the
// update feed's configuration) under the same key names the original platform
// uses. Read through this one function so tests can give it other contents.
namespace BundleInfo {

QVariantMap infoDictionary();

// Replaces what infoDictionary() returns until reset; for tests only.
void overrideForTesting(const QVariantMap &dictionary);
void resetForTesting();

// The text under `key`, or nullopt when the key is missing or not a text.
std::optional<QString> text(const QString &key);

} // namespace BundleInfo
