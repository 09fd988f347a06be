#include "util/TextRules.h"

#include <QChar>
#include <algorithm>
#include <iterator>
#include <memory>
#include <unicode/uscript.h>
#include <unicode/uspoof.h>
#include <vector>

namespace vellmir::TextRules {

namespace {

// Controls, line and paragraph separators, and the bidirectional formatting characters: they
// break a line, or make it read as another, wherever the text is shown.
const Range controls[] = {
    { 0x0000, 0x001F },
    { 0x007F, 0x009F },
    { 0x061C, 0x061C },
    { 0x200E, 0x200F },
    { 0x2028, 0x2029 },
    { 0x202A, 0x202E },
    { 0x2066, 0x2069 },
};

// Default-ignorable code points and format characters: drawn as nothing, or as a mark that
// passes for part of a neighbour, so that "Home" and "Home\u200B" look the same.
const Range invisible[] = {
    { 0x00AD, 0x00AD },
    { 0x034F, 0x034F },
    { 0x0600, 0x0605 },
    { 0x06DD, 0x06DD },
    { 0x070F, 0x070F },
    { 0x0890, 0x0891 },
    { 0x08E2, 0x08E2 },
    { 0x115F, 0x1160 },
    { 0x17B4, 0x17B5 },
    { 0x180B, 0x180F },
    { 0x200B, 0x200F },
    { 0x202A, 0x202E },
    { 0x2060, 0x206F },
    { 0x3164, 0x3164 },
    { 0xFE00, 0xFE0F },
    { 0xFEFF, 0xFEFF },
    { 0xFFA0, 0xFFA0 },
    { 0xFFF0, 0xFFFB },
    { 0x110BD, 0x110BD },
    { 0x110CD, 0x110CD },
    { 0x13430, 0x1343F },
    { 0x1BCA0, 0x1BCA3 },
    { 0x1D173, 0x1D17A },
    { 0xE0000, 0xE0FFF },
};

// Letters, symbols and marks that fonts draw as an empty space: fillers, the blank Braille
// pattern, the object replacement character (which Qt draws as nothing at all), the null notehead.
const Range blankGlyphs[] = {
    { 0x2800, 0x2800 },
    { 0xFFFC, 0xFFFC },
    { 0x16FE4, 0x16FE4 },
    { 0x1D159, 0x1D159 },
};

constexpr Range surrogates { 0xD800, 0xDFFF };
// What LocalPath makes of a file-name byte that is not UTF-8.
constexpr Range fileNameBytes { 0xDC80, 0xDCFF };

QList<Range> noncharacters()
{
    QList<Range> ranges { { 0xFDD0, 0xFDEF } };
    for (char32_t plane = 0; plane <= 0x10; ++plane)
        ranges.append({ (plane << 16) | 0xFFFE, (plane << 16) | 0xFFFF });
    return ranges;
}

// `ranges` sorted and apart, as joined() leaves them.
bool within(const QList<Range> &ranges, char32_t codePoint)
{
    const auto after = std::upper_bound(ranges.cbegin(), ranges.cend(), codePoint,
        [](char32_t value, const Range &range) { return value < range.first; });
    return after != ranges.cbegin() && codePoint <= std::prev(after)->last;
}

// Sorted, with overlapping and touching ranges joined.
QList<Range> joined(QList<Range> ranges)
{
    std::sort(ranges.begin(), ranges.end(), [](const Range &a, const Range &b) { return a.first < b.first; });
    QList<Range> result;
    for (const Range &range : ranges) {
        if (!result.isEmpty() && range.first <= result.last().last + 1)
            result.last().last = std::max(result.last().last, range.last);
        else
            result.append(range);
    }
    return result;
}

// Whether the code point shows as nothing, or as a blank other than the plain space, by its kind:
// spaces and separators, controls, format characters, private use and unassigned code points
// (which no font can be trusted to draw, or to draw alike), and the ones listed above. From
// the Unicode data Qt carries, so a character Unicode adds later is refused until Qt knows it.
bool inkless(char32_t codePoint)
{
    switch (QChar::category(codePoint)) {
    case QChar::Separator_Space:
        return codePoint != u' ';
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_PrivateUse:
    case QChar::Other_NotAssigned:
        return true;
    default:
        static const QList<Range> listed = joined(QList<Range>(std::begin(invisible), std::end(invisible))
            + QList<Range>(std::begin(blankGlyphs), std::end(blankGlyphs)));
        return within(listed, codePoint);
    }
}

// Every inkless code point, as ranges: a scan of all of Unicode, for the few callers that must
// spell the set out.
QList<Range> inklessRanges()
{
    QList<Range> ranges;
    for (char32_t codePoint = 0; codePoint <= 0x10FFFF; ++codePoint) {
        if (!inkless(codePoint))
            continue;
        if (!ranges.isEmpty() && ranges.last().last + 1 == codePoint)
            ranges.last().last = codePoint;
        else
            ranges.append({ codePoint, codePoint });
    }
    return ranges;
}

// Calls `each` with every code point of `text`, a lone surrogate as itself.
template <typename Each> void forEachCodePoint(const QString &text, Each each)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            each(QChar::surrogateToUcs4(c, text.at(i + 1)));
            ++i;
        } else {
            each(char32_t(c.unicode()));
        }
    }
}

QString escaped(char32_t codePoint)
{
    if (codePoint > 0xFFFF)
        return QString::fromUcs4(&codePoint, 1);
    return QStringLiteral("\\u") + QString::number(uint(codePoint), 16).rightJustified(4, u'0').toUpper();
}

// A character that shows nothing of itself, or acts on its neighbours instead.
bool unprintable(char32_t codePoint)
{
    static const QList<Range> listed = refused(Use::text);
    return within(listed, codePoint) || inkless(codePoint);
}

bool isMark(char32_t codePoint)
{
    const QChar::Category category = QChar::category(codePoint);
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining
        || category == QChar::Mark_Enclosing;
}

// What a combining mark may sit on and still be read as part of it.
bool carriesMarks(char32_t codePoint)
{
    if (isMark(codePoint))
        return true;
    const QChar::Category category = QChar::category(codePoint);
    return QChar::isLetterOrNumber(codePoint) || category == QChar::Symbol_Math || category == QChar::Symbol_Currency
        || category == QChar::Symbol_Modifier || category == QChar::Symbol_Other;
}

constexpr QChar firstStrongIsolate = QChar(0x2068);
constexpr QChar popIsolate = QChar(0x2069);

// The combining marks one character may carry and still be drawn as it is: enough for
// Vietnamese, pointed Hebrew and Tibetan stacks, not for marks piled up to climb out of the line.
constexpr qsizetype mostMarks = 4;

// `text` with every unprintable character, every mark with nothing to sit on, and every mark of a
// character that carries more than mostMarks, written out; the characters at `kept` (ascending
// positions) stay as they are.
QString written(const QString &text, const QList<qsizetype> &kept)
{
    struct Point {
        char32_t codePoint;
        qsizetype at;
    };
    std::vector<Point> points;
    points.reserve(size_t(text.size()));
    qsizetype position = 0;
    forEachCodePoint(text, [&](char32_t codePoint) {
        points.push_back({ codePoint, position });
        position += QChar::requiresSurrogates(codePoint) ? 2 : 1;
    });
    QString shown;
    shown.reserve(text.size());
    bool markMaySit = false;
    auto next = kept.cbegin();
    for (size_t i = 0; i < points.size(); ++i) {
        const auto [codePoint, at] = points[i];
        if (next != kept.cend() && *next == at) {
            ++next;
            shown += QChar(char16_t(codePoint));
            continue;
        }
        // A file-name byte that is not UTF-8 is shown as the byte it stands for.
        if (codePoint >= fileNameBytes.first && codePoint <= fileNameBytes.last) {
            shown += QStringLiteral("\\x") + QString::number(uint(codePoint - 0xDC00), 16).toUpper();
            markMaySit = false;
            continue;
        }
        const bool mark = isMark(codePoint);
        if (unprintable(codePoint) || (mark && !markMaySit)) {
            shown += QStringLiteral("⟨") + codePointName(codePoint) + QStringLiteral("⟩");
            markMaySit = false;
            continue;
        }
        shown += QString::fromUcs4(&codePoint, 1);
        if (mark)
            continue;
        size_t marks = 0;
        while (i + 1 + marks < points.size() && isMark(points[i + 1 + marks].codePoint))
            ++marks;
        markMaySit = carriesMarks(codePoint) && marks <= size_t(mostMarks);
    }
    return shown;
}

// The spoof checker whose skeletons skeleton() takes; nullptr when ICU has no data for it. Used
// only through const calls, which ICU allows from any thread.
const USpoofChecker *spoofChecker()
{
    static const std::unique_ptr<USpoofChecker, void (*)(USpoofChecker *)> checker = [] {
        UErrorCode status = U_ZERO_ERROR;
        USpoofChecker *opened = uspoof_open(&status);
        if (U_FAILURE(status) && opened) {
            uspoof_close(opened);
            opened = nullptr;
        }
        return std::unique_ptr<USpoofChecker, void (*)(USpoofChecker *)>(opened, uspoof_close);
    }();
    return checker.get();
}

// A character's scripts as UTS #39 resolves them: its Script_Extensions, with Han, kana, hangul and
// bopomofo each joined by the writing systems they make together. Sorted; empty for a character
// of every script (Common, Inherited, or one Unicode has not assigned).
std::vector<int> resolvedScripts(char32_t codePoint)
{
    UErrorCode status = U_ZERO_ERROR;
    UScriptCode codes[64];
    const int32_t count = uscript_getScriptExtensions(UChar32(codePoint), codes, 64, &status);
    std::vector<int> scripts;
    for (int32_t i = 0; U_SUCCESS(status) && i < count; ++i) {
        switch (codes[i]) {
        case USCRIPT_COMMON:
        case USCRIPT_INHERITED:
        case USCRIPT_UNKNOWN:
            if (count == 1)
                return {};
            break;
        case USCRIPT_HAN:
            scripts.insert(scripts.end(), { USCRIPT_HAN, USCRIPT_HAN_WITH_BOPOMOFO, USCRIPT_JAPANESE, USCRIPT_KOREAN });
            break;
        case USCRIPT_HIRAGANA:
        case USCRIPT_KATAKANA:
            scripts.insert(scripts.end(), { codes[i], USCRIPT_JAPANESE });
            break;
        case USCRIPT_HANGUL:
            scripts.insert(scripts.end(), { USCRIPT_HANGUL, USCRIPT_KOREAN });
            break;
        case USCRIPT_BOPOMOFO:
            scripts.insert(scripts.end(), { USCRIPT_BOPOMOFO, USCRIPT_HAN_WITH_BOPOMOFO });
            break;
        default:
            scripts.push_back(codes[i]);
        }
    }
    std::sort(scripts.begin(), scripts.end());
    scripts.erase(std::unique(scripts.begin(), scripts.end()), scripts.end());
    return scripts;
}

// The name of the script a character is written in, or empty for one of every script.
QString scriptName(char32_t codePoint)
{
    UErrorCode status = U_ZERO_ERROR;
    const UScriptCode script = uscript_getScript(UChar32(codePoint), &status);
    if (U_FAILURE(status) || script == USCRIPT_COMMON || script == USCRIPT_INHERITED || script == USCRIPT_UNKNOWN)
        return {};
    return QString::fromLatin1(uscript_getName(script));
}

} // namespace

QList<Range> refused(Use use)
{
    if (use == Use::secret)
        return { { 0, 0 } };
    if (use == Use::path)
        return { { 0, 0 }, { surrogates.first, fileNameBytes.first - 1 }, { fileNameBytes.last + 1, surrogates.last } };
    QList<Range> ranges = QList<Range>(std::begin(controls), std::end(controls)) + noncharacters();
    if (use == Use::fileName)
        ranges += { { surrogates.first, fileNameBytes.first - 1 }, { fileNameBytes.last + 1, surrogates.last } };
    else
        ranges.append(surrogates);
    if (use == Use::name)
        ranges += inklessRanges();
    return joined(ranges);
}

std::optional<char32_t> firstRefused(const QString &text, Use use)
{
    // A name is refused what a text is, and what is inkless besides.
    static const QList<Range> byUse[]
        = { refused(Use::secret), refused(Use::path), refused(Use::text), refused(Use::fileName), refused(Use::text) };
    const QList<Range> &ranges = byUse[int(use)];
    std::optional<char32_t> found;
    forEachCodePoint(text, [&](char32_t codePoint) {
        if (!found && (within(ranges, codePoint) || (use == Use::name && inkless(codePoint))))
            found = codePoint;
    });
    return found;
}

QString characterClass(Use use)
{
    QString pattern = QStringLiteral("[");
    for (const Range &range : refused(use)) {
        pattern += escaped(range.first);
        if (range.last != range.first)
            pattern += QLatin1Char('-') + escaped(range.last);
    }
    return pattern + u']';
}

QString codePointName(char32_t codePoint)
{
    return QStringLiteral("U+%1").arg(uint(codePoint), 4, 16, QLatin1Char('0')).toUpper();
}

QString skeleton(const QString &text)
{
    const USpoofChecker *checker = spoofChecker();
    if (!checker)
        return text.normalized(QString::NormalizationForm_D);
    const auto *source = reinterpret_cast<const UChar *>(text.constData());
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = uspoof_getSkeleton(checker, 0, source, int32_t(text.size()), nullptr, 0, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return text.normalized(QString::NormalizationForm_D);
    QString result(length, Qt::Uninitialized);
    status = U_ZERO_ERROR;
    uspoof_getSkeleton(
        checker, 0, source, int32_t(text.size()), reinterpret_cast<UChar *>(result.data()), length, &status);
    return U_SUCCESS(status) ? result : text.normalized(QString::NormalizationForm_D);
}

QStringList mixedScripts(const QString &text)
{
    QStringList names;
    QStringList word; // the scripts of the word so far, by name
    std::optional<std::vector<int>> common; // the scripts all its letters share; nullopt: none yet
    const auto endWord = [&] {
        if (common && common->empty())
            for (const QString &name : std::as_const(word))
                if (!names.contains(name))
                    names.append(name);
        word.clear();
        common.reset();
    };
    forEachCodePoint(text, [&](char32_t codePoint) {
        const std::vector<int> scripts = resolvedScripts(codePoint);
        if (scripts.empty()) {
            // Marks and unassigned code points belong to the word they sit in; blanks, digits
            // and punctuation end it.
            UErrorCode status = U_ZERO_ERROR;
            if (uscript_getScript(UChar32(codePoint), &status) == USCRIPT_COMMON)
                endWord();
            return;
        }
        if (const QString name = scriptName(codePoint); !name.isEmpty() && !word.contains(name))
            word.append(name);
        if (!common) {
            common = scripts;
            return;
        }
        std::vector<int> shared;
        std::set_intersection(
            common->cbegin(), common->cend(), scripts.cbegin(), scripts.cend(), std::back_inserter(shared));
        common = std::move(shared);
    });
    endWord();
    return names;
}

QString isolatedApart(const QString &value, const QString &twin)
{
    const auto codePoints = [](const QString &text) {
        std::vector<char32_t> points;
        forEachCodePoint(text, [&](char32_t codePoint) { points.push_back(codePoint); });
        return points;
    };
    const std::vector<char32_t> mine = codePoints(value);
    const std::vector<char32_t> theirs = codePoints(twin);
    size_t front = 0;
    while (front < mine.size() && front < theirs.size() && mine[front] == theirs[front])
        ++front;
    size_t back = 0;
    while (back < mine.size() - front && back < theirs.size() - front
        && mine[mine.size() - 1 - back] == theirs[theirs.size() - 1 - back])
        ++back;
    // Where the two part: every code point of this side, a letter's with its script.
    QString middle;
    QString head;
    QString tail;
    qsizetype position = 0;
    for (size_t i = 0; i < mine.size(); ++i) {
        const QString character = value.mid(position, QChar::requiresSurrogates(mine[i]) ? 2 : 1);
        position += character.size();
        if (i < front) {
            head += character;
        } else if (i >= mine.size() - back) {
            tail += character;
        } else if (mine[i] >= fileNameBytes.first && mine[i] <= fileNameBytes.last) {
            middle += visible(character); // "\xE9", which the other side spells otherwise
        } else {
            const QString script = scriptName(mine[i]);
            middle += QStringLiteral("⟨") + codePointName(mine[i]) + (script.isEmpty() ? QString() : u' ' + script)
                + QStringLiteral("⟩");
        }
    }
    return firstStrongIsolate + visible(head) + middle + visible(tail) + popIsolate;
}

QString visible(const QString &text)
{
    return written(text, {});
}

QString isolated(const QString &value)
{
    return firstStrongIsolate + visible(value) + popIsolate;
}

QString shown(const QString &line)
{
    // Positions of the isolates that pair up, innermost first.
    QList<qsizetype> paired;
    QList<qsizetype> open;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line.at(i) == firstStrongIsolate) {
            open.append(i);
        } else if (line.at(i) == popIsolate && !open.isEmpty()) {
            paired.append(open.takeLast());
            paired.append(i);
        }
    }
    std::sort(paired.begin(), paired.end());
    return written(line, paired);
}

QString withoutIsolates(const QString &line)
{
    return QString(line).remove(firstStrongIsolate).remove(popIsolate);
}

} // namespace vellmir::TextRules
