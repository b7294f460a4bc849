#pragma once

#include "QMFileCopier.h"
#include "QMRamDisk.h"

#include <QString>

#include <functional>

struct stat;

// How long a RAM disk's next save would take, read before the machine goes: what changed
// on the volume since its last complete save (the rule the schedule and the incremental
// copy use: a status change time since that save began, or a file mapped shared and
// writable) against what its own earlier saves cost.
//
// A save's cost is modelled per file copied, per byte copied, per unchanged file linked
// from the last copy, plus the flush; the costs are those measured on a loaded two-core
// machine (a first save of 60,000 files of 100 bytes took about 17 s, an incremental one
// after changing 1 % of them a quarter of that). Each RAM disk keeps how many times that
// model its own saves took ("saveTimeFactor" of its record): its disk, its files and the
// machine's load are in it. A slower save raises the factor at once, faster ones lower
// it step by step, so that one quick save does not promise more than the disk gives.
class QMRamDiskSaveEstimate
{
public:
    // What a save of the volume would do now.
    struct Work
    {
        bool changed = false;      // anything to save at all (else the save is skipped)
        bool readable = true;      // the scan saw the whole volume
        quint64 filesToCopy = 0;   // changed files, and every folder, link and special file
        quint64 bytesToCopy = 0;   // sizes of the changed files
        quint64 filesToLink = 0;   // unchanged files, linked from the last copy
    };

    // The walk behind the ctime rule: every item below `path` with its status and whether
    // it counts as changed since `limit` (mapped files always do). `visit` returns false to
    // stop. 1 when a changed item was met, 0 when none, -1 when the volume could not be
    // read (an item removed meanwhile counts as a change).
    using Visit = std::function<bool(const struct stat &st, bool changed)>;
    static int walkChanges(const QString &path, double since, const Visit &visit);

    // Scans the volume at `path` (never saved: `lastSaveDate` 0) whose last copy is at
    // `copyPath`. Runs off the main thread: about 50 ms for 10,000 files.
    static Work pendingWork(const QString &path, double lastSaveDate, const QString &copyPath);

    // The model's seconds for a save that copies and links so much.
    static double modelSeconds(quint64 filesCopied, quint64 bytesCopied, quint64 filesLinked);
    // The seconds a save of `work` would take at `factor` (0: none measured yet, the
    // model's own); 0 when nothing changed.
    static double estimatedSeconds(const Work &work, double factor);
    // The factor after a save that took `seconds` for what `done` says.
    static double updatedFactor(double previous, double seconds, const QMFileCopier::Statistics &done);
};
