#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace vellmir {

// The glob language restic uses for each component of an exclude pattern: Go's
// path/filepath.Match, on bytes, with Go's reading of text that is not UTF-8; and the way
// restic tidies a pattern into components. Everything that matches a pattern, or reads one
// as restic will, goes through here so that no two places read a pattern differently.
namespace GoGlob {

enum class Match { differs, matches, malformed };

// Go's answer for `pattern` against one path component.
Match match(std::string_view pattern, std::string_view text);
bool matches(std::string_view pattern, std::string_view text);
// Whether Go would read every part of `pattern` (no unclosed "[", empty "[]", trailing "\").
bool wellFormed(std::string_view pattern);
// Why a pattern that wellFormed() refuses is malformed, in the words of the pattern's author.
const char *problem(std::string_view glob);
// A component restic compares as it is, with no glob reading: it holds none of "\[]*?".
bool plain(std::string_view component);
// A pattern's components after Go's filepath.Clean: empty and "." components dropped, ".."
// removing the component before it (or dropped at the root).
std::vector<std::string_view> cleanComponents(std::string_view path, bool rooted);

} // namespace GoGlob

} // namespace vellmir
