#pragma once

#include "QMKernelFeaturesRoot.h"
#include "QMRamDisk.h"
#include "QMTemporaryDir.h"

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace QMEngineTest {

// Collects every report of a record's actions, from whatever thread sends it.
class RecordingDelegate : public QMRamDiskActionDelegateProtocol
{
public:
    struct Report
    {
        qint64 action = 0;
        qint64 info = 0;
        QMError::Ptr error;
    };

    void ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk) override;
    void ramDiskDidReport(const QMRamDisk::Ptr &ramDisk, const QMRamDiskReport &report) override;

    QList<Report> reports() const;
    QList<qint64> infos() const;
    void clear();
    // Waits for the final report of an action (the first one sent with `action` back at 0).
    // The bound only keeps a broken action from hanging the suite.
    bool waitForEnd(int seconds = 600);

private:
    mutable std::mutex _mutex;
    std::condition_variable _cv;
    QList<Report> _reports;
};

// A directory for mount points, bases and backups outside the places the disk tool and the
// validation refuse (/tmp among them). Every RAM disk mounted below it, and every device of
// a watched record, is released when the guard goes, also when the test failed.
class RamDiskSandbox
{
public:
    RamDiskSandbox();
    ~RamDiskSandbox();

    bool isValid() const { return _dir.isValid(); }
    QString path() const { return _dir.path(); }
    QString mkdir(const QString &relative) const;
    void watch(const QMRamDisk::Ptr &ramDisk);

    // A plain RAM disk record of the smallest accepted size, mounted in `mountDirectory`.
    QMRamDisk::Ptr makeRamDisk(const QString &mountDirectory, const QString &name,
                               quint64 size = 128000000ULL);

private:
    QMTemporaryDir _dir;
    QList<QMRamDisk::Ptr> _watched;
};

// Runs a disk tool of the build tree directly, behind the engine's back.
int runTool(const QString &tool, const QStringList &args, QString *err = nullptr);

// Points the engine's tool table at a directory of wrappers around the real tools for the
// life of the object. `wrapped` names the tools whose wrapper appends its arguments to
// log(); `bodies` replaces a tool with a script of its own, in which @LOG@ is the log and
// @REAL@ the directory of the real tools.
class ToolWrappers
{
public:
    explicit ToolWrappers(const QStringList &wrapped, const QMap<QString, QString> &bodies = {});
    ~ToolWrappers();
    QStringList log() const;

private:
    QMTemporaryDir _dir;
    QString _logPath;
};

// A small ext4 file system of our own on a loop device over an ordinary file, mounted at
// `mountPoint`; unmounted and released when the guard goes.
class LoopFileSystem
{
public:
    LoopFileSystem(const QString &image, const QString &mountPoint, int megabytes, const QStringList &mkfsOptions,
                   bool directIo);
    ~LoopFileSystem();
    bool isValid() const { return _mounted; }
    // Unmounts it (the device stays), as when its disk is unplugged; mount() puts it back.
    bool unmount();
    bool mount();
    // What the image file itself holds at `path`, read past every cache of the mounted
    // file system.
    QByteArray catFromImage(const QString &path) const;

private:
    QString _image, _mountPoint, _device;
    bool _mounted = false;
};

// RAM disks made as on a kernel without memory instances: the engine expects loop devices
// (a kernel before 6.6, with ext4's case folding where this machine has it) and runs the
// test-only build of the disk tool that makes them.
class LoopRealisation
{
public:
    LoopRealisation();
    ~LoopRealisation();

private:
    std::unique_ptr<QMTest::KernelFeaturesRoot> _kernel;
};

// A real program writing a file through a shared, writable mapping (qm_mmap_writer): it
// maps the file when started and writes what it is told into its first page.
class MappedWriter
{
public:
    explicit MappedWriter(const QString &program, const QString &file);
    ~MappedWriter();
    bool isMapped() const { return _mapped; }
    qint64 pid() const { return _process->processId(); }
    // Writes `text` to the start of the page through the mapping; true once done.
    bool write(const QByteArray &text);
    // Unmaps and ends; true when it ended well.
    bool exit();

private:
    bool readLine(const QByteArray &expected);
    QProcess *_process;
    bool _mapped = false;
};

// Waits until the clock is past the last status change of `path` by more than the second
// of margin a save gives it: no program can date that time back, so only from then on may
// a save take the file from the last copy.
bool waitUntilOlderThanASave(const QString &path);

// Writes `size` bytes of varied contents.
bool writeFile(const QString &path, const QByteArray &contents);
QByteArray readFile(const QString &path);
// The same by raw path bytes (names that are not UTF-8); "<missing>" when it cannot be read.
bool writeBytes(const QByteArray &path, const QByteArray &data);
QByteArray readBytes(const QByteArray &path);

// Captures the log lines written while it lives.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    bool contains(const QString &text) const;

private:
    mutable std::mutex _mutex;
    QStringList _lines;
};

} // namespace QMEngineTest

// A sandbox for a test that makes RAM disks; skips where loop devices cannot be used.
#define QM_REQUIRE_SANDBOX(sandbox)                                                                   \
    QM_REQUIRE_LOOP_DEVICES();                                                                        \
    RamDiskSandbox sandbox;                                                                           \
    ASSERT_TRUE(sandbox.isValid())
