#include "PackAnswer.h"

#include "Envelopes.h"
#include "TaviError.h"

#include <simdjson.h>

#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace PackAnswer {

namespace {

// The first member named `key` of an object: where its value starts and ends.
struct Member
{
    std::string_view key;
    const unsigned char *begin = nullptr;
    const unsigned char *end = nullptr;
};

// A JSON grammar check (RFC 8259) that writes nothing. A fresh process pays for
// every page it touches for the first time, and a parser's tape and strings
// would touch more pages than the answer itself fills.
class Scan
{
public:
    Scan(const unsigned char *begin, const unsigned char *end)
        : m_p(begin)
        , m_end(end)
    { }

    // The whole text is one object; `pack` and the `version` inside it are found
    // on the way.
    bool document(Member &pack, Member &version)
    {
        skipSpace();
        if (!at('{') || !object(&pack, &version))
            return false;
        skipSpace();
        return m_p == m_end;
    }

private:
    // As deep as the strict reader goes.
    static constexpr int maxDepth = 1024;

    const unsigned char *m_p;
    const unsigned char *m_end;
    int m_depth = 0;

    bool at(unsigned char c) const { return m_p < m_end && *m_p == c; }

    static bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

    void skipSpace()
    {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }

    bool literal(std::string_view word)
    {
        if (static_cast<size_t>(m_end - m_p) < word.size()
            || std::memcmp(m_p, word.data(), word.size()) != 0)
            return false;
        m_p += word.size();
        return true;
    }

    bool digits()
    {
        if (m_p >= m_end || !isDigit(*m_p))
            return false;
        while (m_p < m_end && isDigit(*m_p))
            ++m_p;
        return true;
    }

    bool number()
    {
        if (at('-'))
            ++m_p;
        if (at('0'))
            ++m_p;
        else if (!digits())
            return false;
        if (at('.')) {
            ++m_p;
            if (!digits())
                return false;
        }
        if (at('e') || at('E')) {
            ++m_p;
            if (at('+') || at('-'))
                ++m_p;
            if (!digits())
                return false;
        }
        return true;
    }

    // Four hex digits after "\u"; -1 when they are not.
    int hexUnit()
    {
        if (m_end - m_p < 4)
            return -1;
        int unit = 0;
        for (int i = 0; i < 4; ++i) {
            const unsigned char c = *m_p++;
            const int digit = isDigit(c) ? c - '0'
                : c >= 'a' && c <= 'f'   ? c - 'a' + 10
                : c >= 'A' && c <= 'F'   ? c - 'A' + 10
                                         : -1;
            if (digit < 0)
                return -1;
            unit = unit * 16 + digit;
        }
        return unit;
    }

    bool escape()
    {
        if (m_p >= m_end)
            return false;
        switch (*m_p++) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            return true;
        case 'u': {
            const int unit = hexUnit();
            if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF))
                return false;
            if (unit < 0xD800 || unit > 0xDBFF)
                return true;
            // A lone surrogate has no character to stand for: only a pair does.
            if (!literal("\\u"))
                return false;
            const int low = hexUnit();
            return low >= 0xDC00 && low <= 0xDFFF;
        }
        default:
            return false;
        }
    }

    // From the opening quote to past the closing one.
    bool string()
    {
        ++m_p;
        for (;;) {
#if defined(__SSE2__)
            // Most of a pack is text: runs of plain characters go sixteen at a time.
            const __m128i quote = _mm_set1_epi8('"');
            const __m128i backslash = _mm_set1_epi8('\\');
            const __m128i lastControl = _mm_set1_epi8(0x1F);
            while (m_end - m_p >= 16) {
                const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i *>(m_p));
                const __m128i special = _mm_or_si128(
                    _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)),
                    _mm_cmpeq_epi8(_mm_max_epu8(chunk, lastControl), lastControl));
                const int mask = _mm_movemask_epi8(special);
                if (mask != 0) {
                    m_p += __builtin_ctz(static_cast<unsigned>(mask));
                    break;
                }
                m_p += 16;
            }
#endif
            if (m_p >= m_end)
                return false;
            const unsigned char c = *m_p++;
            if (c == '"')
                return true;
            if (c < 0x20 || (c == '\\' && !escape()))
                return false;
        }
    }

    bool array()
    {
        if (++m_depth > maxDepth)
            return false;
        ++m_p;
        skipSpace();
        if (!at(']')) {
            for (;;) {
                if (!value())
                    return false;
                skipSpace();
                if (!at(','))
                    break;
                ++m_p;
                skipSpace();
            }
        }
        if (!at(']'))
            return false;
        ++m_p;
        --m_depth;
        return true;
    }

    // The value of `watched`, when it is an object, is read looking for `inner`.
    bool object(Member *watched, Member *inner)
    {
        if (++m_depth > maxDepth)
            return false;
        ++m_p;
        skipSpace();
        if (!at('}')) {
            for (;;) {
                if (!at('"'))
                    return false;
                const unsigned char *keyStart = m_p + 1;
                if (!string())
                    return false;
                const std::string_view key(
                    reinterpret_cast<const char *>(keyStart), size_t(m_p - 1 - keyStart));
                skipSpace();
                if (!at(':'))
                    return false;
                ++m_p;
                skipSpace();
                const unsigned char *valueStart = m_p;
                const bool wanted = watched && !watched->begin && key == watched->key;
                const bool read = wanted && inner && at('{') ? object(inner, nullptr) : value();
                if (!read)
                    return false;
                if (wanted) {
                    watched->begin = valueStart;
                    watched->end = m_p;
                }
                skipSpace();
                if (!at(','))
                    break;
                ++m_p;
                skipSpace();
            }
        }
        if (!at('}'))
            return false;
        ++m_p;
        --m_depth;
        return true;
    }

    bool value()
    {
        if (m_p >= m_end)
            return false;
        switch (*m_p) {
        case '{':
            return object(nullptr, nullptr);
        case '[':
            return array();
        case '"':
            return string();
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        default:
            return number();
        }
    }
};

} // namespace

QByteArrayView packText(QByteArrayView answer)
{
    QByteArrayView text = answer;
    // Some servers start a body with a byte-order mark; the strict reader skips it too.
    if (text.startsWith(QByteArrayView("\xEF\xBB\xBF")))
        text = text.sliced(3);
    const auto *begin = reinterpret_cast<const unsigned char *>(text.data());
    Member pack {"pack"};
    Member version {"version"};
    if (simdjson::validate_utf8(text.data(), static_cast<size_t>(text.size()))
        && Scan(begin, begin + text.size()).document(pack, version) && pack.begin
        && *pack.begin == '{' && version.begin && *version.begin == '"')
        return QByteArrayView(pack.begin, pack.end - pack.begin);
    // Refused: the strict reader says why, in the window's words. Only a
    // member name written with escapes ("p\u0061ck") gets past it and not here.
    Envelopes::readCurrentPackResponse(answer.toByteArray());
    throw JsonReadError(QStringLiteral(
        "The service's answer could not be read: \"pack\" must be an object with a string "
        "\"version\""));
}

} // namespace PackAnswer
