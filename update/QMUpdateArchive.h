#pragma once

#include <QByteArray>
#include <QString>

// Unpacks a downloaded zip archive into a directory, safely: only directories, regular files
// and symbolic links that stay inside their own top-level directory, nothing above the
// destination, no absolute names, no devices, no entry beyond a size a Quilmo release can
// have. An archive with one entry against these rules is refused as a whole, before
// anything is written.
class QMUpdateArchive
{
public:
    // True when every entry was written below `destination` (an existing directory).
    // `error` tells why not: the first entry refused, or what libarchive reported.
    static bool extract(const QByteArray &zip, const QString &destination, QString *error);

    // Largest entry and largest total size unpacked. Tests lower them to reach the edges.
    static qint64 entrySizeLimit();
    static qint64 totalSizeLimit();
    static void setSizeLimits(qint64 entryLimit, qint64 totalLimit);
};
