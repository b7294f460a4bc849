#include "QMMacInfo.h"

#include "QMLog.h"

#include <QFile>
#include <QHash>
#include <QThread>

#include <atomic>
#include <unistd.h>

namespace {
std::atomic<quint64> gPhysicalMemoryOverride{0};

QByteArray readSmallFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}
} // namespace

QString QMMacInfo::macModelType()
{
    const QByteArray model = readSmallFile(QStringLiteral("/sys/class/dmi/id/product_name")).trimmed();
    if (model.isEmpty()) {
        QM_LogErrorMethod("QMMacInfo", QStringLiteral("sysctl:%1").arg(-1));
        return {};
    }
    return QString::fromUtf8(model);
}

QString QMMacInfo::processorInfo()
{
    static const QString info = [] {
        double hz = 0;
        const QByteArray khz =
            readSmallFile(QStringLiteral("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq")).trimmed();
        bool ok = false;
        const double k = khz.toDouble(&ok);
        if (ok && k > 0) {
            hz = k * 1000.0;
        } else {
            for (const QByteArray &line : readSmallFile(QStringLiteral("/proc/cpuinfo")).split('\n')) {
                if (line.startsWith("cpu MHz")) {
                    hz = line.mid(line.indexOf(':') + 1).trimmed().toDouble() * 1e6;
                    break;
                }
            }
            if (hz <= 0)
                QM_LogErrorMethod("QMMacInfo", QStringLiteral("sysctl:%1").arg(-1));
        }
        return QString::asprintf("%.2f Ghz (%ld)", hz * 1e-9, static_cast<long>(QThread::idealThreadCount()));
    }();
    return info;
}

QString QMMacInfo::systemUptimeText(double u)
{
    const double whole = static_cast<double>(static_cast<qint64>(u));
    if (u > 172800)
        return QString::asprintf("%.0f, %.2f days", whole, u / 86400);
    if (u >= 7200)
        return QString::asprintf("%.0f, %.2f hours", whole, u / 3600);
    if (u > 3600)
        return QString::asprintf("%.0f, %.2f hour", whole, u / 3600);
    if (u >= 120)
        return QString::asprintf("%.0f, %.2f minutes", whole, u / 60);
    return QString::asprintf("%.0f, %.0f sec(s)", whole, u);
}

QString QMMacInfo::systemUptime()
{
    const QByteArray text = readSmallFile(QStringLiteral("/proc/uptime"));
    return systemUptimeText(text.split(' ').value(0).toDouble());
}

quint64 QMMacInfo::physicalMemory()
{
    if (const quint64 o = gPhysicalMemoryOverride.load())
        return o;
    static const quint64 bytes = static_cast<quint64>(sysconf(_SC_PHYS_PAGES)) * static_cast<quint64>(sysconf(_SC_PAGESIZE));
    return bytes;
}

void QMMacInfo::setPhysicalMemoryForTesting(quint64 bytes)
{
    gPhysicalMemoryOverride.store(bytes);
}

bool QMMacInfo::memoryStatisticsFromMeminfo(const QByteArray &meminfo, QMMemoryStatistics *statistics)
{
    QMMemoryStatistics s;
    if (statistics)
        *statistics = s;
    QHash<QByteArray, quint64> kb;
    for (const QByteArray &line : meminfo.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        QByteArray value = line.mid(colon + 1).trimmed();
        const bool inKb = value.endsWith(" kB");
        if (inKb)
            value.chop(3);
        bool ok = false;
        const quint64 n = value.trimmed().toULongLong(&ok);
        if (ok)
            kb.insert(line.left(colon), inKb ? n * 1024 : n);
    }
    if (!kb.contains("MemFree") || !kb.contains("Active") || !kb.contains("Inactive"))
        return false;
    s.free = kb.value("MemFree");
    s.active = kb.value("Active");
    s.inactive = kb.value("Inactive");
    s.wired = kb.value("Unevictable") + kb.value("SUnreclaim") + kb.value("KernelStack") + kb.value("PageTables");
    s.purgeable = kb.value("Inactive(file)");
    s.compressed = kb.value("Zswap");
    if (statistics)
        *statistics = s;
    return true;
}

bool QMMacInfo::getMemoryStatistics(QMMemoryStatistics *statistics)
{
    if (statistics)
        *statistics = QMMemoryStatistics();
    const QByteArray meminfo = readSmallFile(QStringLiteral("/proc/meminfo"));
    if (meminfo.isEmpty())
        return false;
    return memoryStatisticsFromMeminfo(meminfo, statistics);
}
