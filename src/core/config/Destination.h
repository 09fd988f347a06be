#pragma once

#include "config/BackupPreferences.h"
#include "config/CredentialRole.h"
#include "util/Date.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QStringList>
#include <QUuid>
#include <optional>

namespace vellmir {

// One backup destination: a restic repository, what goes into it, and how and when.
struct Destination {
    enum class Kind { backblazeB2, s3, sftp, local };
    enum class Schedule { manual, hourly, daily };

    struct RetentionPolicy {
        qint64 keepDaily = 7;
        qint64 keepWeekly = 4;
        qint64 keepMonthly = 12;
        qint64 keepYearly = 3;

        // "Keep 7 daily, 4 weekly, 12 monthly, 3 yearly"
        QString summary() const;
        // All four "--keep-*" pairs for restic's forget, zero counts included.
        QStringList arguments() const;

        QJsonObject toJson() const;
        static RetentionPolicy fromJson(const QJsonObject &object);
        friend bool operator==(const RetentionPolicy &, const RetentionPolicy &) = default;
    };

    QUuid id;
    QUuid credentialID;
    std::optional<BackupPreferences> preferences;
    QString name;
    Kind kind = Kind::local;
    QString repository;
    QStringList sources;
    QStringList excludes;
    RetentionPolicy retention;
    bool pruneAfterBackup = true;
    Schedule schedule = Schedule::manual;
    std::optional<Date> lastBackup;

    static const QStringList &defaultExcludes();
    static const QStringList &protectedExcludes();

    // The preferences in force: the stored ones or the built-in defaults.
    BackupPreferences effectivePreferences() const { return preferences.value_or(BackupPreferences {}); }

    // SHA-256 (64 lower-case hex digits) of where and what this destination backs up.
    QString backupScope() const;
    // "--exclude" pairs for the own excludes then the protected ones as resticExcludes() gives
    // them for the sources, repeats that change nothing dropped.
    QStringList excludeArguments() const;
    // The path restic is given for a source folder, tidied as restic tidies it ("a/", "a/./b"
    // and "a/x/.." are "a", "a/b" and "a"). A source that is itself a symbolic link is the
    // folder it leads to, since restic would store the link and none of the files behind it;
    // anything else, a broken link included, stays as tidied. Whatever looks at what a backup
    // would hold (estimates, coverage) walks this same path.
    static QString resolvedSource(const QString &source);
    // resolvedSource() of every source, each path once.
    QStringList resolvedSources() const;
    // A path below the home folder written with "~".
    static QString tildeForm(const QString &path);
    // "~" or "~/..." expanded against the home folder; anything else unchanged.
    static QString expandTilde(const QString &path);
    // An exclude pattern as restic gets it: "~" and "~/..." expanded, after the "!" of a
    // re-include too, to the home folder written as a pattern that matches exactly its name.
    static QString expandExclude(const QString &pattern);
    static QString expandExclude(const QString &pattern, const QString &home);
    // The patterns restic is given for `patterns` when it backs up `sources`: each expanded
    // (expandExclude), and each whose leading components can match the path of a source that is
    // a symbolic link ("~/*/app", "~/Proj*/app", "~/**/app", "Projects/app") followed by the rest
    // of it spelt through the folder the link leads to, for each place that match can end, since
    // restic is handed that folder (resolvedSource) and tests the paths it walks there. restic's own cache
    // found below such a source is left out by one more pattern, as restic leaves it out only by
    // the name it knows it by.
    static QStringList resticExcludes(const QStringList &patterns, const QStringList &sources);
    // `text` as a pattern that matches exactly that text: "\", "*", "?", "[", "]" and a leading
    // "!" are escaped with a backslash.
    static QString literalPattern(const QString &text);
    // The folder a local repository lives in, read the way restic reads it: "local:/srv/r"
    // and "/srv/r" both name /srv/r. Every check that looks at a local repository on disk
    // (deferral, restore guard, lock names) goes through here.
    static QString localFolder(const QString &repository);

    QJsonObject toJson() const;
    // Throws JsonError naming the offending key.
    static Destination fromJson(const QJsonObject &object);
    static QList<Destination> listFromJson(const QJsonArray &array);
    static QJsonArray listToJson(const QList<Destination> &list);
    // The bytes of the destinations file: the list as a pretty-printed JSON array with sorted
    // keys. The seal covers these exact bytes, so every writer of the file goes through here.
    static QByteArray encodeFile(const QList<Destination> &list);
    // The list held in the destinations file's bytes; no bytes are an empty list, as the seal
    // sees them. Throws JsonError.
    static QList<Destination> decodeFile(const QByteArray &bytes);

    friend bool operator==(const Destination &, const Destination &) = default;
};

QString toString(Destination::Kind kind);
QString toString(Destination::Schedule schedule);
std::optional<Destination::Kind> kindFromString(const QString &raw);
std::optional<Destination::Schedule> scheduleFromString(const QString &raw);
QString displayName(Destination::Kind kind);
QString displayName(Destination::Schedule schedule);
const QList<Destination::Kind> &allKinds();
const QList<Destination::Schedule> &allSchedules();
// The secrets a kind needs: repoPassword first, then the provider's pair.
QList<CredentialRole> credentialRoles(Destination::Kind kind);

// Code point order of two texts, canonically equivalent spellings comparing equal.
int compareCanonical(const QString &a, const QString &b);

} // namespace vellmir
