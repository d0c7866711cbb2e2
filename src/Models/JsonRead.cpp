#include "JsonRead.h"

#include "JsonText.h"

#include <QScopeGuard>

#include <cstring>
#include <exception>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace JsonRead {

namespace {

// Where a value sits, built up on the stack while reading and turned into text
// only when something fails: a large pack has tens of thousands of members and
// reading must not pay for naming each of them.
struct Where
{
    const Where *parent = nullptr;
    std::string_view key; // a member of the parent object
    qsizetype index = -1; // or an element of the parent array
    const QString *base = nullptr; // or the path the caller gave
    const Document *document = nullptr; // with the base, when the caller gave it

    Where member(std::string_view k) const { return {this, k, -1, nullptr, nullptr}; }
    Where element(qsizetype i) const { return {this, {}, i, nullptr, nullptr}; }

    const Where &root() const { return parent ? parent->root() : *this; }

    // The way from the document's root to this value, for going back to its text.
    void steps(std::vector<JsonText::Step> &out) const
    {
        if (parent)
            parent->steps(out);
        if (!key.empty())
            out.emplace_back(std::string(key));
        else if (index >= 0)
            out.emplace_back(index);
        else if (base && !base->isEmpty())
            for (const QString &name : base->split(QLatin1Char('.')))
                out.emplace_back(name.toStdString());
    }

    QString text() const
    {
        QString result = parent ? parent->text() : (base ? *base : QString());
        if (!key.empty()) {
            if (!result.isEmpty())
                result += QLatin1Char('.');
            result += QLatin1String(key.data(), static_cast<qsizetype>(key.size()));
        } else if (index >= 0) {
            result += QLatin1Char('[') + QString::number(index) + QLatin1Char(']');
        }
        return result;
    }
};

// simdjson has already refused invalid UTF-8, lone surrogate escapes and raw
// control characters, so decoding here needs no checks and never substitutes
// anything. Pack texts are mostly ASCII and a large pack has a hundred thousand
// of them: sixteen bytes at a time are widened straight into the string's
// buffer, and a run that meets a multi-byte character keeps the part before it,
// so one accented letter costs one scalar step rather than sixteen. That is what
// keeps reading close to the parser's own speed.
// `out` must have room for utf8.size() + outSlack units: whole blocks are stored
// and the part past the text is overwritten later (UTF-16 never needs more units
// than UTF-8 has bytes). Returns how many units the text took.
constexpr qsizetype outSlack = 16;

// One character of two to four bytes at in[i], written at out[o].
inline void decodeMultiByte(const unsigned char *in, qsizetype &i, char16_t *out, qsizetype &o)
{
    const char32_t c = in[i];
    if (c < 0xe0) {
        out[o++] = static_cast<char16_t>(((c & 0x1f) << 6) | (in[i + 1] & 0x3f));
        i += 2;
    } else if (c < 0xf0) {
        out[o++] = static_cast<char16_t>(
            ((c & 0x0f) << 12) | ((in[i + 1] & 0x3f) << 6) | (in[i + 2] & 0x3f));
        i += 3;
    } else {
        const char32_t cp = (((c & 0x07) << 18) | ((in[i + 1] & 0x3fu) << 12)
                                | ((in[i + 2] & 0x3fu) << 6) | (in[i + 3] & 0x3fu))
            - 0x10000;
        out[o++] = static_cast<char16_t>(0xd800 + (cp >> 10));
        out[o++] = static_cast<char16_t>(0xdc00 + (cp & 0x3ff));
        i += 4;
    }
}

// The ASCII bytes before the next multi-byte character or the end, scalar.
// Returns whether the text has ended.
inline bool asciiTail(
    const unsigned char *in, qsizetype n, qsizetype &i, char16_t *out, qsizetype &o)
{
    while (i < n && in[i] < 0x80)
        out[o++] = in[i++];
    return i >= n;
}

#if defined(__SSE2__)
// Eight bytes: a text's end may be its buffer's, so nothing past it is read, and
// a wide load of bytes just copied to the stack would stall on the copy.
// Returns the length of the ASCII run, 8 when all are ASCII.
inline int widenEight(const unsigned char *in, char16_t *out)
{
    quint64 word;
    std::memcpy(&word, in, 8);
    const __m128i bytes = _mm_cvtsi64_si128(static_cast<long long>(word));
    _mm_storeu_si128(
        reinterpret_cast<__m128i *>(out), _mm_unpacklo_epi8(bytes, _mm_setzero_si128()));
    const quint64 nonAscii = word & 0x8080808080808080u;
    return nonAscii == 0 ? 8 : __builtin_ctzll(nonAscii) / 8;
}

qsizetype decodeSse2(std::string_view utf8, char16_t *out)
{
    const auto n = static_cast<qsizetype>(utf8.size());
    const auto *in = reinterpret_cast<const unsigned char *>(utf8.data());
    const __m128i zero = _mm_setzero_si128();
    qsizetype i = 0;
    qsizetype o = 0;
    for (;;) {
        int run = -1; // the ASCII run before a multi-byte character, when one was met
        while (i + 16 <= n) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + o), _mm_unpacklo_epi8(bytes, zero));
            _mm_storeu_si128(
                reinterpret_cast<__m128i *>(out + o + 8), _mm_unpackhi_epi8(bytes, zero));
            const auto nonAscii = static_cast<unsigned>(_mm_movemask_epi8(bytes));
            if (nonAscii != 0) {
                run = __builtin_ctz(nonAscii);
                break;
            }
            i += 16;
            o += 16;
        }
        if (run < 0 && i + 8 <= n) {
            run = widenEight(in + i, out + o);
            if (run == 8) {
                i += 8;
                o += 8;
                run = -1;
            }
        }
        if (run >= 0) {
            i += run;
            o += run;
        } else if (asciiTail(in, n, i, out, o)) {
            return o;
        }
        decodeMultiByte(in, i, out, o);
    }
}

#else
qsizetype decodeScalar(std::string_view utf8, char16_t *out)
{
    const auto n = static_cast<qsizetype>(utf8.size());
    const auto *in = reinterpret_cast<const unsigned char *>(utf8.data());
    qsizetype i = 0;
    qsizetype o = 0;
    while (!asciiTail(in, n, i, out, o))
        decodeMultiByte(in, i, out, o);
    return o;
}
#endif

qsizetype decodeValidUtf8(std::string_view utf8, char16_t *out)
{
#if defined(__SSE2__)
    return decodeSse2(utf8, out);
#else
    return decodeScalar(utf8, out);
#endif
}

QString fromValidUtf8(std::string_view utf8)
{
    QString result(static_cast<qsizetype>(utf8.size()) + outSlack, Qt::Uninitialized);
    result.truncate(decodeValidUtf8(utf8, reinterpret_cast<char16_t *>(result.data())));
    return result;
}

// A large pack holds a hundred thousand texts. Allocating and later freeing each
// one on its own costs more than parsing the whole document, so while a pack is
// read its short texts are laid side by side in a few large blocks, and every
// QString holds a reference to its block. Each text is followed by a '\0', as
// QString promises; changing a text that shares its block detaches it first, as
// for any shared QString, and a text that alone is left in its block may grow in
// place over the dead ones. A block is freed when its last text is.
class TextArena
{
public:
    TextArena() = default;
    TextArena(const TextArena &) = delete;
    TextArena &operator=(const TextArena &) = delete;
    ~TextArena() { release(); }

    QString text(std::string_view utf8)
    {
        const auto bound = static_cast<qsizetype>(utf8.size());
        if (bound >= blockUnits / 8)
            return fromValidUtf8(utf8);
        if (!m_block || m_used + bound + outSlack > m_capacity)
            startBlock();
        char16_t *out = m_data + m_used;
        const qsizetype units = decodeValidUtf8(utf8, out);
        out[units] = u'\0';
        m_used += units + 1;
        ++m_handedOut;
        return QString(QString::DataPointer(m_block, out, units));
    }

private:
    static constexpr qsizetype blockUnits = 32 * 1024;
    using Block = QTypedArrayData<char16_t>;

    // Every text needs at least its '\0', so a block never holds more texts than
    // units. The block takes that many references at once, and gives back the
    // ones it did not hand out when it is done: one atomic operation per block
    // instead of one per text, and a text dropped while reading is still going
    // on can never free the block under the others.
    void startBlock()
    {
        release();
        const auto allocated = Block::allocate(blockUnits);
        if (!allocated.first)
            qBadAlloc();
        m_block = allocated.first;
        m_data = allocated.second;
        m_capacity = m_block->allocatedCapacity();
        m_used = 0;
        m_handedOut = 0;
        m_block->ref_.fetchAndAddRelaxed(static_cast<int>(m_capacity));
    }

    void release()
    {
        if (!m_block)
            return;
        // The arena's own reference and those it did not hand out.
        const int unused = static_cast<int>(m_capacity - m_handedOut) + 1;
        if (m_block->ref_.fetchAndSubOrdered(unused) == unused)
            Block::deallocate(m_block);
        m_block = nullptr;
    }

    Block *m_block = nullptr;
    char16_t *m_data = nullptr;
    qsizetype m_capacity = 0;
    qsizetype m_used = 0;
    qsizetype m_handedOut = 0;
};

thread_local TextArena *t_arena = nullptr;

[[noreturn]] void fail(const Where &where, const QString &problem)
{
    const QString path = where.text();
    // A value at the top of a text has no member path; the error calls it by what it is.
    throw JsonReadError((path.isEmpty() ? QStringLiteral("The document") : path) + problem, path,
        problem.trimmed());
}

[[noreturn]] void wrongType(simdjson::dom::element value, const Where &where, const char *wanted)
{
    if (value.is_null())
        fail(where, QStringLiteral(" is null"));
    fail(where, QStringLiteral(" must be ") + QLatin1String(wanted));
}

simdjson::dom::object object(simdjson::dom::element value, const Where &where)
{
    simdjson::dom::object result;
    if (value.get_object().get(result) != simdjson::SUCCESS)
        wrongType(value, where, "an object");
    return result;
}

QString text(simdjson::dom::element value, const Where &where)
{
    std::string_view utf8;
    if (value.get_string().get(utf8) != simdjson::SUCCESS)
        wrongType(value, where, "a string");
    return t_arena ? t_arena->text(utf8) : fromValidUtf8(utf8);
}

qint64 integer(simdjson::dom::element value, const Where &where)
{
    // Integer form within range is exact as parsed. A number with a fraction or
    // an exponent arrives as a double that has already rounded its digits
    // (9007199254740993.0 would read as ...992, 1.00000000000000000001 as 1), so
    // its value is decided from its own text instead.
    int64_t result = 0;
    if (value.get_int64().get(result) == simdjson::SUCCESS)
        return result;
    if (value.is_uint64())
        fail(where, QStringLiteral(" must be within the signed 64-bit integer range"));
    if (!value.is_double())
        wrongType(value, where, "an integer");
    std::vector<JsonText::Step> steps;
    where.steps(steps);
    const Document *document = where.root().document;
    const std::string_view token
        = document ? JsonText::scalarAt(document->source(), steps) : std::string_view();
    const auto exact = JsonText::integer(token);
    switch (exact.problem) {
    case JsonText::IntegerProblem::none:
        return exact.value;
    case JsonText::IntegerProblem::notIntegral:
        fail(where, QStringLiteral(" must be an integral number"));
    case JsonText::IntegerProblem::outOfRange:
        break;
    }
    fail(where, QStringLiteral(" must be within the signed 64-bit integer range"));
}

// The members of one object, found by name in the order the reader asks for
// them. Our writer and most others put members in that order, so the member
// after the last one found is nearly always the next one asked for: one key
// comparison instead of a scan from the first member, which a large pack's tens
// of thousands of records would pay for each of their members. The reader asks
// for each name at most once per object, so every member before the cursor
// has another name: a member found at the cursor is the first of its name, as
// a scan finds it, and a name not found there by the end is not in the object.
class Fields
{
public:
    explicit Fields(simdjson::dom::object object)
        : m_object(object)
        , m_next(object.begin())
        , m_end(object.end())
    { }

    bool find(std::string_view key, simdjson::dom::element &value)
    {
        if (m_next == m_end)
            return false;
        if (m_next.key_length() == key.size() && sameBytes(m_next.key_c_str(), key)) {
            value = m_next.value();
            ++m_next;
            return true;
        }
        return m_object.at_key(key).get(value) == simdjson::SUCCESS;
    }

private:
    // Member names are a few bytes long: compared in place, which costs less
    // than the call to memcmp that simdjson makes.
    static bool sameBytes(const char *written, std::string_view key)
    {
        const size_t n = key.size();
        const char *k = key.data();
        const auto load8 = [](const char *p) {
            quint64 v;
            std::memcpy(&v, p, 8);
            return v;
        };
        const auto load4 = [](const char *p) {
            quint32 v;
            std::memcpy(&v, p, 4);
            return v;
        };
        if (n >= 8) {
            for (size_t i = 0; i + 8 < n; i += 8)
                if (load8(written + i) != load8(k + i))
                    return false;
            return load8(written + n - 8) == load8(k + n - 8);
        }
        if (n >= 4)
            return load4(written) == load4(k) && load4(written + n - 4) == load4(k + n - 4);
        for (size_t i = 0; i < n; ++i)
            if (written[i] != k[i])
                return false;
        return true;
    }

    simdjson::dom::object m_object;
    simdjson::dom::object::iterator m_next;
    simdjson::dom::object::iterator m_end;
};

std::optional<simdjson::dom::element> optional(Fields &object, std::string_view key)
{
    simdjson::dom::element value;
    if (!object.find(key, value) || value.is_null())
        return std::nullopt;
    return value;
}

simdjson::dom::element required(Fields &object, std::string_view key, const Where &where)
{
    simdjson::dom::element value;
    if (!object.find(key, value))
        fail(where.member(key), QStringLiteral(" is missing"));
    if (value.is_null())
        fail(where.member(key), QStringLiteral(" is null"));
    return value;
}

QString requiredText(Fields &object, std::string_view key, const Where &where)
{
    return text(required(object, key, where), where.member(key));
}

std::optional<QString> optionalText(Fields &object, std::string_view key, const Where &where)
{
    const auto value = optional(object, key);
    if (!value)
        return std::nullopt;
    return text(*value, where.member(key));
}

template<typename T, typename ReadOne>
QList<T> list(simdjson::dom::element value, const Where &where, ReadOne readOne)
{
    simdjson::dom::array elements;
    if (value.get_array().get(elements) != simdjson::SUCCESS)
        wrongType(value, where, "an array");
    QList<T> result;
    result.reserve(static_cast<qsizetype>(elements.size()));
    qsizetype index = 0;
    for (simdjson::dom::element element : elements)
        result.append(readOne(element, where.element(index++)));
    return result;
}

QList<QString> requiredTextList(Fields &object, std::string_view key, const Where &where)
{
    return list<QString>(required(object, key, where), where.member(key), text);
}

template<typename T, typename ReadOne>
std::optional<QList<T>> optionalList(
    Fields &object, std::string_view key, const Where &where, ReadOne readOne)
{
    const auto value = optional(object, key);
    if (!value)
        return std::nullopt;
    return list<T>(*value, where.member(key), readOne);
}

using Pack = CapabilityPack;

Pack::Persona persona(simdjson::dom::element value, const Where &path)
{
    Fields o(object(value, path));
    Pack::Persona r;
    r.name = requiredText(o, "name", path);
    r.role = requiredText(o, "role", path);
    r.voice = requiredText(o, "voice", path);
    r.languages = requiredTextList(o, "languages", path);
    r.addressFallback = optionalText(o, "address_fallback", path);
    return r;
}

Pack::NLUExample nluExample(simdjson::dom::element value, const Where &path)
{
    Fields o(object(value, path));
    Pack::NLUExample r;
    r.user = requiredText(o, "user", path);
    r.intent = requiredText(o, "intent", path);
    r.notes = optionalText(o, "notes", path);
    return r;
}

Pack::NLU nlu(simdjson::dom::element value, const Where &path)
{
    Fields o(object(value, path));
    Pack::NLU r;
    r.intents = requiredTextList(o, "intents", path);
    r.schemaHint = requiredText(o, "schema_hint", path);
    r.examples = optionalList<Pack::NLUExample>(o, "examples", path, nluExample);
    return r;
}

Pack::ReplyRules replyRules(simdjson::dom::element value, const Where &path)
{
    Fields o(object(value, path));
    Pack::ReplyRules r;
    r.systemPreamble = optionalText(o, "system_preamble", path);
    r.hardRules = requiredTextList(o, "hard_rules", path);
    r.cta = requiredText(o, "cta", path);
    r.style = optionalText(o, "style", path);
    // The document carries "markdown" before "max_words"; the first failure must
    // be the one a reader going through the members in that order meets.
    r.markdown = optionalText(o, "markdown", path);
    r.maxWords = integer(required(o, "max_words", path), path.member("max_words"));
    return r;
}

Pack::ExampleTurn exampleTurn(simdjson::dom::element value, const Where &path)
{
    Fields o(object(value, path));
    Pack::ExampleTurn r;
    r.user = requiredText(o, "user", path);
    r.assistant = requiredText(o, "assistant", path);
    r.why = optionalText(o, "why", path);
    return r;
}

Pack::FewShot fewShot(simdjson::dom::element value, const Where &path)
{
    Fields o(object(value, path));
    Pack::FewShot r;
    r.good = optionalList<Pack::ExampleTurn>(o, "good", path, exampleTurn);
    r.bad = optionalList<Pack::ExampleTurn>(o, "bad", path, exampleTurn);
    return r;
}

Pack::GuardRow guardRow(simdjson::dom::element value, const Where &path)
{
    Fields o(object(value, path));
    Pack::GuardRow r;
    r.action = requiredText(o, "action", path);
    r.level = requiredText(o, "level", path);
    return r;
}

Pack::Guardrails guardrails(simdjson::dom::element value, const Where &path)
{
    Fields o(object(value, path));
    Pack::Guardrails r;
    r.confirmCopy = optionalText(o, "confirm_copy", path);
    r.matrix = list<Pack::GuardRow>(required(o, "matrix", path), path.member("matrix"), guardRow);
    r.deny = requiredTextList(o, "deny", path);
    return r;
}

Pack::Provenance provenance(simdjson::dom::element value, const Where &path)
{
    Fields o(object(value, path));
    Pack::Provenance r;
    r.author = optionalText(o, "author", path);
    r.coachModel = optionalText(o, "coach_model", path);
    r.coachInstruction = optionalText(o, "coach_instruction", path);
    r.updatedAt = optionalText(o, "updated_at", path);
    return r;
}

template<typename T, typename Read>
T requiredRecord(Fields &object, std::string_view key, const Where &where, Read read)
{
    return read(required(object, key, where), where.member(key));
}

Pack::Modules modules(simdjson::dom::element value, const Where &path)
{
    Fields o(object(value, path));
    Pack::Modules r;
    r.persona = requiredRecord<Pack::Persona>(o, "persona", path, persona);
    r.nlu = requiredRecord<Pack::NLU>(o, "nlu", path, nlu);
    r.replyRules = requiredRecord<Pack::ReplyRules>(o, "reply_rules", path, replyRules);
    r.fewShot = requiredRecord<Pack::FewShot>(o, "few_shot", path, fewShot);
    r.guardrails = requiredRecord<Pack::Guardrails>(o, "guardrails", path, guardrails);
    return r;
}

Pack pack(simdjson::dom::element value, const Where &path)
{
    Fields o(object(value, path));
    Pack r;
    r.packId = requiredText(o, "pack_id", path);
    r.version = requiredText(o, "version", path);
    r.status = requiredText(o, "status", path);
    r.parentVersion = optionalText(o, "parent_version", path);
    r.lockedInvariants = requiredTextList(o, "locked_invariants", path);
    r.modules = requiredRecord<Pack::Modules>(o, "modules", path, modules);
    if (const auto p = optional(o, "provenance"))
        r.provenance = provenance(*p, path.member("provenance"));
    return r;
}

} // namespace

QString midSentence(QString description)
{
    if (description.startsWith(QLatin1String("The ")))
        description[0] = QLatin1Char('t');
    return description;
}

QString notJson(simdjson::error_code error)
{
    return QStringLiteral("The text is not valid JSON (%1)")
        .arg(QString::fromLatin1(simdjson::error_message(error)));
}

// A parser that stays with its thread keeps its buffers. One in use (a read
// inside a read) is never shared, and an unusually large text gets a parser of
// its own that is let go afterwards, so the thread holds no such memory.
struct Document::ThreadParser
{
    simdjson::dom::parser parser;
    // simdjson reads a little past the end of the text; the text is copied here,
    // once padded, instead of into a fresh allocation on every read.
    std::vector<uint8_t> padded;
    bool inUse = false;
};

namespace {
constexpr size_t keptParserCapacity = 16 * 1024 * 1024;
}

Document::Document(QByteArrayView text)
{
    thread_local ThreadParser reusable;
    // Some servers start a body with a byte-order mark; it carries nothing.
    if (text.startsWith(QByteArrayView("\xEF\xBB\xBF")))
        text = text.sliced(3);
    const auto size = static_cast<size_t>(text.size());
    simdjson::dom::parser *parser = nullptr;
    uint8_t *padded = nullptr;
    if (reusable.inUse || size > keptParserCapacity) {
        m_ownParser = std::make_unique<simdjson::dom::parser>();
        parser = m_ownParser.get();
        m_ownText.resize(size + simdjson::SIMDJSON_PADDING);
        padded = m_ownText.data();
    } else {
        m_threadParser = &reusable;
        reusable.inUse = true;
        parser = &reusable.parser;
        if (reusable.padded.size() < size + simdjson::SIMDJSON_PADDING)
            reusable.padded.resize(size + simdjson::SIMDJSON_PADDING);
        padded = reusable.padded.data();
    }
    if (size > 0)
        std::memcpy(padded, text.data(), size);
    std::memset(padded + size, 0, simdjson::SIMDJSON_PADDING);
    m_source = std::string_view(reinterpret_cast<const char *>(padded), size);

    simdjson::error_code error = parser->parse(padded, size, false).get(m_root);
    if (error == simdjson::NUMBER_ERROR) {
        // Valid JSON may hold numbers the parser cannot: beyond 64 bits, beyond
        // the double range. Those stand in for members nobody reads, or for an
        // integer that the reader refuses from its text; parse again with them
        // replaced by something the parser holds.
        if (const auto relaxed = JsonText::withRepresentableNumbers(m_source)) {
            const simdjson::padded_string copy(*relaxed);
            if (parser->parse(copy).get(m_root) == simdjson::SUCCESS)
                error = simdjson::SUCCESS;
        }
    }
    if (error != simdjson::SUCCESS) {
        if (m_threadParser)
            m_threadParser->inUse = false;
        throw JsonReadError(notJson(error));
    }
}

Document::~Document()
{
    if (m_threadParser)
        m_threadParser->inUse = false;
}

simdjson::dom::object object(simdjson::dom::element value, const QString &path)
{
    return object(value, Where {nullptr, {}, -1, &path, nullptr});
}

std::optional<simdjson::dom::element> member(simdjson::dom::object object, const char *key)
{
    simdjson::dom::element value;
    if (object.at_key(key).get(value) != simdjson::SUCCESS || value.is_null())
        return std::nullopt;
    return value;
}

QString string(simdjson::dom::element value, const QString &path)
{
    return text(value, Where {nullptr, {}, -1, &path, nullptr});
}

QString requiredString(simdjson::dom::object object, const char *key, const QString &objectPath)
{
    Fields fields(object);
    return requiredText(fields, key, Where {nullptr, {}, -1, &objectPath, nullptr});
}

std::optional<QString> optionalString(
    simdjson::dom::object object, const char *key, const QString &objectPath)
{
    Fields fields(object);
    return optionalText(fields, key, Where {nullptr, {}, -1, &objectPath, nullptr});
}

CapabilityPack capabilityPack(
    const Document &document, simdjson::dom::element value, const QString &path)
{
    TextArena arena;
    TextArena *const outer = t_arena;
    t_arena = &arena;
    const auto restore = qScopeGuard([outer] { t_arena = outer; });
    try {
        return pack(value, Where {nullptr, {}, -1, &path, &document});
    } catch (const JsonReadError &error) {
        throw error.prefixed(QStringLiteral("Could not read the capability pack: "),
            midSentence(error.description()));
    }
}

} // namespace JsonRead
