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
    name, // as `text`, and nothing that shows as nothing or as a blank other than the space either:
          // two names that look alike are alike
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

// The text with every character that a name refuses (controls, format characters, blanks other
// than the space, characters that show as nothing, private use and unassigned code points)
// written out as ⟨U+XXXX⟩, a lone U+DC80..U+DCFF as the byte that is not UTF-8 it stands for
// ("\xED"), and a combining mark with no letter to sit on written out too, as are the marks of a
// character that carries more than a few (stacked, they climb over the lines around). For a text
// that reaches the screen from outside (an agent, a file, restic).
QString visible(const QString &text);

// A value from outside as it sits in a line shown to the user: visible(), between a first strong
// isolate and its pop directional isolate, so that a right-to-left value neither reorders the
// words around it nor is reordered by them ("old → new" keeps its arrow's sense).
QString isolated(const QString &value);

// A line built from our own words and isolated() values, made safe to show: as visible(), except
// that the isolates that pair up, which only isolated() can have put there, stay.
QString shown(const QString &line);

// The line with the isolates isolated() added taken out again, for where it is read as text
// rather than shown: an agent's reply, the audit log.
QString withoutIsolates(const QString &line);

// "U+00AD"
QString codePointName(char32_t codePoint);

// The text as Unicode's confusable mapping reduces it (the UTS #39 skeleton, from ICU): two texts
// with the same skeleton can pass for each other on screen ("Vidéos" composed and decomposed,
// "Documents" with a Latin or a Cyrillic "o").
QString skeleton(const QString &text);

// The scripts, by name ("Latin", "Cyrillic"), of a word in `text` whose letters come from scripts
// that are not written together (a word: what lies between characters of no script, such as
// blanks, "/" and digits); empty when no word mixes scripts. Han with kana or hangul is one
// writing system, as UTS #39 resolves them.
QStringList mixedScripts(const QString &text);

// `value` as isolated() shows it, except that the code points where it differs from `twin` (a
// text that looks the same) are written out, a letter's with its script (a byte that is not UTF-8
// as visible() shows it): "~/D⟨U+043E Cyrillic⟩cuments" beside "~/D⟨U+006F Latin⟩cuments".
QString isolatedApart(const QString &value, const QString &twin);

} // namespace TextRules

} // namespace vellmir
