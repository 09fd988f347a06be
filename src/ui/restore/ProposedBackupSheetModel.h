#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

namespace vellmir {

// The state of the sheet in which the user walks the folders a destination backs up and
// excludes or re-includes what the next backup would take.
//
// The sheet edits the destination editor's exclude list in place: the editor hands its list in,
// and every change lands in excludes() at once (with excludesChanged()), so the editor reads it
// back whenever it likes. Nothing is stored here; the editor saves the destination.
class ProposedBackupSheetModel : public QObject {
    Q_OBJECT

public:
    // `sources` are the destination's folders (absolute paths) as they stand when the sheet opens.
    ProposedBackupSheetModel(QStringList sources, QStringList excludes, QObject *parent = nullptr);

    const QStringList &sources() const { return m_sources; }
    const QStringList &excludes() const { return m_excludes; }
    void setExcludes(const QStringList &excludes);

    // The directories opened so far, outermost first. It starts empty.
    const QStringList &path() const { return m_path; }
    // Opens `directory` one level further down.
    void open(const QString &directory);
    // The back control: returns to the parent directory or to the root.
    void goBack();

    // With exactly one folder the root is that folder's listing; otherwise it lists the folders.
    bool showsFolderList() const { return m_sources.size() != 1; }
    // The folder the root lists; empty when the root is the list of folders.
    QString rootDirectory() const { return showsFolderList() ? QString() : m_sources.constFirst(); }

    // A directory's title: its last path component ("/" for the root of the file system).
    static QString title(const QString &directory);

Q_SIGNALS:
    void excludesChanged();
    void pathChanged();

private:
    QStringList m_sources;
    QStringList m_excludes;
    QStringList m_path;
};

} // namespace vellmir
