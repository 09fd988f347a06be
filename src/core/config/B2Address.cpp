#include "config/B2Address.h"

#include <QTextBoundaryFinder>

namespace vellmir::B2Address {

namespace {

// The text is handled in user-perceived characters, so a combining mark that follows a line
// break or a space goes with it instead of being left dangling on its neighbour.
template <typename Visit> void forEachCharacter(const QString &text, Visit visit)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end != -1 && start < text.size(); end = finder.toNextBoundary()) {
        visit(QStringView(text).sliced(start, end - start), start);
        start = end;
    }
}

char32_t firstCodePoint(QStringView character)
{
    if (character.size() > 1 && character[0].isHighSurrogate() && character[1].isLowSurrogate())
        return QChar::surrogateToUcs4(character[0], character[1]);
    return character[0].unicode();
}

bool isLineBreak(char32_t c)
{
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isHorizontalSpace(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

} // namespace

std::optional<Components> components(const QString &repository)
{
    qsizetype colons[2] = { -1, -1 };
    int found = 0;
    forEachCharacter(repository, [&](QStringView character, qsizetype position) {
        if (found < 2 && character == u":")
            colons[found++] = position;
    });
    if (found < 2 || QStringView(repository).first(colons[0]) != u"b2")
        return std::nullopt;
    return Components { repository.mid(colons[0] + 1, colons[1] - colons[0] - 1), repository.mid(colons[1] + 1) };
}

QString compose(const QString &bucket, const QString &folder)
{
    QString cleanBucket;
    forEachCharacter(bucket, [&](QStringView character, qsizetype) {
        if (character != u":" && !QChar::isSpace(firstCodePoint(character)))
            cleanBucket += character;
    });

    QString cleanFolder;
    forEachCharacter(folder, [&](QStringView character, qsizetype) {
        if (!isLineBreak(firstCodePoint(character)))
            cleanFolder += character;
    });
    qsizetype begin = 0;
    qsizetype end = cleanFolder.size();
    while (begin < end && isHorizontalSpace(cleanFolder[begin]))
        ++begin;
    while (end > begin && isHorizontalSpace(cleanFolder[end - 1]))
        --end;

    return QStringLiteral("b2:") + cleanBucket + u':' + cleanFolder.sliced(begin, end - begin);
}

QString repository(const QString &settingBucket, const QString &current)
{
    const QString entered = settingBucket.trimmed();
    // A whole pasted address: it splits into "b2", bucket and folder, so it starts with "b2:".
    if (const std::optional<Components> pasted = components(entered))
        return compose(pasted->bucket, pasted->folder);
    const std::optional<Components> existing = components(current);
    return compose(entered, existing ? existing->folder : QStringLiteral("restic"));
}

} // namespace vellmir::B2Address
