#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace vellmir {

// Which characters a text may hold, and how a text is shown so that nothing in it hides,
// reorders or forges what is around it. One list of code points serves both the checks made
// here and the patterns a JSON Schema validator applies, so the two never disagree.
namespace TextRules {

struct Range {
    char32_t first;
    char32_t last;
};

// What a text is for, from the loosest rule to the strictest.
enum class Use {
    secret, // reaches restic only: NUL alone is refused
    path, // names an item by what its name holds: NUL and lone surrogates that stand for no file-name byte refused
    text, // shown: no control, line or bidirectional formatting character, lone surrogate or noncharacter
    fileName, // as `text`, but a lone U+DC80..U+DCFF stands for a file-name byte that is not UTF-8
    name, // as `text`, and nothing invisible either: two names that look alike are alike
};

// The code points `use` refuses, in ascending order.
QList<Range> refused(Use use);

// The first refused code point in `text`, or nullopt. A lone surrogate counts as itself; a
// well-formed pair counts as the character it encodes.
std::optional<char32_t> firstRefused(const QString &text, Use use);

// The refused code points as one character class, "[...]", in the subset of regular
// expressions that ECMAScript (with its "u" flag), PCRE and Python's re read alike: BMP code
// points as \uXXXX, the others as the characters themselves.
QString characterClass(Use use);

// The text with every control, format, invisible or otherwise unprintable character written
// out as ⟨U+XXXX⟩, and a combining mark with no letter to sit on written out too. For a text that
// reaches the screen from outside (an agent, a file, restic).
QString visible(const QString &text);

// "U+00AD"
QString codePointName(char32_t codePoint);

} // namespace TextRules

} // namespace vellmir
