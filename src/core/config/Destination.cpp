#include "config/Destination.h"

#include "util/AppPaths.h"
#include "util/GoGlob.h"
#include "util/Json.h"
#include "util/LocalPath.h"
#include "util/Uuid.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHash>
#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace vellmir {

namespace {
const QString kId = QStringLiteral("id");
const QString kCredentialID = QStringLiteral("credentialID");
const QString kPreferences = QStringLiteral("preferences");
const QString kName = QStringLiteral("name");
const QString kKind = QStringLiteral("kind");
const QString kRepository = QStringLiteral("repository");
const QString kSources = QStringLiteral("sources");
const QString kExcludes = QStringLiteral("excludes");
const QString kRetention = QStringLiteral("retention");
const QString kPrune = QStringLiteral("pruneAfterBackup");
const QString kSchedule = QStringLiteral("schedule");
const QString kLastBackup = QStringLiteral("lastBackup");
} // namespace

QString Destination::localFolder(const QString &repository)
{
    static const QString scheme = QStringLiteral("local:");
    return repository.startsWith(scheme) ? repository.mid(scheme.size()) : repository;
}

QString toString(Destination::Kind kind)
{
    switch (kind) {
    case Destination::Kind::backblazeB2:
        return QStringLiteral("backblazeB2");
    case Destination::Kind::s3:
        return QStringLiteral("s3");
    case Destination::Kind::sftp:
        return QStringLiteral("sftp");
    case Destination::Kind::local:
        return QStringLiteral("local");
    }
    return {};
}

QString toString(Destination::Schedule schedule)
{
    switch (schedule) {
    case Destination::Schedule::manual:
        return QStringLiteral("manual");
    case Destination::Schedule::hourly:
        return QStringLiteral("hourly");
    case Destination::Schedule::daily:
        return QStringLiteral("daily");
    }
    return {};
}

std::optional<Destination::Kind> kindFromString(const QString &raw)
{
    for (Destination::Kind kind : allKinds())
        if (toString(kind) == raw)
            return kind;
    return std::nullopt;
}

std::optional<Destination::Schedule> scheduleFromString(const QString &raw)
{
    for (Destination::Schedule schedule : allSchedules())
        if (toString(schedule) == raw)
            return schedule;
    return std::nullopt;
}

QString displayName(Destination::Kind kind)
{
    switch (kind) {
    case Destination::Kind::backblazeB2:
        return QStringLiteral("Backblaze B2");
    case Destination::Kind::s3:
        return QStringLiteral("S3 / R2");
    case Destination::Kind::sftp:
        return QStringLiteral("SFTP");
    case Destination::Kind::local:
        return QStringLiteral("Local disk");
    }
    return {};
}

QString displayName(Destination::Schedule schedule)
{
    switch (schedule) {
    case Destination::Schedule::manual:
        return QStringLiteral("Manual");
    case Destination::Schedule::hourly:
        return QStringLiteral("Hourly");
    case Destination::Schedule::daily:
        return QStringLiteral("Daily");
    }
    return {};
}

const QList<Destination::Kind> &allKinds()
{
    static const QList<Destination::Kind> kinds { Destination::Kind::backblazeB2, Destination::Kind::s3,
        Destination::Kind::sftp, Destination::Kind::local };
    return kinds;
}

const QList<Destination::Schedule> &allSchedules()
{
    static const QList<Destination::Schedule> schedules { Destination::Schedule::manual, Destination::Schedule::hourly,
        Destination::Schedule::daily };
    return schedules;
}

QList<CredentialRole> credentialRoles(Destination::Kind kind)
{
    switch (kind) {
    case Destination::Kind::backblazeB2:
        return { CredentialRole::repoPassword, CredentialRole::b2AccountID, CredentialRole::b2AccountKey };
    case Destination::Kind::s3:
        return { CredentialRole::repoPassword, CredentialRole::awsAccessKeyID, CredentialRole::awsSecretAccessKey };
    case Destination::Kind::sftp:
    case Destination::Kind::local:
        break;
    }
    return { CredentialRole::repoPassword };
}

int compareCanonical(const QString &a, const QString &b)
{
    // UTF-8 byte order is code point order; NFC makes equivalent spellings identical.
    const QByteArray left = a.normalized(QString::NormalizationForm_C).toUtf8();
    const QByteArray right = b.normalized(QString::NormalizationForm_C).toUtf8();
    return left.compare(right);
}

QString Destination::RetentionPolicy::summary() const
{
    return QStringLiteral("Keep %1 daily, %2 weekly, %3 monthly, %4 yearly")
        .arg(keepDaily)
        .arg(keepWeekly)
        .arg(keepMonthly)
        .arg(keepYearly);
}

QStringList Destination::RetentionPolicy::arguments() const
{
    return { QStringLiteral("--keep-daily"), QString::number(keepDaily), QStringLiteral("--keep-weekly"),
        QString::number(keepWeekly), QStringLiteral("--keep-monthly"), QString::number(keepMonthly),
        QStringLiteral("--keep-yearly"), QString::number(keepYearly) };
}

QJsonObject Destination::RetentionPolicy::toJson() const
{
    return QJsonObject {
        { QStringLiteral("keepDaily"), keepDaily },
        { QStringLiteral("keepWeekly"), keepWeekly },
        { QStringLiteral("keepMonthly"), keepMonthly },
        { QStringLiteral("keepYearly"), keepYearly },
    };
}

Destination::RetentionPolicy Destination::RetentionPolicy::fromJson(const QJsonObject &object)
{
    const JsonReader reader(object, QStringLiteral("retention"));
    RetentionPolicy policy;
    policy.keepDaily = reader.integer(QStringLiteral("keepDaily"));
    policy.keepWeekly = reader.integer(QStringLiteral("keepWeekly"));
    policy.keepMonthly = reader.integer(QStringLiteral("keepMonthly"));
    policy.keepYearly = reader.integer(QStringLiteral("keepYearly"));
    return policy;
}

const QStringList &Destination::defaultExcludes()
{
    // The desktop trash: the home one, and the ".Trash-<uid>" folders other disks keep at their top.
    static const QStringList list { QStringLiteral("~/.local/share/Trash"), QStringLiteral(".Trash-*") };
    return list;
}

const QStringList &Destination::protectedExcludes()
{
    // Nothing on this system must be left out whatever the destination says; the list stays so
    // that agents keep seeing the key.
    static const QStringList list;
    return list;
}

QString Destination::backupScope() const
{
    auto sorted = [](QStringList list) {
        std::stable_sort(
            list.begin(), list.end(), [](const QString &a, const QString &b) { return compareCanonical(a, b) < 0; });
        return list;
    };
    QJsonArray parts;
    parts.append(repository);
    for (const QString &source : sorted(sources))
        parts.append(source);
    parts.append(QStringLiteral("--excludes--"));
    for (const QString &exclude : sorted(excludes))
        parts.append(exclude);
    QByteArray encoded;
    try {
        encoded = json::write(parts, { json::Style::Compact, true });
    } catch (const JsonError &) {
        encoded.clear();
    }
    return QString::fromLatin1(QCryptographicHash::hash(encoded, QCryptographicHash::Sha256).toHex());
}

QString Destination::resolvedSource(const QString &source)
{
    // restic tidies a source before it looks at it, so "link/" is the link itself, of which it
    // would store only the link: tidied first, it leads to its folder like "link".
    const QString tidied = source.isEmpty() ? source : QDir::cleanPath(source);
    const QByteArray path = LocalPath::encode(tidied);
    struct stat info;
    if (path.isEmpty() || ::lstat(path.constData(), &info) != 0 || !S_ISLNK(info.st_mode))
        return tidied;
    char *resolved = ::realpath(path.constData(), nullptr);
    if (!resolved)
        return source;
    const QString folder = LocalPath::decode(resolved);
    std::free(resolved);
    return folder;
}

QStringList Destination::resolvedSources() const
{
    QStringList resolved;
    for (const QString &source : sources) {
        const QString path = resolvedSource(source);
        if (!resolved.contains(path))
            resolved.append(path);
    }
    return resolved;
}

QString Destination::expandTilde(const QString &path)
{
    if (path == QStringLiteral("~"))
        return AppPaths::homeDirectory();
    if (path.startsWith(QStringLiteral("~/")))
        return AppPaths::homeDirectory() + u'/' + path.mid(2);
    return path;
}

QString Destination::expandExclude(const QString &pattern)
{
    return expandExclude(pattern, AppPaths::homeDirectory());
}

QString Destination::expandExclude(const QString &pattern, const QString &home)
{
    // "!~/x" re-includes the folder that "~/x" excludes; unexpanded it would match nothing. A
    // home folder such as "/home/a[1]" is a name, not a class.
    const bool negated = pattern.startsWith(u'!');
    const QString body = negated ? pattern.mid(1) : pattern;
    QString expanded;
    if (body == QLatin1String("~"))
        expanded = literalPattern(home);
    else if (body.startsWith(QLatin1String("~/")))
        expanded = literalPattern(home) + u'/' + body.mid(2);
    else
        return pattern;
    return negated ? u'!' + expanded : expanded;
}

QString Destination::literalPattern(const QString &text)
{
    QString result;
    result.reserve(text.size() + 8);
    if (text.startsWith(u'!'))
        result.append(u'\\');
    for (const QChar c : text) {
        if (c == u'\\' || c == u'*' || c == u'?' || c == u'[' || c == u']')
            result.append(u'\\');
        result.append(c);
    }
    return result;
}

namespace {

// Where the components of a pattern, from `part` on, can stand after matching the
// names of a path from `name` on, as restic matches them: "**" takes any number of names, any
// other component exactly one, and a pattern that ends before the path does matches all of it,
// as it matches everything below what it names. Each place is an index into `parts`, once.
void remainders(const std::vector<std::string_view> &parts, std::size_t part,
    const std::vector<std::string_view> &names, std::size_t name, std::vector<bool> &visited,
    std::vector<std::size_t> &found)
{
    const std::size_t state = part * (names.size() + 1) + name;
    if (visited[state])
        return;
    visited[state] = true;
    if (part == parts.size() || name == names.size()) {
        if (std::find(found.cbegin(), found.cend(), part) == found.cend())
            found.push_back(part);
        // A "**" there may also stand for no name: what follows it is a place too, which
        // restic's bound on each "**" (ExcludeMatcher::boundedMatches) may need.
        if (part < parts.size() && parts[part] == "**")
            remainders(parts, part + 1, names, name, visited, found);
        return;
    }
    const std::string_view component = parts[part];
    if (component == "**") {
        remainders(parts, part + 1, names, name, visited, found);
        remainders(parts, part, names, name + 1, visited, found);
    } else if (GoGlob::plain(component) ? component == names[name] : GoGlob::matches(component, names[name])) {
        remainders(parts, part + 1, names, name + 1, visited, found);
    }
}

// `body` spelt through `resolved` for every way its leading components can match `spelt`, a
// source that is a link to `resolved`, from the root for an absolute pattern, from any of its
// names for a relative one: restic walks the folder the link leads to and tests the paths it
// finds there, never the ones the user wrote the pattern for. "~/*/app", "~/Proj*/app",
// "~/**/app" and "Projects/app" apply there as "~/Projects/app" does.
QStringList throughLink(const QString &body, const QString &spelt, const QString &resolved)
{
    const bool rooted = body.startsWith(u'/');
    const QByteArray pattern = LocalPath::encode(body);
    const std::vector<std::string_view> parts
        = GoGlob::cleanComponents(std::string_view(pattern.constData(), std::size_t(pattern.size())), rooted);
    // Respelling costs the square of a pattern's length, and each respelling is one more argument
    // of restic's: past these bounds a pattern applies as written, which leaves out less, never more.
    constexpr std::size_t mostComponents = 256;
    constexpr std::size_t mostRespellings = 64;
    if (parts.size() > mostComponents)
        return {};
    const QByteArray path = LocalPath::encode(spelt);
    const std::vector<std::string_view> names
        = GoGlob::cleanComponents(std::string_view(path.constData(), std::size_t(path.size())), true);
    std::vector<bool> visited((parts.size() + 1) * (names.size() + 1));
    std::vector<std::size_t> found;
    for (std::size_t begin = 0; begin < (rooted ? 1 : names.size()); ++begin)
        remainders(parts, 0, names, begin, visited, found);
    if (found.size() > mostRespellings)
        return {};
    QStringList result;
    const QByteArray folder = LocalPath::encode(Destination::literalPattern(resolved));
    // A "**" at the end adds nothing to what the folder before it leaves out, but would count
    // against restic's bound on the others.
    std::size_t end = parts.size();
    while (end > 0 && parts[end - 1] == "**")
        --end;
    for (const std::size_t part : found) {
        // A relative pattern none of whose components met the link's names applies as it is.
        if (!rooted && part == 0)
            continue;
        QByteArray respelt = folder;
        for (std::size_t i = part; i < end; ++i)
            respelt += '/' + QByteArray(parts[i].data(), qsizetype(parts[i].size()));
        result.append(LocalPath::decode(respelt));
    }
    return result;
}

} // namespace

QStringList Destination::resticExcludes(const QStringList &patterns, const QStringList &sources)
{
    QList<std::pair<QString, QString>> links; // spelt, resolved
    for (const QString &source : sources) {
        const QString spelt = source.isEmpty() ? source : QDir::cleanPath(source);
        const QString resolved = QDir::cleanPath(resolvedSource(source));
        if (spelt.startsWith(u'/') && resolved != spelt && !links.contains({ spelt, resolved }))
            links.append({ spelt, resolved });
    }
    QStringList result;
    for (const QString &pattern : patterns) {
        const QString expanded = expandExclude(pattern);
        result.append(expanded);
        const bool negated = expanded.startsWith(u'!');
        const QString body = negated ? expanded.mid(1) : expanded;
        for (const auto &[spelt, resolved] : std::as_const(links))
            for (const QString &other : throughLink(body, spelt, resolved))
                result.append(negated ? u'!' + other : other);
    }
    const QString cache = AppPaths::resticCacheDirectory();
    for (const auto &[spelt, resolved] : std::as_const(links))
        if (cache == spelt || cache.startsWith(spelt + u'/'))
            result.append(literalPattern(resolved + cache.mid(spelt.size())));
    return result;
}

QStringList Destination::excludeArguments() const
{
    // restic lets the last matching pattern decide, so a repeat adds nothing only when no pattern
    // of the other kind ("!" against plain) came since the copy kept; otherwise it must stay.
    QHash<QString, int> keptAt; // pattern -> patterns of the other kind seen when last kept
    int counts[2] = { 0, 0 }; // plain, "!"
    QStringList arguments;
    for (const QString &expanded : resticExcludes(excludes + protectedExcludes(), sources)) {
        const bool negated = expanded.startsWith(u'!');
        const int others = counts[negated ? 0 : 1];
        const auto kept = keptAt.constFind(expanded);
        if (kept != keptAt.cend() && *kept == others)
            continue;
        keptAt.insert(expanded, others);
        ++counts[negated ? 1 : 0];
        arguments << QStringLiteral("--exclude") << expanded;
    }
    return arguments;
}

QString Destination::tildeForm(const QString &path)
{
    const QString home = AppPaths::homeDirectory();
    if (path == home)
        return QStringLiteral("~");
    if (path.startsWith(home + u'/'))
        return u'~' + path.mid(home.size());
    return path;
}

QJsonObject Destination::toJson() const
{
    QJsonObject object {
        { kId, uuidText(id) },
        { kCredentialID, uuidText(credentialID) },
        { kName, name },
        { kKind, toString(kind) },
        { kRepository, repository },
        { kSources, json::fromStrings(sources) },
        { kExcludes, json::fromStrings(excludes) },
        { kRetention, retention.toJson() },
        { kPrune, pruneAfterBackup },
        { kSchedule, toString(schedule) },
    };
    if (preferences)
        object.insert(kPreferences, preferences->toJson());
    if (lastBackup)
        object.insert(kLastBackup, json::fromDate(*lastBackup));
    return object;
}

Destination Destination::fromJson(const QJsonObject &object)
{
    const JsonReader reader(object);
    Destination destination;
    destination.id = reader.uuid(kId);
    destination.credentialID = reader.optionalUuid(kCredentialID).value_or(destination.id);
    if (const auto preferences = reader.optionalObject(kPreferences))
        destination.preferences = BackupPreferences::fromJson(*preferences);
    destination.name = reader.string(kName);
    destination.kind = reader.enumeration<Kind>(kKind, kindFromString);
    destination.repository = reader.string(kRepository);
    destination.sources = reader.optionalStrings(kSources).value_or(QStringList {});
    destination.excludes = reader.optionalStrings(kExcludes).value_or(QStringList {});
    if (const auto retention = reader.optionalObject(kRetention))
        destination.retention = RetentionPolicy::fromJson(*retention);
    destination.pruneAfterBackup = reader.optionalBoolean(kPrune).value_or(true);
    if (reader.has(kSchedule))
        destination.schedule = reader.enumeration<Schedule>(kSchedule, scheduleFromString);
    destination.lastBackup = reader.optionalDate(kLastBackup);
    return destination;
}

QList<Destination> Destination::listFromJson(const QJsonArray &array)
{
    QList<Destination> list;
    list.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        if (!array.at(i).isObject())
            throw JsonError(QStringLiteral("Destination %1 is not a JSON object.").arg(i + 1));
        try {
            list.append(fromJson(array.at(i).toObject()));
        } catch (const JsonError &error) {
            throw JsonError(QStringLiteral("Destination %1: %2").arg(i + 1).arg(error.message()));
        }
    }
    return list;
}

QJsonArray Destination::listToJson(const QList<Destination> &list)
{
    QJsonArray array;
    for (const Destination &destination : list)
        array.append(destination.toJson());
    return array;
}

QByteArray Destination::encodeFile(const QList<Destination> &list)
{
    return json::pretty(listToJson(list));
}

QList<Destination> Destination::decodeFile(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return {};
    return listFromJson(json::parseArray(bytes, QStringLiteral("The destinations file")));
}

} // namespace vellmir
