#include "exclude/ExcludeEvidenceScan.h"

#include "util/Error.h"

#include "exclude/DirectoryWalker.h"
#include "exclude/SmartExclude.h"
#include "exclude/SmartExcludeAI.h"
#include "util/LocalPath.h"

#include <QChar>
#include <QFile>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellmir {

namespace {

constexpr qint64 maxTypes = 16;
constexpr int maxIssues = 12;
constexpr qint64 largeFolderBytes = 100'000'000;
const QByteArray cacheTagSignature("Signature: 8a477f597d28d172789f06886806bc55");

const QSet<QString> &protectedNames()
{
    static const QSet<QString> names { QStringLiteral(".git"), QStringLiteral(".ssh"), QStringLiteral(".gnupg"),
        QStringLiteral("documents"), QStringLiteral("photos"), QStringLiteral("pictures"), QStringLiteral("archives"),
        QStringLiteral("backups"), QStringLiteral("local storage"), QStringLiteral("indexeddb"),
        QStringLiteral("databases") };
    return names;
}

const QSet<QString> &riskyExtensions()
{
    static const QSet<QString> extensions { QStringLiteral("swift"), QStringLiteral("py"), QStringLiteral("js"),
        QStringLiteral("ts"), QStringLiteral("tsx"), QStringLiteral("jsx"), QStringLiteral("c"), QStringLiteral("cpp"),
        QStringLiteral("h"), QStringLiteral("rs"), QStringLiteral("go"), QStringLiteral("java"), QStringLiteral("cs"),
        QStringLiteral("m"), QStringLiteral("mm"), QStringLiteral("rb"), QStringLiteral("sh"), QStringLiteral("pdf"),
        QStringLiteral("doc"), QStringLiteral("docx"), QStringLiteral("pages"), QStringLiteral("txt"),
        QStringLiteral("md"), QStringLiteral("rtf"), QStringLiteral("xls"), QStringLiteral("xlsx"),
        QStringLiteral("numbers"), QStringLiteral("pptx"), QStringLiteral("key"), QStringLiteral("jpg"),
        QStringLiteral("jpeg"), QStringLiteral("png"), QStringLiteral("heic"), QStringLiteral("raw"),
        QStringLiteral("mov"), QStringLiteral("mp4"), QStringLiteral("wav"), QStringLiteral("mp3"),
        QStringLiteral("sqlite"), QStringLiteral("sqlite3"), QStringLiteral("db"), QStringLiteral("json"),
        QStringLiteral("yaml"), QStringLiteral("yml"), QStringLiteral("toml"), QStringLiteral("ini"),
        QStringLiteral("conf"), QStringLiteral("plist"), QStringLiteral("pem"), QStringLiteral("keychain"),
        QStringLiteral("zip"), QStringLiteral("tar"), QStringLiteral("gz") };
    return extensions;
}

const QSet<QString> &projectMarkers()
{
    static const QSet<QString> names { QStringLiteral("package.json"), QStringLiteral("pyproject.toml"),
        QStringLiteral("CMakeLists.txt"), QStringLiteral("Package.swift"), QStringLiteral("Cargo.toml") };
    return names;
}

const QStringList &folderKeywords()
{
    static const QStringList keywords { QStringLiteral("cache"), QStringLiteral("build"), QStringLiteral("temp"),
        QStringLiteral("output") };
    return keywords;
}

QString lastComponent(const QString &path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

QString parentOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

// A leading dot names a hidden file, it does not start an extension (".env" has none).
QString extensionOf(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot <= 0 ? QString() : name.mid(dot + 1);
}

// Whether `path` is `root` or lies below it.
bool isWithin(const QString &path, const QString &root)
{
    if (root == u"/")
        return path.startsWith(u'/');
    return path == root || (path.startsWith(root) && path.size() > root.size() && path[root.size()] == u'/');
}

QString normalised(const QString &source)
{
    QStringList parts;
    for (const QString &part : source.split(u'/', Qt::SkipEmptyParts)) {
        if (part == u".")
            continue;
        if (part == u"..") {
            if (!parts.isEmpty())
                parts.removeLast();
            continue;
        }
        parts.append(part);
    }
    return u'/' + parts.join(u'/');
}

bool hasControlCharacters(const QString &path)
{
    for (const char32_t scalar : path.toUcs4()) {
        const QChar::Category category = QChar::category(scalar);
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            return true;
    }
    return false;
}

bool hasCacheTag(const QString &path)
{
    const int fd = ::open(LocalPath::encode(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    char buffer[43];
    qsizetype filled = 0;
    while (filled < qsizetype(sizeof buffer)) {
        const ssize_t got = ::read(fd, buffer + filled, sizeof buffer - size_t(filled));
        if (got <= 0)
            break; // an error counts as no more data
        filled += got;
    }
    ::close(fd);
    return QByteArray::fromRawData(buffer, filled) == cacheTagSignature;
}

std::optional<ExcludeScanItem> inspectLocal(const QString &path)
{
    struct stat info;
    if (::lstat(LocalPath::encode(path).constData(), &info) != 0)
        return std::nullopt;
    ExcludeScanItem item;
    item.isDirectory = S_ISDIR(info.st_mode);
    item.isRegularFile = S_ISREG(info.st_mode);
    item.isSymbolicLink = S_ISLNK(info.st_mode);
    item.fileSize = qint64(info.st_size);
    item.allocatedSize = qint64(info.st_blocks) * 512;
    return item;
}

bool isReadableLocal(const QString &path)
{
    return ::access(LocalPath::encode(path).constData(), R_OK) == 0;
}

struct Directory {
    QString url;
    QString root;
    qint64 bytes = 0;
    qint64 files = 0;
    QSet<QString> types;
    QSet<QString> risks;
};

class Scan {
public:
    Scan(const ExcludeScanLimits &limits, std::stop_token stop, const ExcludeScanHooks &hooks)
        : m_limits(limits)
        , m_stop(std::move(stop))
        , m_hooks(hooks)
        , m_start(std::chrono::steady_clock::now())
    {
        // A caller that replaces only some answers gets the real ones for the rest.
        if (!m_hooks.inspect)
            m_hooks.inspect = inspectLocal;
        if (!m_hooks.isReadable)
            m_hooks.isReadable = isReadableLocal;
    }

    ExcludeDiscovery run(const QStringList &givenSources);

private:
    void addIssue(const QString &text)
    {
        if (m_result.issues.size() < maxIssues && !m_result.issues.contains(text))
            m_result.issues.append(text);
    }
    void checkCancelled() const
    {
        if (m_stop.stop_requested())
            throw CancellationError();
    }
    bool limitReached() const
    {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - m_start;
        return m_result.inspectedEntries >= m_limits.entries || elapsed.count() >= m_limits.seconds;
    }
    QString limitIssue() const
    {
        return QStringLiteral("Scan limit reached (") + QString::number(m_limits.entries)
            + QStringLiteral(" entries / ") + QString::number(qint64(m_limits.seconds))
            + QStringLiteral(" seconds). Choose smaller sources for a complete review.");
    }
    template <typename Update> void updateAncestors(const QString &path, const QString &source, Update update)
    {
        QString folder = parentOf(path);
        while (isWithin(folder, source)) {
            const auto found = m_directories.find(folder);
            if (found != m_directories.end())
                update(*found);
            if (folder == source)
                break;
            folder = parentOf(folder);
        }
    }
    void addRisk(const QString &path, const QString &source, const QString &risk)
    {
        updateAncestors(path, source, [&](Directory &directory) { directory.risks.insert(risk); });
    }

    // False when a limit stopped the whole scan.
    bool walk(const QString &source, const QString &realSource);
    void examine(
        const DirectoryWalker::Item &item, const QString &mapped, const QString &source, DirectoryWalker &walker);
    void select(const QStringList &sources);

    const ExcludeScanLimits &m_limits;
    std::stop_token m_stop;
    ExcludeScanHooks m_hooks;
    std::chrono::steady_clock::time_point m_start;

    ExcludeDiscovery m_result;
    QHash<QString, Directory> m_directories;
    QHash<QString, QSet<QString>> m_projectMarkers;
    QSet<QString> m_tagged;
    QStringList m_roots;
};

ExcludeDiscovery Scan::run(const QStringList &givenSources)
{
    QStringList sources;
    for (const QString &source : givenSources) {
        if (!source.startsWith(u'/')) {
            addIssue(QString::fromUtf16(ExcludeEvidenceTexts::relativeSource));
            continue;
        }
        const QString path = normalised(source);
        if (!sources.contains(path))
            sources.append(path);
    }
    // Shorter first, so a folder is walked before any source nested inside it.
    std::sort(sources.begin(), sources.end(),
        [](const QString &a, const QString &b) { return a.size() != b.size() ? a.size() < b.size() : a < b; });

    for (const QString &source : sources) {
        checkCancelled();
        char resolved[PATH_MAX];
        if (!::realpath(LocalPath::encode(source).constData(), resolved)) {
            addIssue(QString::fromUtf16(ExcludeEvidenceTexts::unresolved));
            continue;
        }
        const std::optional<ExcludeScanItem> info = m_hooks.inspect(source);
        if (!info || !info->isDirectory || info->isSymbolicLink || info->isPackage || !m_hooks.isReadable(source)) {
            addIssue(QString::fromUtf16(ExcludeEvidenceTexts::unavailable));
            continue;
        }
        if (std::any_of(m_roots.cbegin(), m_roots.cend(), [&](const QString &root) { return isWithin(source, root); }))
            continue;
        m_roots.append(source);
        m_directories.insert(source, Directory { source, source, 0, 0, {}, {} });
        if (!walk(source, LocalPath::decode(resolved)))
            break;
    }
    select(sources);
    return std::move(m_result);
}

bool Scan::walk(const QString &source, const QString &realSource)
{
    DirectoryWalker walker(
        source, [this](const QString &) { addIssue(QString::fromUtf16(ExcludeEvidenceTexts::unreadableFolders)); });
    if (!walker.isOpen()) {
        addIssue(QString::fromUtf16(ExcludeEvidenceTexts::notScanned));
        return true;
    }
    const QString sourcePrefix = source == u"/" ? source : source + u'/';
    DirectoryWalker::Item item;
    while (walker.next(item)) {
        checkCancelled();
        if (limitReached()) {
            addIssue(limitIssue());
            return false;
        }
        ++m_result.inspectedEntries;

        const QString base = item.path.startsWith(sourcePrefix) ? source : realSource;
        const QString basePrefix = base == u"/" ? base : base + u'/';
        if (!item.path.startsWith(basePrefix)) {
            addIssue(QString::fromUtf16(ExcludeEvidenceTexts::unmapped));
            continue;
        }
        const QString rest = item.path.mid(basePrefix.size());
        examine(item, sourcePrefix + rest, source, walker);
    }
    return true;
}

void Scan::examine(
    const DirectoryWalker::Item &item, const QString &mapped, const QString &source, DirectoryWalker &walker)
{
    const std::optional<ExcludeScanItem> info = m_hooks.inspect(mapped);
    if (!info) {
        addIssue(QString::fromUtf16(ExcludeEvidenceTexts::metadata));
        return;
    }
    const QString name = lastComponent(mapped);
    if (info->isSymbolicLink || info->isDataless || info->isPackage || protectedNames().contains(name.toLower())) {
        addRisk(mapped, source, QString::fromUtf16(ExcludeEvidenceTexts::protectedRisk));
        if (info->isDirectory)
            walker.skipDescendants();
        return;
    }
    if (info->isDirectory) {
        if (item.level <= m_limits.depth) {
            m_directories.insert(mapped, Directory { mapped, source, 0, 0, {}, {} });
        } else {
            addIssue(QString::fromUtf16(ExcludeEvidenceTexts::depthLimit));
            walker.skipDescendants();
        }
        return;
    }
    if (!info->isRegularFile) {
        addRisk(mapped, source, QString::fromUtf16(ExcludeEvidenceTexts::specialRisk));
        return;
    }

    if (!m_hooks.isReadable(mapped))
        addRisk(mapped, source, QString::fromUtf16(ExcludeEvidenceTexts::unreadableRisk));
    const QString parent = parentOf(mapped);
    const QString extension = extensionOf(name);
    if (projectMarkers().contains(name))
        m_projectMarkers[parent].insert(name);
    else if (extension == u"csproj")
        m_projectMarkers[parent].insert(QStringLiteral("*.csproj"));
    if (name == u"CACHEDIR.TAG" && hasCacheTag(mapped))
        m_tagged.insert(parent);

    const qint64 size = info->allocatedSize.value_or(info->fileSize);
    const QString lowerExtension = extension.toLower();
    const QString type
        = extension.isEmpty() ? QStringLiteral("no extension") : SmartExcludeAI::leadingCharacters(lowerExtension, 20);
    const bool risky = riskyExtensions().contains(lowerExtension) || name.startsWith(u".env")
        || name.toLower().contains(u"credential");
    updateAncestors(mapped, source, [&](Directory &directory) {
        directory.bytes += size;
        directory.files += 1;
        if (directory.types.size() < maxTypes)
            directory.types.insert(type);
        if (risky)
            directory.risks.insert(QString::fromUtf16(ExcludeEvidenceTexts::documentsRisk));
    });
}

QStringList sortedList(const QSet<QString> &set)
{
    QStringList list(set.cbegin(), set.cend());
    std::sort(list.begin(), list.end());
    return list;
}

void Scan::select(const QStringList &sources)
{
    const bool complete = m_result.issues.isEmpty();
    QList<ExcludeEvidence> candidates;
    for (const Directory &directory : std::as_const(m_directories)) {
        if (directory.url == directory.root || sources.contains(directory.url))
            continue;
        const QString name = lastComponent(directory.url);
        const QSet<QString> siblings = m_projectMarkers.value(parentOf(directory.url));
        const bool tagged = m_tagged.contains(directory.url);
        std::optional<QString> recovery;
        if (tagged)
            recovery = QString::fromUtf16(ExcludeEvidenceTexts::tagRecovery);
        else if (name == u"CMakeFiles" && siblings.contains(QStringLiteral("CMakeLists.txt")))
            recovery = QString::fromUtf16(ExcludeEvidenceTexts::cmakeRecovery);
        else if (name == u"obj" && siblings.contains(QStringLiteral("*.csproj")))
            recovery = QString::fromUtf16(ExcludeEvidenceTexts::dotnetRecovery);

        if (!recovery) {
            if (m_hooks.isRuleName && m_hooks.isRuleName(name))
                continue;
            const QString lower = name.toLower();
            const bool keyword = std::any_of(folderKeywords().cbegin(), folderKeywords().cend(),
                [&](const QString &word) { return lower.contains(word); });
            if (!keyword && directory.bytes < largeFolderBytes)
                continue;
        }

        ExcludeEvidence evidence;
        evidence.path = directory.url;
        evidence.relativePath = directory.url.mid(directory.root.size());
        evidence.bytes = directory.bytes;
        evidence.fileCount = directory.files;
        evidence.fileTypes = sortedList(directory.types);
        if (tagged)
            evidence.markers.append(QString::fromUtf16(ExcludeEvidenceTexts::tagMarker));
        for (const QString &marker : sortedList(siblings))
            evidence.markers.append(QString::fromUtf16(ExcludeEvidenceTexts::parentProject) + marker);
        evidence.risks = sortedList(directory.risks);
        if (hasControlCharacters(directory.url))
            evidence.risks.append(QString::fromUtf16(ExcludeEvidenceTexts::controlRisk));
        evidence.complete = complete;
        evidence.recovery = recovery;
        candidates.append(std::move(evidence));
    }

    std::stable_sort(candidates.begin(), candidates.end(), [](const ExcludeEvidence &a, const ExcludeEvidence &b) {
        return a.bytes != b.bytes ? a.bytes > b.bytes : a.path < b.path;
    });
    const qint64 limit = std::max<qint64>(0, m_limits.candidates);
    if (candidates.size() > limit) {
        addIssue(QStringLiteral("Showing the largest ") + QString::number(limit) + QStringLiteral(" of ")
            + QString::number(candidates.size())
            + QStringLiteral(" candidate folders. Other folders were not sent to AI."));
        candidates.resize(limit);
    }
    m_result.candidates = std::move(candidates);
}

} // namespace

ExcludeScanHooks ExcludeScanHooks::local()
{
    ExcludeScanHooks hooks;
    hooks.inspect = inspectLocal;
    hooks.isReadable = isReadableLocal;
    hooks.isRuleName = [](const QString &name) { return SmartExclude::rules().contains(name); };
    return hooks;
}

ExcludeDiscovery discoverForAI(const QStringList &sources, const ExcludeScanLimits &limits, std::stop_token stop)
{
    return discoverForAI(sources, limits, std::move(stop), ExcludeScanHooks::local());
}

ExcludeDiscovery discoverForAI(
    const QStringList &sources, const ExcludeScanLimits &limits, std::stop_token stop, const ExcludeScanHooks &hooks)
{
    return Scan(limits, std::move(stop), hooks).run(sources);
}

ExcludeDiscovery SmartExclude::discoverForAI(
    const QStringList &sources, const ExcludeScanLimits &limits, std::stop_token stop) const
{
    return vellmir::discoverForAI(sources, limits, std::move(stop));
}

} // namespace vellmir
