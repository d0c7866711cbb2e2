#include "JsonRead.h"

#include "JsonText.h"

#include <bit>
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

#if defined(__SSE2__)
// Every text decoded here lies in simdjson's string buffer, which keeps at least
// SIMDJSON_PADDING allocated bytes past the end of its last string: a whole
// block is loaded even where the text ends inside it, and the bytes past the
// end are masked off. Short texts then cost one step with no scalar tail.
qsizetype decodeSse2(std::string_view utf8, char16_t *out)
{
    static_assert(simdjson::SIMDJSON_PADDING >= 16);
    const auto n = static_cast<qsizetype>(utf8.size());
    const auto *in = reinterpret_cast<const unsigned char *>(utf8.data());
    const __m128i zero = _mm_setzero_si128();
    qsizetype i = 0;
    qsizetype o = 0;
    while (i < n) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + o), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + o + 8), _mm_unpackhi_epi8(bytes, zero));
        auto nonAscii = static_cast<unsigned>(_mm_movemask_epi8(bytes));
        const qsizetype left = n - i;
        if (left < 16)
            nonAscii &= (1u << left) - 1u;
        if (nonAscii == 0) {
            const qsizetype step = left < 16 ? left : 16;
            i += step;
            o += step;
            continue;
        }
        const int run = __builtin_ctz(nonAscii);
        i += run;
        o += run;
        decodeMultiByte(in, i, out, o);
    }
    return o;
}

#else
// The ASCII bytes before the next multi-byte character or the end.
// Returns whether the text has ended.
inline bool asciiTail(
    const unsigned char *in, qsizetype n, qsizetype &i, char16_t *out, qsizetype &o)
{
    while (i < n && in[i] < 0x80)
        out[o++] = in[i++];
    return i >= n;
}

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

    [[gnu::always_inline]] QString text(std::string_view utf8)
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

[[noreturn]] void fail(const Where &where, const QString &problem)
{
    const QString path = where.text();
    // A value at the top of a text has no member path; the error calls it by what it is.
    throw JsonReadError((path.isEmpty() ? QStringLiteral("The document") : path) + problem, path,
        problem.trimmed());
}

[[noreturn]] void wrongType(bool isNull, const Where &where, const char *wanted)
{
    if (isNull)
        fail(where, QStringLiteral(" is null"));
    fail(where, QStringLiteral(" must be ") + QLatin1String(wanted));
}

simdjson::dom::object object(simdjson::dom::element value, const Where &where)
{
    simdjson::dom::object result;
    if (value.get_object().get(result) != simdjson::SUCCESS)
        wrongType(value.is_null(), where, "an object");
    return result;
}

QString text(simdjson::dom::element value, const Where &where)
{
    std::string_view utf8;
    if (value.get_string().get(utf8) != simdjson::SUCCESS)
        wrongType(value.is_null(), where, "a string");
    return fromValidUtf8(utf8);
}

// The parsed tree as simdjson lays it out: one 64-bit word per value (two for a
// number), its kind in the top byte; an array or object word holds the position
// just past its closing word and, above that, how many elements it has; a string
// word holds where its length and bytes sit in the string buffer. A large pack
// is a hundred thousand values, and going through the words directly costs a
// fraction of what simdjson's element, iterator and key lookup wrappers do per
// member (each of them goes back through the document for every word).
// A position is an index into the words; 0 is the tape's own first word, never
// a value, and stands for "absent".
static_assert(simdjson::SIMDJSON_VERSION_MAJOR == 3,
    "the tape layout and the element layout read here are those of simdjson 3");
class Tape
{
public:
    explicit Tape(const simdjson::dom::document &tree)
        : m_words(tree.tape.get())
        , m_strings(tree.string_buf.get())
    { }

    char kind(size_t at) const { return static_cast<char>(m_words[at] >> 56); }
    // Past the value at `at`: past its closing word, or its number's second word.
    size_t after(size_t at) const
    {
        switch (kind(at)) {
        case '{':
        case '[':
            return static_cast<uint32_t>(m_words[at]);
        case 'l':
        case 'u':
        case 'd':
            return at + 2;
        default:
            return at + 1;
        }
    }
    // The closing word of the array or object at `at`.
    size_t close(size_t at) const { return static_cast<uint32_t>(m_words[at]) - 1; }
    // How many elements the array at `at` has; saturates for huge arrays.
    size_t count(size_t at) const
    {
        return static_cast<size_t>((m_words[at] >> 32) & simdjson::internal::JSON_COUNT_MASK);
    }
    std::string_view string(size_t at) const
    {
        const uint8_t *p = m_strings + (m_words[at] & simdjson::internal::JSON_VALUE_MASK);
        uint32_t length;
        std::memcpy(&length, p, sizeof length);
        return {reinterpret_cast<const char *>(p + sizeof length), length};
    }
    uint64_t numberBits(size_t at) const { return m_words[at + 1]; }

private:
    const uint64_t *m_words;
    const uint8_t *m_strings;
};

// Member names are a few bytes long: compared in place, which costs less than a
// call to memcmp.
[[gnu::always_inline]] inline bool sameBytes(const char *written, std::string_view key)
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

// Reads one pack from the tape of its document, decoding its texts into an
// arena of its own.
class PackReader
{
public:
    explicit PackReader(const simdjson::dom::document &tree)
        : m_tape(tree)
    { }

    void pack(CapabilityPack &r, size_t at, const Where &path);

private:
    using Pack = CapabilityPack;

    // The members of one object, found by name in the order the reader asks for
    // them. Our writer and most others put members in that order, so the member
    // after the last one found is nearly always the next one asked for: one key
    // comparison instead of a scan from the first member, which a large pack's
    // tens of thousands of records would pay for each of their members. The
    // reader asks for each name at most once per object, so every member before
    // the cursor has another name: a member found at the cursor is the first of
    // its name, as a scan finds it, and a name not found there by the end is not
    // in the object.
    class Fields
    {
    public:
        Fields(const Tape &tape, size_t object)
            : m_tape(tape)
            , m_first(object + 1)
            , m_next(object + 1)
            , m_end(tape.close(object))
        { }

        // The position of the member's value, 0 when there is none.
        [[gnu::always_inline]] size_t find(std::string_view key)
        {
            if (m_next == m_end)
                return 0;
            if (named(m_next, key)) {
                const size_t value = m_next + 1;
                m_next = m_tape.after(value);
                return value;
            }
            for (size_t k = m_first; k < m_end; k = m_tape.after(k + 1))
                if (named(k, key))
                    return k + 1;
            return 0;
        }

    private:
        [[gnu::always_inline]] bool named(size_t at, std::string_view key) const
        {
            const std::string_view name = m_tape.string(at);
            return name.size() == key.size() && sameBytes(name.data(), key);
        }

        const Tape &m_tape;
        size_t m_first;
        size_t m_next;
        size_t m_end;
    };

    Fields object(size_t at, const Where &where) const
    {
        if (m_tape.kind(at) != '{')
            wrongType(m_tape.kind(at) == 'n', where, "an object");
        return Fields(m_tape, at);
    }

    // Missing or null → 0.
    [[gnu::always_inline]] size_t optional(Fields &object, std::string_view key) const
    {
        const size_t value = object.find(key);
        return value != 0 && m_tape.kind(value) != 'n' ? value : 0;
    }

    [[gnu::always_inline]] size_t required(
        Fields &object, std::string_view key, const Where &where) const
    {
        const size_t value = object.find(key);
        if (value == 0)
            fail(where.member(key), QStringLiteral(" is missing"));
        if (m_tape.kind(value) == 'n')
            fail(where.member(key), QStringLiteral(" is null"));
        return value;
    }

    [[gnu::always_inline]] void text(QString &out, size_t at, const Where &where)
    {
        if (m_tape.kind(at) != '"')
            wrongType(m_tape.kind(at) == 'n', where, "a string");
        out = m_arena.text(m_tape.string(at));
    }

    [[gnu::always_inline]] void requiredText(
        QString &out, Fields &object, std::string_view key, const Where &where)
    {
        text(out, required(object, key, where), where.member(key));
    }

    [[gnu::always_inline]] void optionalText(
        std::optional<QString> &out, Fields &object, std::string_view key, const Where &where)
    {
        if (const size_t value = optional(object, key))
            text(out.emplace(), value, where.member(key));
    }

    qint64 integer(size_t at, const Where &where) const;

    // `readOne(element, position, where)` fills an element made in place.
    template<typename T, typename ReadOne>
    void list(QList<T> &out, size_t at, const Where &where, ReadOne readOne)
    {
        if (m_tape.kind(at) != '[')
            wrongType(m_tape.kind(at) == 'n', where, "an array");
        // A count that saturated is no size to reserve.
        if (const size_t count = m_tape.count(at); count < simdjson::internal::JSON_COUNT_MASK)
            out.reserve(static_cast<qsizetype>(count));
        const size_t end = m_tape.close(at);
        qsizetype index = 0;
        for (size_t element = at + 1; element < end; element = m_tape.after(element))
            readOne(out.emplaceBack(), element, where.element(index++));
    }

    void requiredTextList(
        QList<QString> &out, Fields &object, std::string_view key, const Where &where)
    {
        list(out, required(object, key, where), where.member(key),
            [this](QString &s, size_t at, const Where &w) { text(s, at, w); });
    }

    template<typename T, typename ReadOne>
    void optionalList(std::optional<QList<T>> &out, Fields &object, std::string_view key,
        const Where &where, ReadOne readOne)
    {
        if (const size_t value = optional(object, key))
            list(out.emplace(), value, where.member(key), readOne);
    }

    void persona(Pack::Persona &r, size_t at, const Where &path);
    void nluExample(Pack::NLUExample &r, size_t at, const Where &path);
    void nlu(Pack::NLU &r, size_t at, const Where &path);
    void replyRules(Pack::ReplyRules &r, size_t at, const Where &path);
    void exampleTurn(Pack::ExampleTurn &r, size_t at, const Where &path);
    void fewShot(Pack::FewShot &r, size_t at, const Where &path);
    void guardRow(Pack::GuardRow &r, size_t at, const Where &path);
    void guardrails(Pack::Guardrails &r, size_t at, const Where &path);
    void provenance(Pack::Provenance &r, size_t at, const Where &path);
    void modules(Pack::Modules &r, size_t at, const Where &path);

    // A record member read by `read`, a member function of this reader.
    template<typename T>
    void requiredRecord(T &out, Fields &object, std::string_view key, const Where &where,
        void (PackReader::*read)(T &, size_t, const Where &))
    {
        (this->*read)(out, required(object, key, where), where.member(key));
    }

    Tape m_tape;
    TextArena m_arena;
};

qint64 PackReader::integer(size_t at, const Where &where) const
{
    // Integer form within range is exact as parsed. A number with a fraction or
    // an exponent arrives as a double that has already rounded its digits
    // (9007199254740993.0 would read as ...992, 1.00000000000000000001 as 1), so
    // its value is decided from its own text instead.
    switch (m_tape.kind(at)) {
    case 'l':
        return static_cast<qint64>(m_tape.numberBits(at));
    case 'u':
        // Only numbers beyond the signed range are written as unsigned.
        fail(where, QStringLiteral(" must be within the signed 64-bit integer range"));
    case 'd':
        break;
    default:
        wrongType(m_tape.kind(at) == 'n', where, "an integer");
    }
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

void PackReader::persona(Pack::Persona &r, size_t at, const Where &path)
{
    Fields o = object(at, path);
    requiredText(r.name, o, "name", path);
    requiredText(r.role, o, "role", path);
    requiredText(r.voice, o, "voice", path);
    requiredTextList(r.languages, o, "languages", path);
    optionalText(r.addressFallback, o, "address_fallback", path);
}

void PackReader::nluExample(Pack::NLUExample &r, size_t at, const Where &path)
{
    Fields o = object(at, path);
    requiredText(r.user, o, "user", path);
    requiredText(r.intent, o, "intent", path);
    optionalText(r.notes, o, "notes", path);
}

void PackReader::nlu(Pack::NLU &r, size_t at, const Where &path)
{
    Fields o = object(at, path);
    requiredTextList(r.intents, o, "intents", path);
    requiredText(r.schemaHint, o, "schema_hint", path);
    optionalList(r.examples, o, "examples", path,
        [this](Pack::NLUExample &e, size_t a, const Where &w) { nluExample(e, a, w); });
}

void PackReader::replyRules(Pack::ReplyRules &r, size_t at, const Where &path)
{
    Fields o = object(at, path);
    optionalText(r.systemPreamble, o, "system_preamble", path);
    requiredTextList(r.hardRules, o, "hard_rules", path);
    requiredText(r.cta, o, "cta", path);
    optionalText(r.style, o, "style", path);
    // The document carries "markdown" before "max_words"; the first failure must
    // be the one a reader going through the members in that order meets.
    optionalText(r.markdown, o, "markdown", path);
    r.maxWords = integer(required(o, "max_words", path), path.member("max_words"));
}

void PackReader::exampleTurn(Pack::ExampleTurn &r, size_t at, const Where &path)
{
    Fields o = object(at, path);
    requiredText(r.user, o, "user", path);
    requiredText(r.assistant, o, "assistant", path);
    optionalText(r.why, o, "why", path);
}

void PackReader::fewShot(Pack::FewShot &r, size_t at, const Where &path)
{
    Fields o = object(at, path);
    const auto turn
        = [this](Pack::ExampleTurn &t, size_t a, const Where &w) { exampleTurn(t, a, w); };
    optionalList(r.good, o, "good", path, turn);
    optionalList(r.bad, o, "bad", path, turn);
}

void PackReader::guardRow(Pack::GuardRow &r, size_t at, const Where &path)
{
    Fields o = object(at, path);
    requiredText(r.action, o, "action", path);
    requiredText(r.level, o, "level", path);
}

void PackReader::guardrails(Pack::Guardrails &r, size_t at, const Where &path)
{
    Fields o = object(at, path);
    optionalText(r.confirmCopy, o, "confirm_copy", path);
    list(r.matrix, required(o, "matrix", path), path.member("matrix"),
        [this](Pack::GuardRow &g, size_t a, const Where &w) { guardRow(g, a, w); });
    requiredTextList(r.deny, o, "deny", path);
}

void PackReader::provenance(Pack::Provenance &r, size_t at, const Where &path)
{
    Fields o = object(at, path);
    optionalText(r.author, o, "author", path);
    optionalText(r.coachModel, o, "coach_model", path);
    optionalText(r.coachInstruction, o, "coach_instruction", path);
    optionalText(r.updatedAt, o, "updated_at", path);
}

void PackReader::modules(Pack::Modules &r, size_t at, const Where &path)
{
    Fields o = object(at, path);
    requiredRecord(r.persona, o, "persona", path, &PackReader::persona);
    requiredRecord(r.nlu, o, "nlu", path, &PackReader::nlu);
    requiredRecord(r.replyRules, o, "reply_rules", path, &PackReader::replyRules);
    requiredRecord(r.fewShot, o, "few_shot", path, &PackReader::fewShot);
    requiredRecord(r.guardrails, o, "guardrails", path, &PackReader::guardrails);
}

void PackReader::pack(Pack &r, size_t at, const Where &path)
{
    Fields o = object(at, path);
    requiredText(r.packId, o, "pack_id", path);
    requiredText(r.version, o, "version", path);
    requiredText(r.status, o, "status", path);
    optionalText(r.parentVersion, o, "parent_version", path);
    requiredTextList(r.lockedInvariants, o, "locked_invariants", path);
    requiredRecord(r.modules, o, "modules", path, &PackReader::modules);
    if (const size_t p = optional(o, "provenance"))
        provenance(r.provenance.emplace(), p, path.member("provenance"));
}

// Where `value` sits in the tape of `tree`. simdjson keeps an element as exactly
// that pair, the document and the position, but hands out neither.
size_t positionOf(simdjson::dom::element value, const simdjson::dom::document &tree)
{
    struct Position
    {
        const simdjson::dom::document *tree;
        size_t index;
    };
    const auto position = std::bit_cast<Position>(value);
    if (position.tree != &tree)
        qFatal("JsonRead: a value read from another document than its own");
    return position.index;
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
    parse(text, false);
}

Document::Document(const QByteArray &text)
{
    // capacity() counts from data() to the end of the allocation, and '\0' has
    // room of its own beyond it: what lies past size() up to there is allocated,
    // which is all the parser asks of the bytes it looks ahead at.
    const bool roomy = text.capacity() - text.size() >= roomPastText;
    if (roomy)
        m_heldText = text;
    parse(text, roomy);
}

void Document::parse(QByteArrayView text, bool inPlace)
{
    thread_local ThreadParser reusable;
    // Some servers start a body with a byte-order mark; it carries nothing.
    if (text.startsWith(QByteArrayView("\xEF\xBB\xBF")))
        text = text.sliced(3);
    const auto size = static_cast<size_t>(text.size());
    simdjson::dom::parser *parser = nullptr;
    uint8_t *buffer = nullptr; // where the text goes when it is not read in place
    if (reusable.inUse || size > keptParserCapacity) {
        m_ownParser = std::make_unique<simdjson::dom::parser>();
        parser = m_ownParser.get();
        if (!inPlace) {
            m_ownText.resize(size + simdjson::SIMDJSON_PADDING);
            buffer = m_ownText.data();
        }
    } else {
        m_threadParser = &reusable;
        reusable.inUse = true;
        parser = &reusable.parser;
        if (!inPlace) {
            if (reusable.padded.size() < size + simdjson::SIMDJSON_PADDING)
                reusable.padded.resize(size + simdjson::SIMDJSON_PADDING);
            buffer = reusable.padded.data();
        }
    }
    if (buffer) {
        if (size > 0)
            std::memcpy(buffer, text.data(), size);
        std::memset(buffer + size, 0, simdjson::SIMDJSON_PADDING);
    }
    const auto *padded = buffer ? buffer : reinterpret_cast<const uint8_t *>(text.data());
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
    m_tree = &parser->doc;
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
    const Where where {nullptr, {}, -1, &objectPath, nullptr};
    simdjson::dom::element value;
    if (object.at_key(key).get(value) != simdjson::SUCCESS)
        fail(where.member(key), QStringLiteral(" is missing"));
    if (value.is_null())
        fail(where.member(key), QStringLiteral(" is null"));
    return text(value, where.member(key));
}

std::optional<QString> optionalString(
    simdjson::dom::object object, const char *key, const QString &objectPath)
{
    const auto value = member(object, key);
    if (!value)
        return std::nullopt;
    return text(*value, Where {nullptr, {}, -1, &objectPath, nullptr}.member(key));
}

CapabilityPack capabilityPack(
    const Document &document, simdjson::dom::element value, const QString &path)
{
    try {
        PackReader reader(document.tree());
        CapabilityPack pack;
        reader.pack(
            pack, positionOf(value, document.tree()), Where {nullptr, {}, -1, &path, &document});
        return pack;
    } catch (const JsonReadError &error) {
        throw error.prefixed(QStringLiteral("Could not read the capability pack: "),
            midSentence(error.description()));
    }
}

} // namespace JsonRead
