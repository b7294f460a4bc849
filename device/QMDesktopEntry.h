#pragma once

#include <QString>
#include <QStringList>

// A freedesktop desktop entry (the [Desktop Entry] group only), enough to name and draw an
// installed application.
class QMDesktopEntry
{
public:
    // Reads the file; false when it cannot be read or has no [Desktop Entry] group.
    bool load(const QString &path);

    // The first entry found for any of the ids ("firefox-esr.desktop"), user's data
    // directory first, then $XDG_DATA_DIRS (under the applications root); false when there
    // is none.
    bool loadFirst(const QStringList &desktopFileIds);

    // The value of a key, localized for the current language (Name[de_DE], Name[de], Name).
    QString localizedValue(const QString &key) const;
    QString value(const QString &key) const;

    QString name() const { return localizedValue(QStringLiteral("Name")); }
    QString icon() const { return value(QStringLiteral("Icon")); }
    QString exec() const { return value(QStringLiteral("Exec")); }
    QString path() const { return _path; }

    // The applications directories, most important first.
    static QStringList applicationDirectories();

    // A key of any group of a file in this format (application.ini, mimeapps.list,
    // .flatpak-info); null when the file, the group or the key is missing.
    static QString groupValue(const QString &path, const QString &group, const QString &key);

private:
    QString _path;
    QList<QPair<QString, QString>> _entries;
};
