#include "exclude/SmartExclude.h"

#include "config/Destination.h"
#include "exclude/ExcludeDetectorProbes.h"
#include "exclude/ExcludeMatcher.h"
#include "exclude/FileWalk.h"
#include "util/AppPaths.h"
#include "util/LocalPath.h"
#include "util/TextRules.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vellmir {

namespace {

struct RuleRow {
    const char *name;
    const char *reason; // UTF-8
    bool recommended;
};

const char *const kCacheReason = "Name suggests a cache; review contents";

// Sorted by name (bytes), so a walk can look names up without building strings.
constexpr auto kRules = [] {
    std::array<RuleRow, 51> rows { {
        { "node_modules", "Node.js dependencies (npm/yarn reinstall)", true },
        { ".build", "Swift build products (rebuilt)", true },
        { "Pods", "CocoaPods (pod install)", true },
        { "Carthage", "Carthage build output", true },
        { "__pycache__", "Python bytecode cache", true },
        { ".pytest_cache", "pytest cache", true },
        { ".mypy_cache", "mypy cache", true },
        { ".ruff_cache", "ruff cache", true },
        { ".venv", "Python virtualenv (recreate)", true },
        { "venv", "Python virtualenv (recreate)", true },
        { ".tox", "tox environments (recreate)", true },
        { ".gradle", "May include Gradle properties and initialization scripts; review", false },
        { ".next", "Next.js build cache", true },
        { ".nuxt", "Nuxt build cache", true },
        { ".svelte-kit", "SvelteKit build cache", true },
        { ".parcel-cache", "Parcel cache", true },
        { ".turbo", "Turborepo cache", true },
        { ".terraform", "Terraform providers (terraform init)", true },
        { "GPUCache", "Chromium GPU cache (regenerable)", true },
        { "Code Cache", "Chromium code cache (regenerable)", true },
        { "blob_storage", "Application blobs may contain offline work; review", false },
        { "Service Worker", "May contain offline application data; review", false },
        { "GrShaderCache", "GPU shader cache (regenerable)", true },
        { "ShaderCache", "GPU shader cache (regenerable)", true },
        { "DawnGraphiteCache", "GPU shader cache (regenerable)", true },
        { "DawnWebGPUCache", "GPU shader cache (regenerable)", true },
        { "CachedData", "Name suggests cached data; review contents", false },
        { "Crashpad", "Crash dumps (regenerable)", true },
        { ".npm", "npm cache (regenerable)", true },
        { "_cacache", "npm content-addressable cache (regenerable)", true },
        { ".pnpm-store", "pnpm store (regenerable)", true },
        { ".cocoapods", "CocoaPods cache (regenerable)", true },
        { ".nuget", "May include NuGet configuration; review", false },
        { ".m2", "May include Maven settings and local artifacts; review", false },
        { ".pub-cache", "Dart/Flutter package cache (regenerable)", true },
        { ".deno", "Deno cache (regenerable)", true },
        { ".gem", "May include RubyGems credentials; review", false },
        { ".Trash", "Trash (discardable)", true },
        { ".cargo", "Rust registry and tools (re-downloadable)", false },
        { ".rustup", "Rust toolchains (re-downloadable)", false },
        { ".ollama", "Ollama models (re-downloadable, large)", false },
        { ".lmstudio", "LM Studio models (re-downloadable, large)", false },
        { "target", "Rust/Maven build output (generic name \xE2\x80\x94 review)", false },
        { "build", "Build output (generic name \xE2\x80\x94 review)", false },
        { "dist", "Distribution output (generic name \xE2\x80\x94 review)", false },
        { "vendor", "Vendored dependencies (sometimes committed \xE2\x80\x94 review)", false },
        { "Downloads", "Downloads (usually re-downloadable \xE2\x80\x94 review)", false },
        { "Cache", kCacheReason, false },
        { "Caches", kCacheReason, false },
        { ".cache", kCacheReason, false },
        { ".git", "Git history (exclude only if pushed to a remote)", false },
    } };
    std::sort(rows.begin(), rows.end(),
        [](const RuleRow &a, const RuleRow &b) { return std::string_view(a.name) < std::string_view(b.name); });
    return rows;
}();

// The rules as values, in the same order as kRules.
const std::vector<SmartExclude::Rule> &ruleValues()
{
    static const std::vector<SmartExclude::Rule> values = [] {
        std::vector<SmartExclude::Rule> result;
        result.reserve(kRules.size());
        for (const RuleRow &row : kRules)
            result.push_back({ QString::fromUtf8(row.reason), row.recommended });
        return result;
    }();
    return values;
}

// What leaving a folder out saves: restic's own cache inside it was never backed up anyway.
class DirectorySizer : public FileWalk::Visitor {
public:
    explicit DirectorySizer(const char *root)
        : m_resticOnly(m_nothing, root)
    {
    }

    FileWalk::Step visit(const FileWalk::Item &item) override
    {
        if (m_resticOnly.matches(item.path, item.pathLength, item.name))
            return FileWalk::Step::skipDescendants;
        m_total += countedSize(item.values);
        return FileWalk::Step::descend;
    }
    qint64 total() const { return m_total; }

private:
    const ExcludeMatcher m_nothing;
    ExcludeMatcher::Walk m_resticOnly;
    qint64 m_total = 0;
};

struct Found {
    std::string path;
    const SmartExclude::Rule *rule = nullptr; // null: the cache heuristic
    qint64 bytes = 0;
};

class RuleScanner : public FileWalk::Visitor {
public:
    explicit RuleScanner(std::vector<Found> &found)
        : m_found(found)
        , m_cacheHome(LocalPath::encode(AppPaths::cacheHome()).toStdString())
        , m_flatpak(LocalPath::encode(ExcludeDetection::flatpakApplications()).toStdString() + '/')
    {
    }

    FileWalk::Step visit(const FileWalk::Item &item) override
    {
        if (!item.values.readable || !item.values.isDirectory)
            return FileWalk::Step::descend;
        if (isHomeDataCache(std::string_view(item.path, item.pathLength)))
            return FileWalk::Step::skipDescendants;
        const SmartExclude::Rule *rule = SmartExclude::ruleFor(item.name);
        if (!rule && !SmartExclude::nameSuggestsCache(item.name))
            return FileWalk::Step::descend;
        m_found.push_back({ std::string(item.path, item.pathLength), rule, SmartExclude::directorySize(item.path) });
        return FileWalk::Step::skipDescendants;
    }

private:
    // The home's own caches are the home-data detector's to propose, once and as a whole.
    bool isHomeDataCache(std::string_view path) const
    {
        if (path == m_cacheHome)
            return true;
        if (!path.starts_with(m_flatpak))
            return false;
        const std::string_view rest = path.substr(m_flatpak.size());
        const std::size_t slash = rest.find('/');
        return slash != 0 && slash != std::string_view::npos && rest.substr(slash) == "/cache";
    }

    std::vector<Found> &m_found;
    const std::string m_cacheHome;
    const std::string m_flatpak;
};

QString unnameableReason(const std::string &path)
{
    return QStringLiteral("\u201C%1\u201D is not offered: its path is not valid UTF-8, so no exclude pattern can "
                          "name it. Rename the folder to exclude it.")
        .arg(TextRules::visible(LocalPath::decode(QByteArray::fromStdString(path)))); // shown, never used as a path
}

} // namespace

const QHash<QString, SmartExclude::Rule> &SmartExclude::rules()
{
    static const QHash<QString, Rule> table = [] {
        QHash<QString, Rule> result;
        const auto &values = ruleValues();
        for (std::size_t i = 0; i < kRules.size(); ++i)
            result.insert(QString::fromUtf8(kRules[i].name), values[i]);
        return result;
    }();
    return table;
}

const SmartExclude::Rule *SmartExclude::ruleFor(const char *name)
{
    const std::string_view wanted(name);
    const auto it = std::lower_bound(kRules.begin(), kRules.end(), wanted,
        [](const RuleRow &row, std::string_view key) { return std::string_view(row.name) < key; });
    if (it == kRules.end() || std::string_view(it->name) != wanted)
        return nullptr;
    return &ruleValues()[std::size_t(it - kRules.begin())];
}

bool SmartExclude::nameSuggestsCache(const char *name)
{
    // No letter outside ASCII lower-cases to one of these, so comparing ASCII bytes suffices.
    static constexpr char kWord[] = "cache";
    const std::size_t length = std::strlen(name);
    for (std::size_t start = 0; start + 5 <= length; ++start) {
        std::size_t i = 0;
        for (; i < 5; ++i) {
            char c = name[start + i];
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
            if (c != kWord[i])
                break;
        }
        if (i == 5)
            return true;
    }
    return false;
}

qint64 SmartExclude::directorySize(const QString &path)
{
    if (path.isEmpty())
        return 0;
    return directorySize(LocalPath::encode(path).constData());
}

qint64 SmartExclude::directorySize(const char *path)
{
    DirectorySizer sizer(path);
    FileWalk::walk(path, FileWalk::Values::sizes, sizer);
    return sizer.total();
}

QList<ExcludeCandidate> SmartExclude::scan(const QStringList &sources) const
{
    std::vector<Found> found;
    RuleScanner scanner(found);
    // Each source where restic is handed it, so that a suggestion names the path restic walks.
    for (const QString &source : sources)
        FileWalk::walk(Destination::resolvedSource(source), FileWalk::Values::type, scanner);
    // Sources inside one another meet the same folder twice: it is one suggestion.
    std::sort(found.begin(), found.end(), [](const Found &a, const Found &b) { return a.path < b.path; });
    found.erase(
        std::unique(found.begin(), found.end(), [](const Found &a, const Found &b) { return a.path == b.path; }),
        found.end());

    QList<ExcludeCandidate> candidates;
    candidates.reserve(qsizetype(found.size()));
    const QString cacheReason = QString::fromUtf8(kCacheReason);
    for (const Found &folder : found) {
        ExcludeCandidate candidate;
        const QString path = LocalPath::decode(QByteArrayView(folder.path.data(), qsizetype(folder.path.size())));
        if (LocalPath::isText(path)) {
            // The folder's own path: a bare name would also leave out every file and folder of
            // that name elsewhere, which the suggestion neither counted nor showed.
            candidate.pattern = Destination::literalPattern(path);
            candidate.id = candidate.pattern;
            candidate.reason = folder.rule ? folder.rule->reason : cacheReason;
        } else {
            // Patterns are stored as text, and no text spells these bytes.
            candidate.id = path;
            candidate.reason = unnameableReason(folder.path);
        }
        candidate.recommended = folder.rule && folder.rule->recommended;
        candidate.instanceCount = 1;
        candidate.totalBytes = folder.bytes;
        candidate.source = ExcludeCandidate::Source::rule;
        candidates.append(std::move(candidate));
    }
    // By path first, so that equal sizes come out in a fixed order whatever the walk's.
    std::sort(candidates.begin(), candidates.end(),
        [](const ExcludeCandidate &a, const ExcludeCandidate &b) { return a.id < b.id; });
    std::stable_sort(candidates.begin(), candidates.end(),
        [](const ExcludeCandidate &a, const ExcludeCandidate &b) { return a.totalBytes > b.totalBytes; });
    return candidates;
}

} // namespace vellmir
