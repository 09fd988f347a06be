#include "agent/ChangeQuestion.h"

#include "exclude/Estimator.h"
#include "util/TextRules.h"

#include <algorithm>

namespace vellmir::ChangeQuestion {

QString mixedNote(const QString &value)
{
    QStringList scripts = TextRules::mixedScripts(value);
    if (scripts.isEmpty())
        return {};
    const QString last = scripts.takeLast();
    return QStringLiteral(" (mixes ")
        + (scripts.isEmpty() ? QString() : scripts.join(QStringLiteral(", ")) + QStringLiteral(" and ")) + last + u')';
}

QString shown(const QString &value)
{
    return TextRules::isolated(value) + mixedNote(value);
}

QString look(const QString &value)
{
    return TextRules::skeleton(TextRules::visible(value).normalized(QString::NormalizationForm_KC));
}

QMultiHash<QString, QString> bySkeleton(const QStringList &values)
{
    QMultiHash<QString, QString> found;
    for (const QString &value : values)
        found.insert(look(value), value);
    return found;
}

QString isolatedApart(const QString &value, const QMultiHash<QString, QString> &otherSide)
{
    for (const QString &other : otherSide.values(look(value)))
        if (other != value)
            return TextRules::isolatedApart(value, other);
    return TextRules::isolated(value);
}

QString shownApart(const QString &value, const QMultiHash<QString, QString> &otherSide)
{
    return isolatedApart(value, otherSide) + mixedNote(value);
}

QString abridged(const QString &value)
{
    if (value.size() <= 20)
        return value;
    // Never between the two halves of a surrogate pair; a lone one stays as it is, to be written out.
    qsizetype front = 12;
    if (value.at(front - 1).isHighSurrogate() && value.at(front).isLowSurrogate())
        --front;
    qsizetype back = value.size() - 7;
    if (value.at(back).isLowSurrogate() && value.at(back - 1).isHighSurrogate())
        ++back;
    return value.left(front) + u'…' + value.mid(back);
}

LeftOut::LeftOut(const Destination *before, const Destination &after, const QStringList &added)
{
    if (before && before->sources == after.sources && before->excludes == after.excludes)
        return;
    QList<QStringList> lists { {}, after.excludes };
    for (const QString &pattern : added)
        lists.append({ pattern });
    const QList<QStringList> whole = Estimator::leftOutWhole(after.sources, lists);
    const auto beyondNone = [&](QStringList folders) {
        for (const QString &folder : whole.first())
            folders.removeAll(folder);
        return folders;
    };
    m_unnamed = beyondNone(whole.at(1));
    if (before)
        for (const QString &folder : Estimator::leftOutWhole(before->sources, before->excludes))
            m_unnamed.removeAll(folder);
    for (qsizetype i = 0; i < added.size(); ++i) {
        const QStringList folders = beyondNone(whole.at(i + 2));
        if (folders.isEmpty())
            continue;
        m_wide.insert(added.at(i));
        for (const QString &folder : folders)
            m_unnamed.removeAll(folder);
    }
}

QString leftOutNote(const QStringList &folders)
{
    if (folders.isEmpty())
        return {};
    return QStringLiteral("“") + TextRules::isolated(abridged(Destination::tildeForm(folders.first())))
        + QStringLiteral("”")
        + (folders.size() == 1 ? QString() : QStringLiteral(" and %1 more").arg(QString::number(folders.size() - 1)))
        + QStringLiteral(" left out whole");
}

QStringList leftOutLines(const QStringList &folders)
{
    QStringList lines;
    for (const QString &folder : folders)
        lines.append(QStringLiteral("Left out whole by the excludes: ") + shown(Destination::tildeForm(folder)));
    return lines;
}

QStringList folderWideFirst(QStringList patterns, const LeftOut &leftOut)
{
    std::stable_partition(
        patterns.begin(), patterns.end(), [&](const QString &pattern) { return leftOut.wide(pattern); });
    return patterns;
}

QString folderWideNote(const QStringList &added, const LeftOut &leftOut)
{
    QStringList wide;
    for (const QString &pattern : added)
        if (leftOut.wide(pattern))
            wide.append(pattern);
    if (wide.isEmpty())
        return {};
    return QStringLiteral(" (“") + TextRules::isolated(abridged(wide.first())) + QStringLiteral("”")
        + (wide.size() == 1 ? QStringLiteral(" leaves")
                            : QStringLiteral(" and %1 more leave").arg(QString::number(wide.size() - 1)))
        + QStringLiteral(" out whole folders)");
}

Twins::Twins(const QStringList &removed, const QStringList &added, const QStringList &kept, const QString &state)
    : m_forRemoved(bySkeleton(added + kept))
    , m_forAdded(bySkeleton(removed + kept + added))
    , m_kept(bySkeleton(kept))
    , m_state(state)
{
}

QString Twins::addition(const QString &value) const
{
    const std::optional<QString> twin = keptTwin(value);
    return shownApart(value, m_forAdded)
        + (twin ? QStringLiteral(" (looks the same as ") + *twin + QStringLiteral(", already ") + m_state + u')'
                : QString());
}

QString Twins::removal(const QString &value) const
{
    const std::optional<QString> twin = keptTwin(value);
    return shownApart(value, m_forRemoved)
        + (twin ? QStringLiteral(" (") + *twin + QStringLiteral(", which looks the same, is still ") + m_state + u')'
                : QString());
}

std::optional<QString> Twins::keptTwin(const QString &value) const
{
    for (const QString &other : m_kept.values(look(value)))
        if (other != value)
            return TextRules::isolatedApart(other, value);
    return std::nullopt;
}

} // namespace vellmir::ChangeQuestion
