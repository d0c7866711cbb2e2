#pragma once

#include "CapabilityPack.h"

#include <QCoroTask>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <optional>

// What a draft changes against another pack (usually the live one), over the
// whole document. Equality is the pack's own: texts that differ only in their
// Unicode normalisation form are the same text and make no change.
namespace PackDiff {

// One run of a word-level diff of a long text.
struct WordRun
{
    enum class Kind { kept, inserted, deleted };
    Kind kind = Kind::kept;
    QString text;
};

struct Change
{
    enum class Kind { changed, added, removed };
    Kind kind = Kind::changed;
    // Where, for machines: the JSON path, "modules.guardrails.confirm_copy",
    // "modules.guardrails.matrix[2].level".
    QString path;
    // Where, in the operator's words: "Guardrails › Confirmation copy",
    // "Guardrails › Guard matrix › Row 3 › Level".
    QString label;
    // The value before and after as text (a list of texts one item a line);
    // absent on the side where the member or item does not exist.
    std::optional<QString> before;
    std::optional<QString> after;
    // For long texts on both sides: the word-level diff, else empty.
    QList<WordRun> words;
};

// Every difference, in document order. Cheap for small packs; a caller on the
// user-interface thread runs it through diffAsync for large ones.
QList<Change> diff(const CapabilityPack &from, const CapabilityPack &to);
// The same on a worker thread, resuming on the caller's: two 5 MB packs take
// longer than a frame.
QCoro::Task<QList<Change>> diffAsync(CapabilityPack from, CapabilityPack to);

// Markdown for a review comment or a ticket: one section a change, insertions
// and deletions marked in the text itself ({+new+} / [-old-]), not only by colour.
QString toMarkdown(const QList<Change> &changes);
// For machines: [{"path", "label", "kind", "before", "after"}], absent sides null.
QJsonArray toJson(const QList<Change> &changes);
// For a terminal: the same marks as Markdown; colours only when asked.
QString toPlainText(const QList<Change> &changes, bool colour);

} // namespace PackDiff
