#include "exclude/ExcludeMatcher.h"

#include "util/AppPaths.h"

#include <cstring>
#include <fnmatch.h>
#include <locale.h>
#include <optional>

namespace vellmir {

namespace {

bool isAscii(const char *text, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80)
            return false;
    }
    return true;
}

std::string composed(const char *text, std::size_t length)
{
    return QString::fromUtf8(text, qsizetype(length)).normalized(QString::NormalizationForm_C).toUtf8().toStdString();
}

bool namesLocation(const std::string &location, const char *path, std::size_t pathLength)
{
    const std::size_t n = location.size();
    if (pathLength < n || std::memcmp(path, location.data(), n) != 0)
        return false;
    return pathLength == n || path[n] == '/';
}

// fnmatch reads multibyte text by the thread's LC_CTYPE. Patterns are UTF-8 whatever the
// user's locale, so "?" must match one character, not one byte: match under C.UTF-8.
locale_t utf8Locale()
{
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    return locale;
}

class Utf8Scope {
public:
    Utf8Scope()
    {
        if (const locale_t locale = utf8Locale())
            m_previous = uselocale(locale);
    }
    ~Utf8Scope()
    {
        if (m_previous)
            uselocale(m_previous);
    }
    Utf8Scope(const Utf8Scope &) = delete;
    Utf8Scope &operator=(const Utf8Scope &) = delete;

private:
    locale_t m_previous = locale_t(nullptr);
};

} // namespace

ExcludeMatcher::ExcludeMatcher(const QStringList &patterns)
    : ExcludeMatcher(patterns, AppPaths::homeDirectory())
{
}

ExcludeMatcher::ExcludeMatcher(const QStringList &patterns, const QString &home)
{
    QString homeText = home;
    while (homeText.endsWith(u'/'))
        homeText.chop(1);
    m_patterns.reserve(std::size_t(patterns.size()));
    for (const QString &pattern : patterns) {
        QString expanded;
        if (pattern == QLatin1String("~"))
            expanded = homeText;
        else if (pattern.startsWith(QLatin1String("~/")))
            expanded = homeText + u'/' + pattern.mid(2);
        else
            expanded = pattern;

        Prepared prepared;
        prepared.text = expanded.toUtf8().toStdString();
        prepared.hasSlash = expanded.contains(u'/');
        prepared.isLocation = expanded.startsWith(u'/');
        prepared.literal = prepared.text.find_first_of("*?[\\") == std::string::npos;
        if (prepared.isLocation) {
            prepared.composed = composed(prepared.text.data(), prepared.text.size());
            prepared.composedDiffers = prepared.composed != prepared.text;
        }
        m_patterns.push_back(std::move(prepared));
    }
}

bool ExcludeMatcher::matches(const QString &path, const QString &name, bool isDirectory) const
{
    Q_UNUSED(isDirectory)
    const QByteArray pathBytes = path.toUtf8();
    const QByteArray nameBytes = name.toUtf8();
    return matches(pathBytes.constData(), std::size_t(pathBytes.size()), nameBytes.constData());
}

bool ExcludeMatcher::matches(const char *path, std::size_t pathLength, const char *name) const
{
    // Location patterns compare characters, so a decomposed accent equals a precomposed one.
    // Composing the path costs an allocation, so it happens only for paths outside ASCII, and once.
    bool composedReady = false;
    std::string composedPath;
    int pathAscii = -1; // not yet known
    bool needLocale = true;
    std::optional<Utf8Scope> scope;

    for (const Prepared &pattern : m_patterns) {
        if (pattern.hasSlash) {
            if (pattern.isLocation) {
                if (namesLocation(pattern.text, path, pathLength))
                    return true;
                if (pathAscii < 0)
                    pathAscii = isAscii(path, pathLength) ? 1 : 0;
                if (!pathAscii || pattern.composedDiffers) {
                    if (!composedReady) {
                        composedPath = composed(path, pathLength);
                        composedReady = true;
                    }
                    if (namesLocation(pattern.composed, composedPath.data(), composedPath.size()))
                        return true;
                }
            }
            if (pattern.literal) {
                if (pattern.text.size() == pathLength && std::memcmp(pattern.text.data(), path, pathLength) == 0)
                    return true;
                continue;
            }
            if (needLocale) {
                scope.emplace();
                needLocale = false;
            }
            if (fnmatch(pattern.text.c_str(), path, FNM_PATHNAME) == 0)
                return true;
        } else {
            if (pattern.literal) {
                if (std::strcmp(pattern.text.c_str(), name) == 0)
                    return true;
                continue;
            }
            if (needLocale) {
                scope.emplace();
                needLocale = false;
            }
            if (fnmatch(pattern.text.c_str(), name, 0) == 0)
                return true;
        }
    }
    return false;
}

QStringList ExcludeMatcher::patterns() const
{
    QStringList result;
    result.reserve(qsizetype(m_patterns.size()));
    for (const Prepared &pattern : m_patterns)
        result.append(QString::fromUtf8(pattern.text.data(), qsizetype(pattern.text.size())));
    return result;
}

} // namespace vellmir
