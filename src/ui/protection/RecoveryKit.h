#pragma once

#include "config/Destination.h"
#include "protection/RecoveryPlan.h"

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace vellmir {

// The model behind the recovery kit sheet: a destination's instructions, and the export of its
// kit into a folder the user chooses. The platform's panel and file viewer come in as functions,
// so tests never open either.
class RecoveryKit : public QObject {
    Q_OBJECT

public:
    // Asks for the folder to export into; nullopt when the user cancelled.
    using FolderChooser = std::function<std::optional<QString>()>;
    // Shows a folder, selected, in the file manager.
    using FolderRevealer = std::function<void(const QString &path)>;

    static const QString folderPrefix; // "Vellmir Recovery Kit "
    static const QString planFileName; // "recovery-plan.json"
    static const QString readMeFileName; // "READ-ME.txt"
    // What a successful export says: it names the folder it made.
    static QString exportedMessage(const QString &kit);

    RecoveryKit(Destination destination, FolderChooser chooser, FolderRevealer revealer, QObject *parent = nullptr);

    const Destination &destination() const { return m_destination; }
    RecoveryPlan plan() const { return RecoveryPlan(m_destination); }
    QString instructions() const { return plan().instructions(); }
    // The outcome of the last export; none until one finished.
    const std::optional<QString> &message() const { return m_message; }

    // Asks for a folder, writes a new kit into it and reveals the kit. A cancelled choice
    // changes nothing; a failure becomes the message and reveals nothing.
    void exportKit();

    // Creates "Vellmir Recovery Kit <new UUID>" (owner-only) inside `folder`, which must exist,
    // and writes both files into it atomically. Returns the kit's path. Throws Error; what was
    // created before the failing step stays.
    static QString writeKit(const Destination &destination, const QString &folder);

Q_SIGNALS:
    void messageChanged();

private:
    void setMessage(const QString &message);

    Destination m_destination;
    FolderChooser m_chooser;
    FolderRevealer m_revealer;
    std::optional<QString> m_message;
};

} // namespace vellmir
