// Volume tags are read from any volume mounted where a RAM disk goes: the reader must
// take any bytes without crashing, and what it accepts must survive a round trip.
#include "QMStringsFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QVariantMap map;
    if (!QMStringsFile::mapFromUtf8(bytes, &map))
        return 0;
    QVariantMap again;
    if (!QMStringsFile::mapFromText(QMStringsFile::textFromMap(map), &again) || again != map)
        std::abort();
    return 0;
}
