// The entries file both programs and quilmoctl read: a damaged or hostile file must be
// refused, never crash the reader. Also writes back what was read, as the store does.
#include "QMKeyedArchiver.h"
#include "QMPropertyListSerialization.h"

#include <QVariantMap>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QVariant root = QMPropertyListSerialization::fromData(bytes);
    (void)QMKeyedArchiver::unarchiveObjectWithData(bytes);
    if (root.typeId() == QMetaType::QVariantMap) {
        const QVariantMap dico = root.toMap();
        (void)QMKeyedArchiver::unarchiveObjectWithData(dico.value(QStringLiteral("RamDiskEntries")).toByteArray());
        // Unknown keys are written back unchanged.
        (void)QMPropertyListSerialization::toData(dico, QMPropertyListSerialization::Format::Binary);
    }
    return 0;
}
