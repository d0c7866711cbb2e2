#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

// A test set: traveller messages that a review run previews under the draft
// and under live. Its file is JSON, {"messages": ["...", ...]}; it never holds
// the operator token or anything else of the operator's settings.
namespace TestSet {

// Throws TaviError with a sentence naming the file and the cause.
QStringList fromJson(QByteArrayView json, const QString &fileNameForErrors);
QByteArray toJson(const QStringList &messages);

// Where the set for one service lives: one file per base URL (user info and
// any trailing slash ignored), under $XDG_DATA_HOME/vuzev-tavi/test-sets/.
QString storePath(const QUrl &serviceBase);

struct Loaded
{
    QStringList messages;
    // Set when the file could not be read and was moved aside: the sentence the
    // operator reads, naming where the old file now is.
    std::optional<QString> notice;
    bool existed = false;
};

// Blocking file work: call from a worker thread, not the user-interface thread.
Loaded load(const QString &path);
// Written atomically (temporary file, then rename). Throws TaviError.
void save(const QString &path, const QStringList &messages);

} // namespace TestSet
