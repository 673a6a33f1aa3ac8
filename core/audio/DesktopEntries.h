#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace pq {

// One application's desktop entry: what the desktop shows for it.
struct DesktopEntry {
    QString id;      // file name without ".desktop" (sub-folders joined with "-")
    QString name;    // Name[locale], else Name
    QString icon;    // icon name or path
    QString program; // the program Exec starts (base name)
    QString wmClass; // StartupWMClass
    bool noDisplay = false;
};

// The desktop entries of the installed applications, read from the XDG applications folders
// (XDG_DATA_HOME first, then XDG_DATA_DIRS) and read again when a folder changes.
class DesktopEntries {
public:
    DesktopEntries() = default;
    // Fixed folders instead of the XDG ones.
    explicit DesktopEntries(QStringList folders);

    std::optional<DesktopEntry> byId(const QString& id);
    // The entry whose id (or its last dotted part), StartupWMClass or Exec program is one of
    // `programs`, compared without case; id matches are preferred, then StartupWMClass, then Exec.
    std::optional<DesktopEntry> forProgram(const QStringList& programs);

    // Reads one entry; nothing when the file is not an application's entry.
    static std::optional<DesktopEntry> read(const QString& path, const QString& id);

private:
    void refresh();

    std::optional<QStringList> m_fixed;
    QStringList m_folders;
    std::vector<QDateTime> m_stamps;
    std::vector<DesktopEntry> m_entries;
    bool m_loaded = false;
};

} // namespace pq
