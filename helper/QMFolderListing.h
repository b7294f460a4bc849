#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// What a folder submenu of the tray lists, read from a directory descriptor: folders
// first, then everything else, each group in the order a person reads names ("f2" before
// "f10", capitals and small letters alike). A symbolic link is listed as a link, never as
// the folder it may point to.
class QMFolderListing
{
public:
    enum Kind { File, Folder, Link };
    struct Entry
    {
        QString name;  // for the eye
        QByteArray raw; // the name's bytes, to reach it again
        Kind kind = File;
    };
    struct Listing
    {
        QList<Entry> entries;
        bool truncated = false; // more entries were there than the limit
    };

    // The entries of the directory open at `dirFd`, sorted, at most `limit` of them. System
    // names are left out everywhere, the names a volume keeps at its root only at
    // `volumeRoot`.
    static Listing list(int dirFd, bool volumeRoot, int limit);

    // <0, 0, >0 as `a` comes before, with or after `b`: runs of digits compare by their
    // value, other characters without regard to case; names that differ only there compare
    // as plain text, so the order is total.
    static int naturalCompare(const QString &a, const QString &b);
    // Folders before the rest, then naturalCompare().
    static bool lessThan(const Entry &a, const Entry &b);
};
