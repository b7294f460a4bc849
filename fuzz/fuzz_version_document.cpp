// The version document comes from the network: the reader must take any bytes, and every
// answer it gives must agree with the document's fields.
#include "QMUpdateVersionDocument.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QMUpdateVersionDocument doc = QMUpdateVersionDocument::fromData(bytes);
    const qsizetype fields = doc.fields().size();
    switch (doc.kind()) {
    case QMUpdateVersionDocument::Kind::Invalid:
        if (fields != 1)
            std::abort();
        break;
    case QMUpdateVersionDocument::Kind::Message:
        if (fields != 2 || doc.messageIsShown() != (QMUpdateVersionDocument::integerValue(doc.fields().at(0)) == 1))
            std::abort();
        break;
    case QMUpdateVersionDocument::Kind::Offer: {
        if (fields < 3)
            std::abort();
        (void)doc.build();
        (void)doc.downloadLink();
        const auto required = doc.systemRequirement();
        if (required && doc.systemRequirementField().split(QLatin1Char('.')).size() < 2)
            std::abort();
        break;
    }
    }
    (void)QMUpdateVersionDocument::parseKernelRelease(doc.text());
    return 0;
}
