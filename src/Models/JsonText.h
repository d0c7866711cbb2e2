#pragma once

// Work on JSON text itself, for what a parsed tree has already lost: the exact
// digits of a number (a double has rounded them) and numbers the parser cannot
// hold at all (beyond 64 bits, beyond the double range) in members nobody reads.

#include <QtGlobal>

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace JsonText {

// Whether `token` follows the JSON number grammar.
bool isNumber(std::string_view token);

// The value of a JSON number token as a signed 64-bit integer, decided from its
// digits and exponent alone: 120.0, 1.2e2 and -0.0 are integers, 120.5 and
// 1.00000000000000000001 are not, 1e19 does not fit. `token` must be a number.
enum class IntegerProblem { none, notIntegral, outOfRange };
struct Integer
{
    qint64 value = 0;
    IntegerProblem problem = IntegerProblem::none;
};
Integer integer(std::string_view token);

// A copy of `text` in which every number token a double or a 64-bit integer
// cannot hold is overwritten, in place and at the same length, by a small
// fraction. Nothing else moves, so offsets into the copy are offsets into
// `text`. Returns nothing when a number token breaks the grammar, i.e. when the
// text is not JSON for another reason. `text` must be otherwise tokenisable.
std::optional<std::string> withRepresentableNumbers(std::string_view text);

// One step from a value to a member (by its unescaped key) or an element.
using Step = std::variant<std::string, qsizetype>;

// The text of the scalar value reached from the root of `text` by `steps`,
// taking the first member of each name as a tree's key lookup does; empty when
// there is none. `text` must be valid JSON.
std::string_view scalarAt(std::string_view text, const std::vector<Step> &steps);

} // namespace JsonText
