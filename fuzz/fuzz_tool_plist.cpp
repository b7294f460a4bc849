// The disk tools' property lists: whatever the tool prints, reading it must not crash.
#include "QMDiskToolOutput.h"
#include "QMPropertyList.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    // Binary lists reach the generic reader; the tool readers see text, as from a pipe.
    (void)QMPropertyList::fromData(bytes);
    const QString text = QString::fromUtf8(bytes);
    (void)QMDiskToolOutput::deviceNodeFromAttachOutput(text);
    const QList<QVariantMap> records = QMDiskToolOutput::deviceRecordsFromInfoOutput(text);
    for (const QVariantMap &r : records)
        (void)r.value(QStringLiteral("devNode")).toString();
    (void)QMDiskToolOutput::isFormatOutputValid(text);
    return 0;
}
