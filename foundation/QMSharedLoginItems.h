#pragma once

#include <QList>
#include <QString>
#include <QUrl>

// The user's login items: XDG autostart entries, one ".desktop" file per item in
// $XDG_CONFIG_HOME/autostart/. An item's address is the program its "Exec" line starts and
// its display name is its "Name".
//
// An application is matched by address (exact match: the entry's program resolves to the
// same file) or by name (the entry's "Name" is the program's file name, with or without its
// extension). Stale entries (program gone) and entries of another copy of the application
// are replaced when the item is added, and removed with it.
class QMSharedLoginItems
{
public:
    // True when the program is a login item at the end: already there at its exact path,
    // or inserted. False when the list cannot be read, no address is given or the
    // insertion fails.
    static bool addLoginItem(const QUrl &url);

    // True when at least one matching entry was met (and its removal attempted).
    static bool removeLoginItem(const QUrl &url);

    // True when an exact or a name match is in the list; *isValid (optional) is true only
    // for an exact match. *isValid is left alone when the list cannot be read.
    static bool isLoginItem(const QUrl &url, bool *isValid);

    // $XDG_CONFIG_HOME/autostart.
    static QString autostartDirectory();

    // One autostart entry as read from its file. Public for the tests and for the
    // preferences, which show where an item lives.
    struct Entry
    {
        enum Resolution { Resolved, Missing, Unresolvable };

        QString filePath;    // the .desktop file
        QString displayName; // "Name"
        QString program;     // first word of "Exec", unquoted
        QString resolvedPath; // the program's absolute path when Resolved
        Resolution resolution = Unresolvable;
        bool isDisabled = false; // "Hidden=true" or "X-GNOME-Autostart-enabled=false"
    };

    // The entries of the user's list, ordered by file name; false when the directory
    // exists but cannot be listed (a missing directory is an empty list).
    static bool snapshot(QList<Entry> *entries);

    // Exec quoting of the desktop entry format (both its string escapes and its argument
    // quoting), for a program path that may hold spaces, quotes or "%".
    static QString execLineForProgram(const QString &programPath);
    // The first argument of an Exec value (already read from the file), unquoted;
    // null when the line cannot be parsed.
    static QString programFromExecLine(const QString &exec);
};
