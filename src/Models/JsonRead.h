#pragma once

// Strict reading of JSON text with simdjson: numbers keep their exact type,
// malformed UTF-8 and lone surrogates are refused. Shared by the pack and by
// the service envelopes so that every reading error reads alike.

#include "CapabilityPack.h"
#include "TaviError.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <simdjson.h>

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace JsonRead {

// What an array needs allocated past its text for Document to read it in place.
inline constexpr qsizetype roomPastText = qsizetype(simdjson::SIMDJSON_PADDING);

// One parsed JSON text. Throws JsonReadError when the text is not JSON.
// Any valid JSON parses, including numbers that no double or 64-bit integer
// holds; such a number reads as a stand-in fraction in the tree, and a reader
// that needs its value decides it from source(). A leading UTF-8 byte-order mark
// is skipped. Parsing uses a parser kept by the thread when it is free, so that
// reading a large answer does not first allocate and touch tens of megabytes
// each time.
class Document
{
public:
    explicit Document(QByteArrayView text);
    // The same, read where it lies when the array's own allocation reaches far
    // enough past its end for the parser's look-ahead (an HTTP body or our own
    // writer's output usually does), saving a copy of the whole text. The
    // document then holds a reference to the array.
    explicit Document(const QByteArray &text);
    ~Document();
    Document(const Document &) = delete;
    Document &operator=(const Document &) = delete;

    simdjson::dom::element root() const { return m_root; }
    // The text as parsed, held by the document.
    std::string_view source() const { return m_source; }
    // The parsed tree itself, for readers that walk it directly.
    const simdjson::dom::document &tree() const { return *m_tree; }

private:
    struct ThreadParser;
    void parse(QByteArrayView text, bool inPlace);

    ThreadParser *m_threadParser = nullptr; // the thread's, while this document holds it
    std::unique_ptr<simdjson::dom::parser> m_ownParser; // otherwise
    std::vector<uint8_t> m_ownText;
    QByteArray m_heldText; // the caller's, when read in place
    std::string_view m_source;
    const simdjson::dom::document *m_tree = nullptr;
    simdjson::dom::element m_root;
};

// `path` names the value in error texts, e.g. "pack" or "reply.text".
// Each throws JsonReadError when the value breaks the rule.
simdjson::dom::object object(simdjson::dom::element value, const QString &path);
// Missing member or null → nullopt.
std::optional<simdjson::dom::element> member(simdjson::dom::object object, const char *key);
QString string(simdjson::dom::element value, const QString &path);
// Required / optional string members.
QString requiredString(simdjson::dom::object object, const char *key, const QString &objectPath);
std::optional<QString> optionalString(
    simdjson::dom::object object, const char *key, const QString &objectPath);

// The description of a text that simdjson refused.
QString notJson(simdjson::error_code error);

// An error description made to follow a prefix such as "Could not read ...: ".
QString midSentence(QString description);

// Reads a pack from a value of `document`, e.g. the "pack" member of an envelope.
// `path` is where the value sits: the member names from the root joined by dots,
// empty for the root itself.
CapabilityPack capabilityPack(
    const Document &document, simdjson::dom::element value, const QString &path);

} // namespace JsonRead
