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

    // Owner given to what is copied: the installation's own, when run as root.
    struct Owner
    {
        bool set = false;
        uid_t uid = 0;
        gid_t gid = 0;
    };

    // Replaces `entries` (plain names) of `prefix` by those of `newTree`. *error tells
    // what failed.
    static Outcome swap(const QString &prefix, const QString &newTree, const QStringList &entries, QString *error);

    // Copies a tree, keeping modes, times and links as links; devices, pipes and sockets
    // are left out. With `owner` set, what is made belongs to it.
    static bool copyTree(const QString &source, const QString &destination, QString *error, const Owner &owner);
    static bool copyTree(const QString &source, const QString &destination, QString *error);

    // Every path below `root`, depth first; false with the reason when a directory cannot
    // be read.
    static bool subpaths(const QByteArray &root, QList<QByteArray> *paths, QString *error);
};
