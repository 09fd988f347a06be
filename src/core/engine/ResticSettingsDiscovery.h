#pragma once

#include "config/Destination.h"

#include <QList>
#include <QMap>
#include <QString>
#include <functional>
#include <optional>

namespace vellmir {

// Restic settings found outside Vellmir, offered by the destination editor for import.
struct DiscoveredResticSettings {
    enum class Source { environment, cliKeyring };

    Source source = Source::environment;
    Destination::Kind kind = Destination::Kind::local;
    QString repository; // trimmed, never empty
    // Each credential is absent or non-empty and trimmed; only the pair of `kind` is ever set.
    std::optional<QString> password;
    std::optional<QString> b2AccountID;
    std::optional<QString> b2AccountKey;
    std::optional<QString> awsAccessKeyID;
    std::optional<QString> awsSecretAccessKey;

    // What the editor calls the source, e.g. "Vellmir's environment variables".
    static QString label(Source source);

    friend bool operator==(const DiscoveredResticSettings &, const DiscoveredResticSettings &) = default;
};

// Finds a repository, its password and the provider's keys where a user who runs restic by hand
// keeps them: restic's own environment variables, and the keyring items of the command-line
// backup tool. It only reads.
namespace ResticSettingsDiscovery {

using Environment = QMap<QString, QString>;
// Whether the keyring holds an item with this service name; a failure counts as "no".
using KeyringHas = std::function<bool(const QString &service)>;
// The text of the keyring item with this service name, nullopt when there is none; throws on
// any other failure.
using KeyringValue = std::function<std::optional<QString>(const QString &service)>;

// The real keyring lookups: Secret Service items whose attribute "service" has this name, of
// any schema. They never unlock anything; reading a value of a locked item fails. Failures
// are KeyringError.
std::optional<QString> keyringItemValue(const QString &service);
bool keyringItemExists(const QString &service);

// This process's environment as a map.
Environment processEnvironment();

// The kind a repository string implies by its prefix (case-sensitive), or nullopt.
std::optional<Destination::Kind> kind(const QString &repository);

// The sources worth offering, in order: the environment when it sets a non-empty
// RESTIC_REPOSITORY, then the tool's keyring items when a repository item exists. Never fails.
QList<DiscoveredResticSettings::Source> availableSources(
    const Environment &environment = processEnvironment(), const KeyringHas &keyringHas = keyringItemExists);

// The settings of one source, or nullopt when it holds no usable repository. Only a failing
// keyring read fails (with that error).
std::optional<DiscoveredResticSettings> load(DiscoveredResticSettings::Source source,
    const Environment &environment = processEnvironment(), const KeyringValue &keyringValue = keyringItemValue);

} // namespace ResticSettingsDiscovery

} // namespace vellmir
