#include "JsonText.h"

#include <simdjson.h>

#include <charconv>
#include <limits>

namespace JsonText {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isNumberChar(char c)
{
    return isDigit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The parts of a number token that passed isNumber.
struct Parts
{
    bool negative = false;
    std::string_view whole; // digits before the point
    std::string_view fraction; // digits after it
    bool exponentNegative = false;
    std::string_view exponent; // digits of the exponent
};

std::optional<Parts> split(std::string_view t)
{
    Parts p;
    size_t i = 0;
    const auto digits = [&] {
        const size_t start = i;
        while (i < t.size() && isDigit(t[i]))
            ++i;
        return t.substr(start, i - start);
    };
    if (i < t.size() && t[i] == '-') {
        p.negative = true;
        ++i;
    }
    p.whole = digits();
    if (p.whole.empty() || (p.whole.size() > 1 && p.whole[0] == '0'))
        return std::nullopt;
    if (i < t.size() && t[i] == '.') {
        ++i;
        p.fraction = digits();
        if (p.fraction.empty())
            return std::nullopt;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-'))
            p.exponentNegative = t[i++] == '-';
        p.exponent = digits();
        if (p.exponent.empty())
            return std::nullopt;
    }
    if (i != t.size())
        return std::nullopt;
    return p;
}

size_t skipString(std::string_view text, size_t i) // i at the opening quote
{
    for (++i; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return i + 1;
    }
    return text.size();
}

size_t skipBlanks(std::string_view text, size_t i)
{
    while (i < text.size() && isBlank(text[i]))
        ++i;
    return i;
}

size_t skipValue(std::string_view text, size_t i)
{
    if (i >= text.size())
        return i;
    if (text[i] == '"')
        return skipString(text, i);
    if (text[i] == '{' || text[i] == '[') {
        int depth = 0;
        while (i < text.size()) {
            const char c = text[i];
            if (c == '"') {
                i = skipString(text, i);
                continue;
            }
            if (c == '{' || c == '[')
                ++depth;
            else if ((c == '}' || c == ']') && --depth == 0)
                return i + 1;
            ++i;
        }
        return i;
    }
    while (
        i < text.size() && !isBlank(text[i]) && text[i] != ',' && text[i] != '}' && text[i] != ']')
        ++i;
    return i;
}

// Compares a key as written (between its quotes) with an unescaped name. Escaped
// keys are rare; the parser unescapes them by its own rules.
bool keyIs(std::string_view written, const std::string &name)
{
    if (written.find('\\') == std::string_view::npos)
        return written == name;
    std::string quoted;
    quoted.reserve(written.size() + 2);
    quoted += '"';
    quoted += written;
    quoted += '"';
    simdjson::dom::parser parser;
    std::string_view key;
    return parser.parse(quoted).get_string().get(key) == simdjson::SUCCESS && key == name;
}

} // namespace

bool isNumber(std::string_view token)
{
    return split(token).has_value();
}

Integer integer(std::string_view token)
{
    const auto parts = split(token);
    if (!parts)
        return {0, IntegerProblem::notIntegral};
    std::string_view whole = parts->whole;
    std::string_view fraction = parts->fraction;
    // The significant digits, and the power of ten their last one stands for.
    while (!whole.empty() && whole.front() == '0')
        whole.remove_prefix(1);
    while (!fraction.empty() && fraction.back() == '0')
        fraction.remove_suffix(1);
    // Beyond any text a machine will send, and far from overflowing.
    constexpr qint64 cap = qint64(1) << 52;
    qint64 exponent = 0;
    for (const char c : parts->exponent)
        exponent = qMin(cap, exponent * 10 + (c - '0'));
    if (parts->exponentNegative)
        exponent = -exponent;
    std::string digits(whole);
    digits += fraction;
    exponent -= static_cast<qint64>(fraction.size());
    const size_t leading = digits.find_first_not_of('0');
    if (leading == std::string::npos)
        return {0, IntegerProblem::none}; // zero, however written
    digits.erase(0, leading);
    const size_t last = digits.find_last_not_of('0');
    exponent += static_cast<qint64>(digits.size() - last - 1);
    digits.resize(last + 1);
    if (exponent < 0)
        return {0, IntegerProblem::notIntegral};
    // 10^19 > 2^63, so more than 19 digits never fit.
    if (static_cast<qint64>(digits.size()) + exponent > 19)
        return {0, IntegerProblem::outOfRange};
    quint64 magnitude = 0;
    for (const char c : digits)
        magnitude = magnitude * 10 + static_cast<quint64>(c - '0');
    for (qint64 k = 0; k < exponent; ++k)
        magnitude *= 10;
    constexpr quint64 maxPositive = quint64(std::numeric_limits<qint64>::max());
    if (magnitude > maxPositive + (parts->negative ? 1 : 0))
        return {0, IntegerProblem::outOfRange};
    if (!parts->negative)
        return {static_cast<qint64>(magnitude), IntegerProblem::none};
    return {static_cast<qint64>(0 - magnitude), IntegerProblem::none};
}

std::optional<std::string> withRepresentableNumbers(std::string_view text)
{
    std::string copy(text);
    size_t i = 0;
    while (i < copy.size()) {
        const char c = copy[i];
        if (c == '"') {
            i = skipString(copy, i);
            continue;
        }
        if (!isDigit(c) && c != '-') {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < copy.size() && isNumberChar(copy[end]))
            ++end;
        const std::string_view token = std::string_view(copy).substr(i, end - i);
        const auto parts = split(token);
        if (!parts)
            return std::nullopt;
        bool representable = true;
        if (parts->fraction.empty() && parts->exponent.empty()) {
            // Integer form: the parser holds the signed and unsigned 64-bit ranges.
            const auto asSigned = integer(token);
            quint64 asUnsigned = 0;
            const auto [ptr, error]
                = std::from_chars(token.data(), token.data() + token.size(), asUnsigned);
            representable = asSigned.problem == IntegerProblem::none
                || (error == std::errc() && ptr == token.data() + token.size());
        } else {
            double value = 0;
            const auto [ptr, error]
                = std::from_chars(token.data(), token.data() + token.size(), value);
            representable = error == std::errc() && ptr == token.data() + token.size();
        }
        if (!representable) {
            // Every unrepresentable token is longer than this one.
            copy.replace(i, 3, "0.5");
            for (size_t k = i + 3; k < end; ++k)
                copy[k] = ' ';
        }
        i = end;
    }
    return copy;
}

std::string_view scalarAt(std::string_view text, const std::vector<Step> &steps)
{
    size_t i = skipBlanks(text, 0);
    for (const Step &step : steps) {
        if (i >= text.size())
            return {};
        if (const auto *name = std::get_if<std::string>(&step)) {
            if (text[i] != '{')
                return {};
            i = skipBlanks(text, i + 1);
            bool found = false;
            while (!found && i < text.size() && text[i] == '"') {
                const size_t keyEnd = skipString(text, i);
                const std::string_view written = text.substr(i + 1, keyEnd - i - 2);
                i = skipBlanks(text, keyEnd);
                i = skipBlanks(text, i + 1); // past the colon
                if (keyIs(written, *name)) {
                    found = true;
                    break;
                }
                i = skipBlanks(text, skipValue(text, i));
                if (i < text.size() && text[i] == ',')
                    i = skipBlanks(text, i + 1);
            }
            if (!found)
                return {};
        } else {
            if (text[i] != '[')
                return {};
            i = skipBlanks(text, i + 1);
            for (qsizetype k = std::get<qsizetype>(step); k > 0; --k) {
                if (i >= text.size() || text[i] == ']')
                    return {};
                i = skipBlanks(text, skipValue(text, i));
                if (i < text.size() && text[i] == ',')
                    i = skipBlanks(text, i + 1);
            }
            if (i >= text.size() || text[i] == ']')
                return {};
        }
    }
    if (i >= text.size() || text[i] == '{' || text[i] == '[' || text[i] == '"')
        return {};
    return text.substr(i, skipValue(text, i) - i);
}

} // namespace JsonText
