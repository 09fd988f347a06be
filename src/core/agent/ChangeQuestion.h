#pragma once

#include "config/Destination.h"

#include <QMultiHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>

namespace vellmir {

// How the change commands write the values of a question (names, folders, patterns) so that
// nothing in one hides, forges or passes for another, and what a change leaves out whole.
namespace ChangeQuestion {

// " (mixes Latin and Cyrillic)" after a value one of whose words mixes scripts, as a look-alike
// of another word would.
QString mixedNote(const QString &value);

// A question's lines hold values from outside (names, folders, patterns, what restic reports)
// written out and isolated, so that nothing in a value hides, forges or reorders what is around
// it. The agent's reply and the audit log get the lines without the isolates. A value that mixes
// scripts is marked.
QString shown(const QString &value);

// What a value looks like in a question: the skeleton (TextRules::skeleton) of the value as it is
// shown, where a byte that is not UTF-8 reads "\xE9", as those four characters typed do, and a
// compatibility form (fullwidth "Ｄ", a ligature, a circled letter) as the character it stands for.
QString look(const QString &value);

// The values of one side of a change by how they look.
QMultiHash<QString, QString> bySkeleton(const QStringList &values);

// `value` as isolated(); where it looks the same as a value on the other side of the change
// without being it (a folder added as one is removed, a new name for the old), with the code
// points that tell the two apart written out, so the two lines never read alike.
QString isolatedApart(const QString &value, const QMultiHash<QString, QString> &otherSide);

// As isolatedApart(), marked when it mixes scripts.
QString shownApart(const QString &value, const QMultiHash<QString, QString> &otherSide);

// A pattern named among a question's counts, cut in the middle when long: the counts must stay on
// the title's first lines. The details give the pattern whole.
QString abridged(const QString &value);

// What a change leaves out whole of the folders backed up after it (Estimator::leftOutWhole: what
// restic walks, a link's target included), beyond what a backup with no pattern leaves out, from
// one walk of each folder. `before` is null for a new destination.
class LeftOut {
public:
    LeftOut(const Destination *before, const Destination &after, const QStringList &added);

    // Whether `pattern`, one of those added, on its own leaves out a whole folder, as "*", "**", a
    // folder's own path, its target's name or "~/Documents/*" for ~/Documents do.
    bool wide(const QString &pattern) const { return m_wide.contains(pattern); }

    // The folders the whole resulting list leaves out that were not left out before, other than
    // those one added pattern leaves out on its own, which the note on that pattern names: a folder
    // added below an excluded name, patterns that only together leave a folder out, a re-include
    // removed.
    const QStringList &unnamed() const { return m_unnamed; }

private:
    QSet<QString> m_wide;
    QStringList m_unnamed;
};

// "“~/proj/node_modules” left out whole" for the folders of LeftOut::unnamed(); empty for none.
QString leftOutNote(const QStringList &folders);
// A line for each folder of LeftOut::unnamed(), which says more than the change's own lines do.
QStringList leftOutLines(const QStringList &folders);
// `patterns` with the ones that leave out a whole folder first, each kind in its order.
QStringList folderWideFirst(QStringList patterns, const LeftOut &leftOut);
// " (“*” leaves out whole folders)" for the patterns among `added` that leave out a whole folder.
QString folderWideNote(const QStringList &added, const LeftOut &leftOut);

// The values of one kind (folders, patterns) an update removes, adds and keeps, each shown apart
// from every other of its kind that looks the same (look()): a twin the destination holds or will
// hold is no less confusable for coming from an earlier request. A twin on the other side of the
// change has a line of its own; one that stays is named on the line of the value it looks like.
class Twins {
public:
    // `state` is what a kept value is: "backed up", "excluded".
    Twins(const QStringList &removed, const QStringList &added, const QStringList &kept, const QString &state);

    // "~/Ｄｏｃｕｍｅｎｔｓ (looks the same as ~/Documents, already backed up)", written apart.
    QString addition(const QString &value) const;
    // "~/Documents (~/Ｄｏｃｕｍｅｎｔｓ, which looks the same, is still backed up)", written apart.
    QString removal(const QString &value) const;

private:
    std::optional<QString> keptTwin(const QString &value) const;

    QMultiHash<QString, QString> m_forRemoved;
    QMultiHash<QString, QString> m_forAdded;
    QMultiHash<QString, QString> m_kept;
    QString m_state;
};

} // namespace ChangeQuestion

} // namespace vellmir
