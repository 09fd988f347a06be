// The change commands of AgentControl and perform(), their shared approval and audit step.

#include "agent/AgentControl.h"
#include "agent/AgentParameters.h"
#include "agent/ChangeQuestion.h"

#include "config/DestinationWriter.h"
#include "config/FileLock.h"
#include "operations/RestoreRunner.h"
#include "platform/KeyringSession.h"
#include "util/AppPaths.h"
#include "util/LocalPath.h"
#include "util/TextRules.h"
#include "util/Uuid.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QLocale>
#include <QRandomGenerator>
#include <chrono>
#include <sys/stat.h>
#include <thread>

namespace vellmir {

using namespace ChangeQuestion;

namespace {

const QString arrow = QStringLiteral(" → ");
// How often an agent's update is applied again when the destination keeps changing under it.
constexpr int updateAttempts = 5;

// Refuses `name` when a destination other than `self` already has it, or one that looks the same
// (DestinationStore::takenName).
void refuseTakenName(const QList<Destination> &destinations, const QString &name, const QUuid &self)
{
    const std::optional<QString> taken = DestinationStore::takenName(destinations, name, self);
    if (!taken)
        return;
    const auto folded
        = [](const QString &text) { return text.normalized(QString::NormalizationForm_KC).toCaseFolded(); };
    if (folded(*taken) == folded(name))
        throw AgentError::usage(QStringLiteral("A destination named ") + name + QStringLiteral(" already exists."));
    // Said with what tells the two apart written out, or the sentence would read "Home looks the
    // same as Home".
    throw AgentError::usage(TextRules::withoutIsolates(TextRules::isolatedApart(name, *taken))
        + QStringLiteral(" looks the same as ") + TextRules::withoutIsolates(TextRules::isolatedApart(*taken, name))
        + QStringLiteral(", the name of another destination, so the two could be taken for each other."));
}

QString quoted(const QString &name)
{
    return QStringLiteral("“") + name + QStringLiteral("”");
}

// A destination's name as a question holds it, told apart from another destination's name that
// looks the same (kept from before such names were refused).
QString shownQuoted(const QString &name, const QList<Destination> &destinations = {})
{
    QStringList others;
    for (const Destination &destination : destinations)
        others.append(destination.name);
    return QStringLiteral("“") + isolatedApart(name, bySkeleton(others)) + QStringLiteral("”") + mixedNote(name);
}

QString asText(const QString &line)
{
    return TextRules::withoutIsolates(line);
}

// "1 folder", "3 folders"
QString counted(qsizetype count, const QString &one, const QString &many)
{
    return QString::number(count) + u' ' + (count == 1 ? one : many);
}

// What changes between `before` and `after`, each kind counted, what narrows the backup first:
// the start of the question's first line, before any name, so that a change deep down a long
// list is known from the start and no long name pushes the counts out of sight. `leftOut` is
// what updateContents() found for the change, from its walk of the folders.
QString changeCounts(const Destination &before, const Destination &after, const LeftOut &leftOut)
{
    const auto missingFrom = [](const QStringList &values, const QStringList &others) {
        QStringList missing;
        for (const QString &value : values)
            if (!others.contains(value))
                missing.append(value);
        return missing;
    };
    const Destination::RetentionPolicy &was = before.retention;
    const Destination::RetentionPolicy &is = after.retention;
    const bool shortened = is.keepDaily < was.keepDaily || is.keepWeekly < was.keepWeekly
        || is.keepMonthly < was.keepMonthly || is.keepYearly < was.keepYearly;
    const int otherSettings = int(before.pruneAfterBackup != after.pruneAfterBackup)
        + int(before.effectivePreferences().onlyOnAC != after.effectivePreferences().onlyOnAC)
        + int(before.effectivePreferences().avoidMeteredNetworks != after.effectivePreferences().avoidMeteredNetworks)
        + int(before.effectivePreferences().uploadLimitKiB != after.effectivePreferences().uploadLimitKiB);

    const QStringList addedExcludes = missingFrom(after.excludes, before.excludes);
    QStringList kinds;
    if (const QString note = leftOutNote(leftOut.unnamed()); !note.isEmpty())
        kinds.append(note);
    if (const qsizetype removed = missingFrom(before.sources, after.sources).size())
        kinds.append(
            counted(removed, QStringLiteral("folder"), QStringLiteral("folders")) + QStringLiteral(" removed"));
    if (!addedExcludes.isEmpty())
        kinds.append(counted(addedExcludes.size(), QStringLiteral("exclude"), QStringLiteral("excludes"))
            + QStringLiteral(" added") + folderWideNote(addedExcludes, leftOut));
    if (was != is)
        kinds.append(shortened ? QStringLiteral("retention shortened") : QStringLiteral("retention changed"));
    if (before.name != after.name)
        kinds.append(QStringLiteral("name changed"));
    if (before.schedule != after.schedule)
        kinds.append(QStringLiteral("schedule changed"));
    if (otherSettings > 0)
        kinds.append(counted(otherSettings, QStringLiteral("other setting"), QStringLiteral("other settings"))
            + QStringLiteral(" changed"));
    if (const qsizetype added = missingFrom(after.sources, before.sources).size())
        kinds.append(counted(added, QStringLiteral("folder"), QStringLiteral("folders")) + QStringLiteral(" added"));
    if (const qsizetype removed = missingFrom(before.excludes, after.excludes).size())
        kinds.append(
            counted(removed, QStringLiteral("exclude"), QStringLiteral("excludes")) + QStringLiteral(" removed"));
    QString line = kinds.join(QStringLiteral(", "));
    if (!line.isEmpty())
        line[0] = line[0].toUpper();
    return line + u'.';
}

QString onOff(bool value)
{
    return value ? QStringLiteral("on") : QStringLiteral("off");
}

// "~" and "~/..." against the home folder, after trimming; nothing else is touched.
QString expandedPath(const QString &path)
{
    const QString trimmed = path.trimmed();
    if (trimmed == QLatin1String("~"))
        return AppPaths::homeDirectory();
    if (trimmed.startsWith(QLatin1String("~/")))
        return AppPaths::homeDirectory() + QLatin1Char('/') + trimmed.mid(2);
    return trimmed;
}

// The repository of a new destination as restic is to get it. restic takes a relative local
// path (or one that looks like an option) from whatever folder the process happens to run in,
// and the scheduled runs start elsewhere, so a local repository names its folder absolutely.
QString repositoryLocation(Destination::Kind kind, const QString &given)
{
    const QString repository = given.trimmed();
    // The command table holds each kind to its own prefix.
    if (kind == Destination::Kind::local && repository.startsWith(QLatin1String("~/")))
        return expandedPath(repository);
    if (const std::optional<QString> refusal = ResticEngine::repositoryRefusal(repository))
        throw AgentError::usage(*refusal);
    return repository;
}

// The repository and the secrets of its kind as restic's environment, each secret taken from
// the raw parameters.
ResticEnvironment credentialVariables(
    Destination::Kind kind, const QString &repository, const AgentParameters &parameters)
{
    ResticEnvironment variables { { QStringLiteral("RESTIC_REPOSITORY"), repository } };
    for (CredentialRole role : credentialRoles(kind)) {
        const QString parameter = AgentControl::credentialParameter(role);
        // "S3" and "SFTP" are read letter by letter: "an ess...".
        const bool vowelSound = kind == Destination::Kind::s3 || kind == Destination::Kind::sftp;
        const QString needs = (vowelSound ? QStringLiteral("An ") : QStringLiteral("A ")) + displayName(kind)
            + QStringLiteral(" destination needs ") + parameter + u'.';
        const QJsonValue value = parameters.values().value(parameter);
        if (value.isUndefined())
            throw AgentError::usage(needs);
        // Text, by the table. Taken exactly as given: a trimmed password would seal a repository
        // with something other than what its owner typed. Blanks alone are no secret.
        const QString secret = value.toString();
        if (secret.trimmed().isEmpty())
            throw AgentError::usage(needs);
        variables.insert(CredentialRoles::environmentVariable(role), secret);
    }
    return variables;
}

// `current` without the removed entries, then the additions.
QStringList withChanges(const QStringList &current, const QStringList &removed, const QStringList &added)
{
    QStringList result;
    for (const QString &entry : current)
        if (!removed.contains(entry))
            result.append(entry);
    return result + added;
}

// The retention policy with the given keep counts; a changed policy must keep something.
Destination::RetentionPolicy updatedRetention(
    const Destination::RetentionPolicy &current, const AgentParameters &parameters)
{
    Destination::RetentionPolicy updated = current;
    const std::pair<const QString &, qint64 Destination::RetentionPolicy::*> counts[] = {
        { param::keepDaily, &Destination::RetentionPolicy::keepDaily },
        { param::keepWeekly, &Destination::RetentionPolicy::keepWeekly },
        { param::keepMonthly, &Destination::RetentionPolicy::keepMonthly },
        { param::keepYearly, &Destination::RetentionPolicy::keepYearly },
    };
    for (const auto &[name, member] : counts)
        if (const std::optional<qint64> value = parameters.integer(name))
            updated.*member = *value;
    // A changed policy that keeps nothing would let retention delete every snapshot.
    if (updated != current && updated.keepDaily == 0 && updated.keepWeekly == 0 && updated.keepMonthly == 0
        && updated.keepYearly == 0)
        throw AgentError::usage(QStringLiteral("Retention must keep at least one snapshot."));
    return updated;
}

// The table admits only the schedules' own names.
Destination::Schedule parsedSchedule(const QString &text)
{
    return scheduleFromString(text).value_or(Destination::Schedule::manual);
}

QStringList tildeForms(const QStringList &paths)
{
    QStringList forms;
    for (const QString &path : paths)
        forms.append(Destination::tildeForm(path));
    return forms;
}

void addWarning(QJsonObject &reply, const std::optional<QString> &warning)
{
    if (!warning)
        return;
    const QString existing = reply.value(QStringLiteral("warning")).toString();
    reply.insert(QStringLiteral("warning"), existing.isEmpty() ? *warning : existing + QLatin1Char(' ') + *warning);
}

// The question's line on what restic found at the repository; refuses one that cannot be used.
QString repositoryState(const ConnectionStatus &status, bool initialize, const QString &repository)
{
    switch (status.kind) {
    case ConnectionStatus::Kind::ok:
        return QStringLiteral("Repository: existing, %1 snapshot(s)").arg(QString::number(status.snapshotCount));
    case ConnectionStatus::Kind::failed:
        break;
    case ConnectionStatus::Kind::notInitialized:
        if (!initialize)
            throw AgentError::failed(QStringLiteral("No repository exists at ") + repository + QStringLiteral(". ")
                + AgentParameters::switchedOn(param::initialize) + QStringLiteral(" to create one."));
        return QStringLiteral("Repository: will be created");
    }
    throw AgentError::failed(QStringLiteral("Could not open the repository: ") + status.message);
}

} // namespace

QJsonObject AgentControl::perform(
    const ChangeRequest &request, const std::function<QJsonObject()> &change, std::stop_token stop)
{
    const ApprovalDecision decision
        = m_store->policy().changesWithoutApproval ? ApprovalDecision::approvedBySetting : [&] {
              const WaitingForUser waiting;
              return m_approver->decide(request, stop);
          }();

    AgentAuditLog::Entry entry;
    entry.time = Date::now();
    entry.command = request.command;
    entry.summary = asText((QStringList { request.title } + request.details).join(QStringLiteral(" | ")));
    entry.decision = decision;

    if (!allows(decision)) {
        // The line says what happened and why, in the words the agent is given.
        const std::optional<Unanswered> why
            = decision == ApprovalDecision::timedOut ? m_approver->unanswered() : std::nullopt;
        const AgentError refusal
            = why ? AgentError::unanswered(*why, m_approver->unansweredDetail()) : AgentError::denied(decision);
        if (why)
            entry.decision = ApprovalDecision::notAsked;
        entry.reason = refusal.message();
        m_audit.append(entry);
        throw refusal;
    }

    // A change may name what it acted on only as it acts (a restore approved by the setting
    // learns its snapshot from restic): the line says what the request says by then.
    const auto append = [&](const QString &outcome) {
        entry.summary = asText((QStringList { request.title } + request.details).join(QStringLiteral(" | ")));
        entry.outcome = outcome;
        m_audit.append(entry);
    };
    // The user's decision is on record before anything changes: a process killed mid-change
    // still leaves it, and the line after says how the change ended.
    append(QStringLiteral("started"));
    QJsonObject reply;
    try {
        reply = change();
    } catch (const std::exception &error) {
        append(QStringLiteral("failed: ") + errorDescription(error));
        throw;
    } catch (...) {
        append(QStringLiteral("failed: The change could not be made."));
        throw;
    }
    append(reply.value(QStringLiteral("outcome")) == QStringLiteral("cancelled") ? QStringLiteral("cancelled")
                                                                                 : QStringLiteral("succeeded"));
    reply.insert(QStringLiteral("approval"), toString(decision));
    return reply;
}

QString AgentControl::credentialParameter(CredentialRole role)
{
    return role == CredentialRole::repoPassword ? param::password : CredentialRoles::toString(role);
}

QJsonObject AgentControl::addDestination(const AgentParameters &parameters, std::stop_token stop)
{
    // The table admits only the kinds' own names, and a name with more than blanks.
    const Destination::Kind kind
        = kindFromString(parameters.requiredString(param::kind)).value_or(Destination::Kind::local);
    const QString name = parameters.requiredString(param::name).trimmed();
    const QString repository = repositoryLocation(kind, parameters.requiredString(param::repository));
    refuseTakenName(m_store->destinations(), name, QUuid());
    const QStringList sources = folders(parameters.strings(param::sources));
    const QStringList givenExcludes = parameters.strings(param::excludes);
    const QStringList excludes = merged(Destination::defaultExcludes(), givenExcludes);
    const Destination::Schedule schedule = parsedSchedule(parameters.string(param::schedule).value());

    Destination destination;
    destination.id = newUuid();
    destination.credentialID = destination.id;
    destination.preferences = BackupPreferences {};
    destination.name = name;
    destination.kind = kind;
    destination.repository = repository;
    destination.sources = sources;
    destination.excludes = excludes;
    destination.retention = Destination::RetentionPolicy {};
    destination.pruneAfterBackup = true;
    destination.schedule = schedule;

    const ResticEnvironment variables = credentialVariables(kind, repository, parameters);

    const bool initialize = parameters.boolean(param::initialize).value_or(false);
    refuseOutsideChange();

    const ConnectionStatus status = m_engine.probe(variables, stop);
    const QString repositoryLine = repositoryState(status, initialize, repository);
    const bool create = status.kind == ConnectionStatus::Kind::notInitialized;

    const LeftOut leftOut(nullptr, destination, excludes);
    // Two folders or two patterns of the new destination that look the same are told apart.
    const QMultiHash<QString, QString> sourceLook = bySkeleton(tildeForms(sources));
    const QMultiHash<QString, QString> excludeLook = bySkeleton(excludes);
    QStringList shownSources;
    for (const QString &folder : tildeForms(sources))
        shownSources.append(shownApart(folder, sourceLook));
    // The counts come before the name, which may be long.
    ChangeRequest request { QStringLiteral("add-destination"),
        counted(sources.size(), QStringLiteral("folder"), QStringLiteral("folders")) + QStringLiteral(", ")
            + counted(excludes.size(), QStringLiteral("exclude"), QStringLiteral("excludes"))
            + folderWideNote(excludes, leftOut)
            + (leftOut.unnamed().isEmpty() ? QString() : QStringLiteral(" (") + leftOutNote(leftOut.unnamed()) + u')')
            + QStringLiteral(". Add the destination ") + shownQuoted(name) + u'?',
        QStringList { displayName(kind) + QStringLiteral(": ") + shown(repository), repositoryLine }
            + leftOutLines(leftOut.unnamed()) };
    // What the destination leaves out is as much its content as what it backs up: "*" backs up
    // nothing. It comes before the folders, which may be many, and a pattern that leaves out a
    // whole folder before the others. Retention, pruning and conditions are the defaults, which
    // this command never changes.
    for (const QString &pattern : folderWideFirst(excludes, leftOut))
        request.details.append(QStringLiteral("Exclude: ") + shownApart(pattern, excludeLook));
    request.details.append(QStringLiteral("Folders: ")
        + (sources.isEmpty() ? QStringLiteral("none yet") : shownSources.join(QStringLiteral(", "))));
    request.details.append(QStringLiteral("Schedule: ") + displayName(schedule));

    return perform(
        request,
        [&] {
            if (create)
                createRepository(name, destination.id, variables, stop);
            // Checked again at the write, under the lock: another agent may have taken the name
            // since the check above.
            DestinationWriter(m_credentials)
                .save(destination, variables, *m_store, std::nullopt,
                    [&](const QList<Destination> &stored) { refuseTakenName(stored, name, destination.id); });
            const std::optional<Destination> stored = m_store->destination(destination.id);
            if (!stored)
                throw AgentError::failed(QStringLiteral("The destination was not saved."));
            QJsonObject reply { { QStringLiteral("added"), destinationSummary(*stored) } };
            addWarning(reply, reconcileScheduler(m_store->destinations()));
            return reply;
        },
        stop);
}

void AgentControl::createRepository(
    const QString &name, const QUuid &id, const ResticEnvironment &variables, std::stop_token stop)
{
    // The approval may have taken minutes, so the name is looked at again before a repository is
    // made for it. restic then runs outside the destinations lock: over a slow link "init" takes
    // minutes, and every other command of every destination needs that lock meanwhile.
    m_store->reload();
    refuseOutsideChange();
    refuseTakenName(m_store->destinations(), name, id);
    const ConnectionStatus created = m_engine.initialize(variables, stop);
    if (created.kind != ConnectionStatus::Kind::ok)
        throw AgentError::failed(QStringLiteral("Could not create the repository: ") + created.message);
}

namespace {

// The folders and exclude patterns of `destination` with the arguments' additions and removals,
// and the lines that describe them: those that narrow the backup, and those that widen it.
// Returns what the change leaves out whole.
LeftOut updateContents(const Destination &destination, const AgentParameters &parameters, Destination &updated,
    QStringList &narrowing, QStringList &widening)
{
    QStringList addedSources;
    for (const QString &folder : AgentControl::folders(parameters.strings(param::addSources)))
        if (!destination.sources.contains(folder))
            addedSources.append(folder);

    QStringList removedSources;
    for (const QString &given : parameters.strings(param::removeSources)) {
        const QString path = QDir::cleanPath(expandedPath(given));
        if (!destination.sources.contains(path))
            throw AgentError::usage(Destination::tildeForm(path) + QStringLiteral(" is not one of ") + destination.name
                + QStringLiteral("'s folders."));
        if (!removedSources.contains(path))
            removedSources.append(path);
    }
    updated.sources = withChanges(destination.sources, removedSources, addedSources);

    QStringList addedExcludes;
    const QStringList givenExcludes = parameters.strings(param::addExcludes);
    for (const QString &pattern : givenExcludes)
        if (!destination.excludes.contains(pattern))
            addedExcludes.append(pattern);
    QStringList removedExcludes;
    for (const QString &pattern : parameters.strings(param::removeExcludes)) {
        if (!destination.excludes.contains(pattern))
            throw AgentError::usage(pattern + QStringLiteral(" is not one of ") + destination.name
                + QStringLiteral("'s exclude patterns."));
        removedExcludes.append(pattern);
    }
    updated.excludes = withChanges(destination.excludes, removedExcludes, addedExcludes);

    // A value that looks like another of its kind is told apart from it on both sides of the
    // change, and from the ones that stay, which its line names.
    const QStringList removedFolders = tildeForms(removedSources);
    const QStringList addedFolders = tildeForms(addedSources);
    const Twins folders { removedFolders, addedFolders,
        tildeForms(withChanges(destination.sources, removedSources, {})), QStringLiteral("backed up") };
    const Twins patterns { removedExcludes, addedExcludes, withChanges(destination.excludes, removedExcludes, {}),
        QStringLiteral("excluded") };
    const LeftOut leftOut(&destination, updated, addedExcludes);
    narrowing.append(leftOutLines(leftOut.unnamed()));
    for (const QString &folder : removedFolders)
        narrowing.append(QStringLiteral("Stop backing up: ") + folders.removal(folder));
    for (const QString &pattern : folderWideFirst(addedExcludes, leftOut))
        narrowing.append(QStringLiteral("Exclude: ") + patterns.addition(pattern));
    for (const QString &folder : addedFolders)
        widening.append(QStringLiteral("Back up: ") + folders.addition(folder));
    for (const QString &pattern : removedExcludes)
        widening.append(QStringLiteral("Stop excluding: ") + patterns.removal(pattern));
    return leftOut;
}

// The conditions of scheduled runs with the arguments applied, and the lines that describe them.
void updateConditions(
    const Destination &destination, const AgentParameters &parameters, Destination &updated, QStringList &changes)
{
    const BackupPreferences current = destination.effectivePreferences();
    BackupPreferences conditions = current;
    if (const std::optional<bool> value = parameters.boolean(param::onlyOnAC))
        conditions.onlyOnAC = *value;
    if (const std::optional<bool> value = parameters.boolean(param::avoidMeteredNetworks))
        conditions.avoidMeteredNetworks = *value;
    if (const std::optional<qint64> value = parameters.integer(param::uploadLimitKiB))
        conditions.uploadLimitKiB = *value;
    if (conditions.onlyOnAC != current.onlyOnAC)
        changes.append(QStringLiteral("Only on AC power: ") + onOff(conditions.onlyOnAC));
    if (conditions.avoidMeteredNetworks != current.avoidMeteredNetworks)
        changes.append(QStringLiteral("Avoid metered networks: ") + onOff(conditions.avoidMeteredNetworks));
    if (conditions.uploadLimitKiB != current.uploadLimitKiB)
        changes.append(conditions.uploadLimitKiB == 0
                ? QStringLiteral("Upload limit: none")
                : QStringLiteral("Upload limit: %1 KiB/s").arg(QString::number(conditions.uploadLimitKiB)));
    if (conditions != current)
        updated.preferences = conditions;
}

} // namespace

AgentControl::Update AgentControl::applyUpdate(const Destination &destination, const AgentParameters &parameters) const
{
    Destination updated = destination;
    // What narrows the backup comes first, the lists that widen it last, so that a folder
    // removed or an exclude added is never below a long list of folders added.
    QStringList narrowing;
    QStringList changes;
    QStringList widening;

    if (const std::optional<QString> given = parameters.string(param::name)) {
        const QString name = given->trimmed();
        if (name != destination.name) { // the table refuses a blank one
            refuseTakenName(m_store->destinations(), name, destination.id);
            updated.name = name;
            changes.append(QStringLiteral("Name: ") + shownApart(destination.name, bySkeleton({ name })) + arrow
                + shownApart(name, bySkeleton({ destination.name })));
        }
    }

    const LeftOut leftOut = updateContents(destination, parameters, updated, narrowing, widening);

    if (const std::optional<QString> given = parameters.string(param::schedule)) {
        updated.schedule = parsedSchedule(*given);
        if (updated.schedule != destination.schedule)
            changes.append(QStringLiteral("Schedule: ") + displayName(destination.schedule) + arrow
                + displayName(updated.schedule));
    }

    updated.retention = updatedRetention(destination.retention, parameters);
    if (updated.retention != destination.retention)
        narrowing.append(
            QStringLiteral("Retention: ") + destination.retention.summary() + arrow + updated.retention.summary());

    if (const std::optional<bool> prune = parameters.boolean(param::pruneAfterBackup)) {
        updated.pruneAfterBackup = *prune;
        if (*prune != destination.pruneAfterBackup)
            changes.append(QStringLiteral("Apply retention after backups: ") + onOff(*prune));
    }

    updateConditions(destination, parameters, updated, changes);
    return { updated, narrowing + changes + widening, changeCounts(destination, updated, leftOut) };
}

QJsonObject AgentControl::updateDestination(
    const Destination &destination, const AgentParameters &parameters, std::stop_token stop)
{
    const Update asked = applyUpdate(destination, parameters);
    if (asked.updated == destination)
        return QJsonObject { { QStringLiteral("updated"), destinationSummary(destination) },
            { QStringLiteral("changes"), QJsonArray {} } };
    refuseOutsideChange();

    const ChangeRequest request { QStringLiteral("update-destination"),
        asked.counts + QStringLiteral(" Change ") + shownQuoted(destination.name, m_store->destinations()) + u'?',
        asked.changes };
    // Read before perform() reads it too: the retries below reload the store, setting and all.
    const bool questionAsked = !m_store->policy().changesWithoutApproval;
    return perform(
        request,
        [&] {
            const Destination saved = saveAllowedUpdate(destination, parameters, asked, questionAsked);
            QJsonArray changes;
            for (const QString &line : asked.changes)
                changes.append(asText(line));
            QJsonObject reply { { QStringLiteral("updated"), destinationSummary(saved) },
                { QStringLiteral("changes"), changes } };
            addWarning(reply, reconcileScheduler(m_store->destinations()));
            return reply;
        },
        stop);
}

Destination AgentControl::saveAllowedUpdate(
    const Destination &destination, const AgentParameters &parameters, const Update &asked, bool questionAsked)
{
    // The user allowed the lines they were shown, not the arguments: applied to a destination
    // that changed meanwhile (another agent, the window), the same arguments may add back a
    // folder that was just removed, or undo a rename. Allowed by the setting, no question was
    // open: the change came while this update was being saved.
    const AgentError changed = AgentError::failed(quoted(destination.name)
        + (questionAsked
                ? QStringLiteral(" changed while the approval question was open, so this update was not made: it "
                                 "would no longer make exactly the change that was allowed.")
                : QStringLiteral(" was changed by another update while this one was being saved, so this one was "
                                 "not made: it would no longer make exactly the change that was asked for."))
        + QStringLiteral(" Read the destination again and retry."));
    Destination base = destination;
    Update update = asked;
    for (int attempt = 1;; ++attempt) {
        try {
            if (update.updated != base)
                m_store->upsert(update.updated, base, [&](const QList<Destination> &stored) {
                    // A rename is checked again under the lock; a destination that keeps
                    // its name is not refused for a clash it did not make.
                    if (update.updated.name != base.name)
                        refuseTakenName(stored, update.updated.name, destination.id);
                });
            return update.updated;
        } catch (const Error &error) {
            if (error.kind() != ErrorKind::conflict)
                throw;
            if (attempt == updateAttempts)
                throw AgentError::failed(quoted(destination.name)
                    + QStringLiteral(" kept changing while this update was being saved, so it was not made. "
                                     "Read the destination again and retry."));
        }
        // Writers that collide keep colliding when they retry in step: each waits a
        // random, growing moment first.
        std::this_thread::sleep_for(
            std::chrono::milliseconds(QRandomGenerator::global()->bounded(50 * attempt, 150 * attempt)));
        m_store->reload();
        const std::optional<Destination> current = m_store->destination(destination.id);
        if (!current)
            throw AgentError::failed(quoted(destination.name)
                + QStringLiteral(" was removed while this update waited, so it was not made."));
        base = *current;
        try {
            update = applyUpdate(base, parameters);
        } catch (const AgentError &) {
            // The arguments fitted the settings they were checked against, not the new ones.
            throw changed;
        }
        if (update.changes != asked.changes)
            throw changed;
    }
}

QJsonObject AgentControl::removeDestination(const Destination &destination, std::stop_token stop)
{
    const ChangeRequest request { QStringLiteral("remove-destination"),
        QStringLiteral("Remove ") + shownQuoted(destination.name, m_store->destinations()) + u'?',
        { displayName(destination.kind) + QStringLiteral(": ") + shown(destination.repository),
            QStringLiteral("Its stored credentials are deleted from the keyring. The repository and its snapshots "
                           "are not touched.") } };
    refuseOutsideChange();
    return perform(
        request,
        [&] {
            const DestinationStore::Removed removed = m_store->remove(destination, m_credentials);
            QJsonObject reply { { QStringLiteral("removed"), destination.name },
                { QStringLiteral("repositoryKept"), destination.repository } };
            // The destination is gone, but the agent must not be told its secrets are too.
            addWarning(reply, removed.warning);
            addWarning(reply, reconcileScheduler(m_store->destinations()));
            return reply;
        },
        stop);
}

namespace {

// The first detail line of a restore's request.
QString snapshotLine(const Snapshot &snapshot)
{
    const QString when = QLocale::system().toString(snapshot.time.toDateTime().toLocalTime(), QLocale::ShortFormat);
    return QStringLiteral("Snapshot ") + shown(snapshot.shortID) + QStringLiteral(" from ") + shown(snapshot.hostname)
        + QStringLiteral(", ") + when;
}

} // namespace

QJsonObject AgentControl::restore(
    const Destination &destination, const AgentParameters &parameters, std::stop_token stop)
{
    // Every argument is checked before restic is asked for the snapshot.
    const QString query = parameters.requiredString(param::snapshot);
    const QString target = expandedPath(parameters.requiredString(param::target));
    struct stat info { };
    if (::stat(LocalPath::encode(target).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw AgentError::usage(QStringLiteral("target must be an existing folder."));
    std::optional<QString> path = parameters.string(param::path);
    if (path)
        path = snapshotPath(*path);

    // The secrets are read here and again by the runner: over one keyring connection.
    const KeyringSession session;
    const ResticEnvironment variables = environment(destination);
    ChangeRequest request { QStringLiteral("restore"),
        QStringLiteral("Restore from ") + shownQuoted(destination.name, m_store->destinations()) + u'?',
        { QString(), QStringLiteral("Restore: ") + (path ? shown(*path) : QStringLiteral("the whole snapshot")),
            QStringLiteral("Into a new folder inside ") + shown(Destination::tildeForm(target))
                + QStringLiteral(". Existing files are never overwritten.") } };
    const RestoreRun restore = [&](const ResticEngine &engine, const Snapshot &snapshot) {
        RestoreRunner runner(engine, m_credentials, m_health);
        runner.reset();
        runner.execute(snapshot, destination, target, path, stop);
        // Stopped by its caller (a signal, a cancelled call): an answer, as for a backup.
        if (runner.phase() == RestoreRunner::Phase::idle && stop.stop_requested()) {
            QJsonObject reply { { QStringLiteral("outcome"), QStringLiteral("cancelled") } };
            if (runner.restoredPath())
                reply.insert(QStringLiteral("restoredTo"), *runner.restoredPath());
            return reply;
        }
        // A path the snapshot lacks is not found, whether or not the user was asked first.
        if (runner.phase() != RestoreRunner::Phase::finished && runner.matchedNothing())
            throw AgentError::notFound(runner.failureMessage().value_or(QString()));
        if (runner.phase() != RestoreRunner::Phase::finished)
            throw AgentError::failed(runner.failureMessage().value_or(QStringLiteral("The restore did not finish.")));
        QJsonObject reply {
            { QStringLiteral("restoredTo"), runner.restoredPath().value_or(target) },
            { QStringLiteral("verified"), true },
        };
        if (const std::optional<RestoreSummary> &summary = runner.summary()) {
            reply.insert(QStringLiteral("files"), summary->filesRestored);
            reply.insert(QStringLiteral("bytes"), summary->bytesRestored);
        }
        if (runner.failureMessage())
            reply.insert(QStringLiteral("warning"), *runner.failureMessage());
        return reply;
    };
    if (m_store->policy().changesWithoutApproval && resticTakesQuery(query))
        return restoreAtOnce(destination, query, request, restore, variables, stop);

    const Snapshot snapshot = findSnapshot(query, variables, stop);
    // Nobody is asked about a path the snapshot lacks, which restic would only refuse after.
    if (path && *path != QLatin1String("/") && holdsEntry(snapshot, *path, QString(), variables, stop) == false)
        throw AgentError::notFound(
            QStringLiteral("Snapshot ") + snapshot.shortID + QStringLiteral(" holds nothing at ") + *path + u'.');
    request.details[0] = snapshotLine(snapshot);
    return perform(
        request,
        [&] {
            QJsonObject reply = restore(m_engine, snapshot);
            reply.insert(QStringLiteral("snapshot"), snapshot.shortID);
            return reply;
        },
        stop);
}

QJsonObject AgentControl::restoreAtOnce(const Destination &destination, const QString &query, ChangeRequest &request,
    const RestoreRun &restore, const ResticEnvironment &variables, std::stop_token stop)
{
    // Nobody is asked, so no entry is looked for before restic restores. The snapshot is named
    // once, and restic is handed its whole id: asked for "latest" again, restic would take a
    // snapshot made since the lookup, and the reply would name another than the one restored.
    // Both happen in one hold of the repository's lock.
    std::unique_ptr<FileLock> lock;
    try {
        lock = FileLock::repository(
            destination.repository, m_engine.lockDirectory().value_or(QString()), QStringLiteral("a restore"));
    } catch (const std::exception &error) {
        throw AgentError::failed(errorDescription(error));
    }
    const ResticEngine engine = m_engine.holdingLock(destination.repository, *lock);
    Snapshot snapshot;
    if (query.size() == 64) {
        // A whole id names the snapshot already: restic alone opens the repository.
        snapshot.id = query;
        snapshot.shortID = query.left(8);
        request.details[0] = QStringLiteral("Snapshot ") + shown(query);
    } else {
        snapshot = matchSnapshot(query, engine.listSnapshots(variables, stop));
        request.details[0] = snapshotLine(snapshot);
    }
    return perform(
        request,
        [&] {
            QJsonObject reply = restore(engine, snapshot);
            reply.insert(QStringLiteral("snapshot"), snapshot.shortID);
            return reply;
        },
        stop);
}

QJsonObject AgentControl::applyRetention(
    const Destination &destination, const AgentParameters &parameters, std::stop_token stop)
{
    const bool prune = parameters.boolean(param::prune).value();
    const ResticEnvironment variables = environment(destination);
    // What the question counts is what is removed: these snapshots, by id.
    const QStringList counted = m_engine.retentionRemovals(destination.retention, variables, stop);
    const qsizetype count = counted.size();
    if (count == 0 && !prune)
        return QJsonObject { { QStringLiteral("destination"), destination.name }, { QStringLiteral("removed"), 0 } };

    const ChangeRequest request { QStringLiteral("apply-retention"),
        QStringLiteral("Apply retention to ") + shownQuoted(destination.name, m_store->destinations()) + u'?',
        { destination.retention.summary(), QStringLiteral("Snapshots to remove: ") + QString::number(count),
            prune ? QStringLiteral("Data no remaining snapshot uses is deleted. This cannot be undone.")
                  : QStringLiteral("Data is not pruned.") } };
    return perform(
        request,
        [&] {
            const int removed = m_engine.forgetCounted(destination.retention, counted, prune, variables, stop);
            return QJsonObject { { QStringLiteral("destination"), destination.name },
                { QStringLiteral("removed"), removed }, { QStringLiteral("pruned"), prune } };
        },
        stop);
}

// Beside the questions it bounds, since it reads the command table, which the prompt's own file
// stays below.
qsizetype ApprovalPrompt::Alert::longestJson()
{
    // A character of a value grows at most 64-fold on its way to the JSON line: written out with
    // its script where it tells a look-alike apart ("⟨U+16B00 Pahawh_Hmong⟩" in UTF-8), and its
    // script named once more where the value mixes scripts. Each value may take a line with its
    // label and isolates, and a value may be shown twice (what it was and what it becomes).
    constexpr qsizetype perCharacter = 64;
    constexpr qsizetype perLine = 512;
    constexpr qsizetype fixed = 64 * 1024;
    qsizetype longest = 0;
    for (const AgentCommand &command : AgentCommand::all()) {
        qsizetype total = 0;
        for (const AgentCommand::Parameter &parameter : command.parameters) {
            const qsizetype items = parameter.kind == AgentCommand::Parameter::Kind::strings ? parameter.maxItems : 1;
            total += items * (parameter.maxLength * perCharacter + perLine);
        }
        longest = std::max(longest, total);
    }
    return 2 * longest + fixed;
}

} // namespace vellmir
