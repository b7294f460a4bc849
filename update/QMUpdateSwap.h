#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// The steps that put a new tree in the place of an installation's entries, in place:
// every entry of the new tree is first copied beside the one it replaces
// ("<prefix>/.<entry>.quilmo-new"), then each is swapped in by renaming, the old one kept
// as ".<entry>.quilmo-old" until all are in; a failed rename puts back what was swapped
// already. Run in process when the user may change the installation, else as root by
// quilmo-update-swap.
class QMUpdateSwap
{
public:
    enum Outcome {
        Done = 0,
        NothingChanged = 10, // a copy failed; the installation is untouched
        PutBack = 11,        // a swap failed and what was swapped is back
        NotAllPutBack = 12,  // a swap failed and not everything could be put back
    };

    // How what is copied is made: its owner (set when run as root), and whether it gets
    // an installation's modes whatever it had (directories and programs 0755, other files
    // 0644) or keeps its own.
    struct Rules
    {
        bool setOwner = false;
        uid_t uid = 0;
        gid_t gid = 0;
        bool installedModes = false;
    };

    // Replaces `entries` (plain names) of `prefix` by those of `newTree`, with installed
    // modes, owned by root when run as root. *error tells what failed.
    static Outcome swap(const QString &prefix, const QString &newTree, const QStringList &entries, QString *error);

    // Copies a tree, keeping times and links as links, with its modes or installed ones;
    // devices, pipes and sockets are left out.
    static bool copyTree(const QString &source, const QString &destination, QString *error, const Rules &rules);
    // The same, keeping modes and owners as the user's.
    static bool copyTree(const QString &source, const QString &destination, QString *error);

    // Every path below `root`, depth first; false with the reason when a directory cannot
    // be read.
    static bool subpaths(const QByteArray &root, QList<QByteArray> *paths, QString *error);
};
