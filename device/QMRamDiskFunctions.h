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

    // An image of share/quilmo/images (name without extension), scaled to size x size when
    // size is positive; null when missing.
    static QImage bundledImage(const QString &name, int size = 0);
    // An icon of the desktop's icon theme, or an absolute image path, at size x size. Icon
    // themes need the GUI thread of a GUI program; elsewhere the result is null.
    static QImage themeImage(const QString &iconName, int size);
};
