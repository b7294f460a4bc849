#pragma once

#include <QImage>
#include <QString>

// Byte-count texts of the RAM-disk views and the small menu icons.
class QMRamDiskFunctions
{
public:
    // "4 GB", "1.50 GB", "2 MB", "One Byte", "Zero Byte"; null for a negative count.
    static QString stringFromBytesWithBin1000Style(qint64 bytes);
    static QString stringFromBytesWithBin1024Style(qint64 bytes);

    // A 16x16 image: "NS…" system images (from the icon theme), "diskUtility" and
    // "syncIcon"; null for any other name or when the image is missing.
    static QImage icon16Named(const QString &name);
};
