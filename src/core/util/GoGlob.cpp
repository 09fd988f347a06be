#include "util/GoGlob.h"

#include <utility>

namespace vellmir::GoGlob {

namespace {

constexpr char32_t kInvalidRune = 0xFFFD;

// One character of UTF-8 text as Go reads it: a malformed or truncated sequence, an overlong
// form or a surrogate is U+FFFD one byte long, so a glob class or "?" consumes exactly what
// restic's does.
std::pair<char32_t, std::size_t> decodeRune(std::string_view s)
{
    if (s.empty())
        return { kInvalidRune, 0 };
    const auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const auto continues = [&](std::size_t i, unsigned lowest = 0x80, unsigned highest = 0xBF) {
        return i < s.size() && byte(i) >= lowest && byte(i) <= highest;
    };
    const unsigned first = byte(0);
    if (first < 0x80)
        return { first, 1 };
    if (first >= 0xC2 && first <= 0xDF) {
        if (continues(1))
            return { char32_t(((first & 0x1F) << 6) | (byte(1) & 0x3F)), 2 };
    } else if (first >= 0xE0 && first <= 0xEF) {
        if (continues(1, first == 0xE0 ? 0xA0 : 0x80, first == 0xED ? 0x9F : 0xBF) && continues(2))
            return { char32_t(((first & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F)), 3 };
    } else if (first >= 0xF0 && first <= 0xF4) {
        if (continues(1, first == 0xF0 ? 0x90 : 0x80, first == 0xF4 ? 0x8F : 0xBF) && continues(2) && continues(3))
            return { char32_t(((first & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6)
                         | (byte(3) & 0x3F)),
                4 };
    }
    return { kInvalidRune, 1 };
}

// The glob language is Go's path/filepath.Match, which restic uses for every component. A
// pattern is a series of chunks, each an optional run of "*" followed by single-character
// operators (literal bytes, "\x", "?", "[...]"). A "*" inside a class does not end a chunk.
std::string_view nextChunk(std::string_view &pattern, bool &star)
{
    star = false;
    while (!pattern.empty() && pattern.front() == '*') {
        pattern.remove_prefix(1);
        star = true;
    }
    bool inClass = false;
    std::size_t i = 0;
    for (; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '\\') {
            if (i + 1 < pattern.size())
                ++i;
        } else if (c == '[') {
            inClass = true;
        } else if (c == ']') {
            inClass = false;
        } else if (c == '*' && !inClass) {
            break;
        }
    }
    const std::string_view chunk = pattern.substr(0, i);
    pattern.remove_prefix(i);
    return chunk;
}

// One member of a class: a character, possibly escaped. False where Go reports a bad pattern.
bool classCharacter(std::string_view &chunk, char32_t &character)
{
    if (chunk.empty() || chunk.front() == '-' || chunk.front() == ']')
        return false;
    if (chunk.front() == '\\') {
        chunk.remove_prefix(1);
        if (chunk.empty())
            return false;
    }
    const auto [rune, width] = decodeRune(chunk);
    chunk.remove_prefix(width);
    character = rune;
    return !(rune == kInvalidRune && width == 1) && !chunk.empty();
}

// Reads one class after its "[" and says whether `rune` is in it; false in `wellFormed` for a
// bad class.
bool classContains(std::string_view &chunk, char32_t rune, bool &wellFormed)
{
    wellFormed = false;
    if (chunk.empty())
        return false;
    const bool negated = chunk.front() == '^';
    if (negated)
        chunk.remove_prefix(1);
    bool found = false;
    for (int ranges = 0;; ++ranges) {
        if (!chunk.empty() && chunk.front() == ']' && ranges > 0) {
            chunk.remove_prefix(1);
            break;
        }
        char32_t low = 0;
        if (!classCharacter(chunk, low))
            return false;
        char32_t high = low;
        if (chunk.front() == '-') {
            chunk.remove_prefix(1);
            if (!classCharacter(chunk, high))
                return false;
        }
        if (low <= rune && rune <= high)
            found = true;
    }
    wellFormed = true;
    return found != negated;
}

bool wellFormedChunk(std::string_view chunk)
{
    while (!chunk.empty()) {
        const char c = chunk.front();
        chunk.remove_prefix(1);
        if (c == '[') {
            bool wellFormed = false;
            classContains(chunk, 0, wellFormed);
            if (!wellFormed)
                return false;
        } else if (c == '\\') {
            if (chunk.empty())
                return false;
            chunk.remove_prefix(1);
        }
    }
    return true;
}

// Whether `chunk` matches the start of `text`; what follows the match goes to `rest`.
bool chunkMatches(std::string_view chunk, std::string_view text, std::string_view &rest)
{
    while (!chunk.empty()) {
        if (text.empty())
            return false;
        switch (chunk.front()) {
        case '[': {
            const auto [rune, width] = decodeRune(text);
            text.remove_prefix(width);
            chunk.remove_prefix(1);
            bool wellFormed = false;
            if (!classContains(chunk, rune, wellFormed) || !wellFormed)
                return false;
            break;
        }
        case '?':
            text.remove_prefix(decodeRune(text).second);
            chunk.remove_prefix(1);
            break;
        case '\\':
            chunk.remove_prefix(1);
            if (chunk.empty())
                return false;
            [[fallthrough]];
        default:
            if (chunk.front() != text.front())
                return false;
            chunk.remove_prefix(1);
            text.remove_prefix(1);
            break;
        }
    }
    rest = text;
    return true;
}

} // namespace

// Go's matching order, kept exactly: each chunk takes its leftmost place after a "*", and only
// the last must reach the end of the text, one path component. Go reports a malformed chunk
// only when the matching reaches it, so "[a]*[" is malformed for "ab" but differs from "b".
Match match(std::string_view pattern, std::string_view text)
{
    while (!pattern.empty()) {
        bool star = false;
        const std::string_view chunk = nextChunk(pattern, star);
        if (star && chunk.empty())
            return Match::matches;
        if (!wellFormedChunk(chunk))
            return Match::malformed;
        const bool last = pattern.empty();
        std::string_view rest;
        if (chunkMatches(chunk, text, rest) && (rest.empty() || !last)) {
            text = rest;
            continue;
        }
        if (!star)
            return Match::differs;
        bool placed = false;
        for (std::size_t skip = 0; skip < text.size(); ++skip) {
            if (!chunkMatches(chunk, text.substr(skip + 1), rest) || (last && !rest.empty()))
                continue;
            text = rest;
            placed = true;
            break;
        }
        if (!placed)
            return Match::differs;
    }
    return text.empty() ? Match::matches : Match::differs;
}

bool matches(std::string_view pattern, std::string_view text)
{
    return match(pattern, text) == Match::matches;
}

bool wellFormed(std::string_view pattern)
{
    bool star = false;
    while (!pattern.empty()) {
        if (!wellFormedChunk(nextChunk(pattern, star)))
            return false;
    }
    return true;
}

bool plain(std::string_view component)
{
    return component.find_first_of("\\[]*?") == std::string_view::npos;
}

std::vector<std::string_view> cleanComponents(std::string_view path, bool rooted)
{
    std::vector<std::string_view> components;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view component = path.substr(0, slash);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
        if (component.empty() || component == ".")
            continue;
        if (component == "..") {
            if (!components.empty() && components.back() != "..")
                components.pop_back();
            else if (!rooted)
                components.push_back(component);
            continue;
        }
        components.push_back(component);
    }
    return components;
}

const char *problem(std::string_view glob)
{
    for (std::size_t i = 0; i < glob.size(); ++i) {
        if (glob[i] == '\\') {
            if (++i == glob.size())
                return "it ends in a \"\\\" that escapes nothing";
        } else if (glob[i] == '[') {
            std::size_t j = i + 1;
            if (j < glob.size() && glob[j] == '^')
                ++j;
            if (j < glob.size() && glob[j] == ']')
                return "\"[]\" holds no character";
            while (j < glob.size() && glob[j] != ']') {
                if (glob[j] == '\\' && ++j == glob.size())
                    break;
                const auto [rune, width] = decodeRune(glob.substr(j));
                if (rune == kInvalidRune && width == 1)
                    return "its \"[...]\" holds a byte that is not UTF-8 text";
                j += width;
            }
            if (j >= glob.size())
                return "its \"[\" is never closed";
            i = j;
        }
    }
    return "a \"-\" in \"[...]\" must stand between two characters";
}

} // namespace vellmir::GoGlob
