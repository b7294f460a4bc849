#pragma once

// The kernel the program believes it runs on, for the life of the object: a tree of its
// own with the release given and the feature files listed (relative to /, such as
// "sys/fs/tmpfs/features/casefold"). For test executables that link the device module.

#include "QMKernelFeatures.h"
#include "QMTemporaryDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace QMTest {

class KernelFeaturesRoot
{
public:
    explicit KernelFeaturesRoot(const QString &release, const QStringList &features = {})
    {
        write(QStringLiteral("proc/sys/kernel/osrelease"), release.toUtf8() + '\n');
        for (const QString &feature : features)
            write(feature, "1\n");
        QMKernelFeatures::setRootForTesting(_root.path());
    }
    ~KernelFeaturesRoot() { QMKernelFeatures::setRootForTesting(QString()); }
    KernelFeaturesRoot(const KernelFeaturesRoot &) = delete;
    KernelFeaturesRoot &operator=(const KernelFeaturesRoot &) = delete;

private:
    void write(const QString &relative, const QByteArray &content)
    {
        const QString path = _root.path() + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        if (f.open(QIODevice::WriteOnly))
            f.write(content);
    }

    QMTemporaryDir _root;
};

} // namespace QMTest
