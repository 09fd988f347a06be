#include "restore/RestoreTexts.h"

#include "kit/Format.h"
#include "operations/RestoreRunner.h"

namespace vellmir::RestoreTexts {

QString closeButtonTitle(const RestoreRunner &runner)
{
    return runner.phase() == RestoreRunner::Phase::finished ? QStringLiteral("Done") : QStringLiteral("Close");
}

QString progressFiles(const RestoreRunner &runner)
{
    return QStringLiteral("%1 / %2 files").arg(runner.filesRestored()).arg(runner.totalFiles());
}

QString progressBytes(const RestoreRunner &runner)
{
    return Format::bytes(runner.bytesRestored()) + QStringLiteral(" / ") + Format::bytes(runner.totalBytes());
}

QString summary(const RestoreRunner &runner)
{
    const auto &summary = runner.summary();
    if (!summary)
        return {};
    return QStringLiteral("Restored %1, %2.")
        .arg(Format::counted(summary->filesRestored, QStringLiteral("file")), Format::bytes(summary->bytesRestored));
}

} // namespace vellmir::RestoreTexts
