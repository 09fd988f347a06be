#include "protection/RecoveryPlan.h"

#include "util/Json.h"
#include "util/TextRules.h"
#include "util/Uuid.h"

namespace vellmir {

namespace {

const QString kFormatVersion = QStringLiteral("formatVersion");
const QString kName = QStringLiteral("name");
const QString kKind = QStringLiteral("kind");
const QString kRepository = QStringLiteral("repository");
const QString kSources = QStringLiteral("sources");
const QString kExcludes = QStringLiteral("excludes");
const QString kRetention = QStringLiteral("retention");

const char kInstructions[]
    = "\n\n"
      "Save this kit somewhere independent of the backed-up computer. It contains repository "
      "settings and private folder paths, but no passwords or access keys.\n"
      "\n"
      "Keep the repository password and storage credentials in a password manager accessible "
      "from another device. For SFTP, also preserve the SSH key, its passphrase, and host "
      "configuration. Vellmir cannot reset a lost repository password. If restoring a login "
      "keyring, keep its original login password too.\n"
      "\n"
      "On a replacement computer:\n"
      "1. Install Vellmir, open it and choose Settings > Install Command-Line Tool.\n"
      "2. Add the destination again with vellmir add-destination --json -, giving it on standard "
      "input a name, the kind and repository above, the existing repository password and the "
      "storage credentials. Leave out initialize: never initialize an existing repository.\n"
      "3. Choose Find and Restore Files, select a backup version and a file, and restore to a "
      "separate folder.\n"
      "4. Open the restored file. Vellmir also verifies its content against the backup.\n"
      "5. Review source paths before enabling future backups: the folders in recovery-plan.json "
      "are those of the backed-up computer. Add folders with vellmir update-destination "
      "--destination NAME --addSources FOLDER.\n"
      "\n"
      "Independent recovery with restic:\n"
      "Install restic from https://restic.net. Supply the repository using --repo, and the "
      "backend credentials using the environment variables described in restic's backend "
      "documentation. Let restic prompt for the repository password; avoid putting passwords "
      "on the command line or in shell history.\n"
      "Run restic snapshots to choose a snapshot. Run restic ls SNAPSHOT to browse it. Run "
      "restic restore SNAPSHOT --target NEW_EMPTY_FOLDER --overwrite never --verify to recover "
      "it. Add --include with an escaped absolute snapshot path for selective recovery. "
      "Include --repo with each command, or set RESTIC_REPOSITORY.\n"
      "\n"
      "A restic snapshot is a file backup, not a bootable system image: restore it from a running "
      "system. Live databases and cloud-only files may require application-specific recovery steps. "
      "A sample restore verifies only the selected data.";

} // namespace

RecoveryPlan::RecoveryPlan(const Destination &destination)
    : name(destination.name)
    , kind(destination.kind)
    , repository(destination.repository)
    , sources(destination.sources)
    , excludes(destination.excludes)
    , retention(destination.retention)
{
}

RecoveryPlan RecoveryPlan::fromJson(const QJsonObject &object)
{
    const JsonReader reader(object, QStringLiteral("recovery plan"));
    RecoveryPlan plan;
    plan.formatVersion = reader.integer(kFormatVersion);
    plan.name = reader.string(kName);
    plan.kind = reader.enumeration<Destination::Kind>(kKind, kindFromString);
    plan.repository = reader.string(kRepository);
    plan.sources = reader.strings(kSources);
    plan.excludes = reader.strings(kExcludes);
    plan.retention = Destination::RetentionPolicy::fromJson(reader.object(kRetention));
    return plan;
}

QJsonObject RecoveryPlan::toJson() const
{
    return QJsonObject {
        { kFormatVersion, formatVersion },
        { kName, name },
        { kKind, toString(kind) },
        { kRepository, repository },
        { kSources, json::fromStrings(sources) },
        { kExcludes, json::fromStrings(excludes) },
        { kRetention, retention.toJson() },
    };
}

QByteArray RecoveryPlan::encodeFile() const
{
    return json::pretty(toJson());
}

RecoveryPlan RecoveryPlan::decodeFile(const QByteArray &bytes)
{
    return fromJson(json::parseObject(bytes, QStringLiteral("The recovery plan")));
}

Destination RecoveryPlan::destination() const
{
    if (formatVersion != currentFormatVersion)
        throw JsonError(QStringLiteral("This recovery kit uses an unsupported format version."));
    Destination destination;
    destination.id = newUuid();
    // No keyring item exists under a fresh identity, so the user enters the secrets anew.
    destination.credentialID = destination.id;
    destination.preferences = std::nullopt;
    destination.name = name;
    destination.kind = kind;
    destination.repository = repository;
    // Folders of the lost computer rarely exist on the new one; the user chooses them again.
    destination.sources = {};
    destination.excludes = excludes;
    destination.retention = retention;
    destination.pruneAfterBackup = false;
    destination.schedule = Destination::Schedule::manual;
    destination.lastBackup = std::nullopt;
    return destination;
}

QString RecoveryPlan::instructions() const
{
    // Both may come from a hand-edited file: a line break in one would forge a line of the instructions.
    return QStringLiteral("Vellmir recovery kit for ") + TextRules::visible(name) + QStringLiteral("\n\nRepository: ")
        + TextRules::visible(repository) + QStringLiteral("\nStorage: ") + displayName(kind)
        + QStringLiteral("\nKind: ") + toString(kind) + QString::fromUtf8(kInstructions);
}

} // namespace vellmir
