// "quilmoctl set NAME --size" on a mounted RAM disk resizes its volume in place: the record
// and the volume keep saying the same size.

#include "QMCtlTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>

#include <sys/statvfs.h>

TEST(QMCtlResize, SetSizeOnAMountedRamDiskResizesItLiveAndSaysSo)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir parent;
    ASSERT_TRUE(parent.isValid());
    const QString name = QStringLiteral("CtlResize");
    struct Cleanup
    {
        QString name;
        ~Cleanup() { ctl({QStringLiteral("eject"), name}); }
    } cleanup{name};
    Result r = ctl({QStringLiteral("add"), name, QStringLiteral("--size"), QStringLiteral("200M"),
                    QStringLiteral("--mount-dir"), parent.path()});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    r = ctl({QStringLiteral("create"), name});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QString mountPoint = parent.path() + QLatin1Char('/') + name;
    {
        QFile f(mountPoint + QStringLiteral("/kept.txt"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("still here");
    }

    r = ctl({QStringLiteral("set"), name, QStringLiteral("--size"), QStringLiteral("400M")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("is resized to 400 MB while mounted at ") + mountPoint))
        << r.out.toStdString();
    struct statvfs sv {};
    ASSERT_EQ(statvfs(QFile::encodeName(mountPoint).constData(), &sv), 0);
    EXPECT_GE(quint64(sv.f_blocks) * sv.f_frsize, 400000000ULL);
    r = ctl({QStringLiteral("status"), name});
    EXPECT_TRUE(r.out.contains(QRegularExpression(QStringLiteral("Size: +400 MB\n")))) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QRegularExpression(QStringLiteral("Usage: +.* of 400 MB used\n")))) << r.out.toStdString();
    QFile kept(mountPoint + QStringLiteral("/kept.txt"));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("still here"));

    // A size a RAM disk cannot have is refused before anything changes.
    r = ctl({QStringLiteral("set"), name, QStringLiteral("--size"), QStringLiteral("100M")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("size"))) << r.err.toStdString();
    r = ctl({QStringLiteral("status"), name});
    EXPECT_TRUE(r.out.contains(QRegularExpression(QStringLiteral("Size: +400 MB\n")))) << r.out.toStdString();

    // Unmounted behind quilmoctl's back, its device still holds 400 MB: the record keeps
    // saying so rather than a size the device does not have.
    ASSERT_EQ(QMTest::run(QMTest::libexecDir() + QStringLiteral("/umount"), {QStringLiteral("-f"), mountPoint}), 0);
    r = ctl({QStringLiteral("set"), name, QStringLiteral("--size"), QStringLiteral("300M")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("mount it again (remount) or eject it first"))) << r.err.toStdString();
    r = ctl({QStringLiteral("status"), name});
    EXPECT_TRUE(r.out.contains(QRegularExpression(QStringLiteral("Size: +400 MB\n")))) << r.out.toStdString();
}
