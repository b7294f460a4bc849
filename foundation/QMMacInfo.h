#pragma once

#include <QByteArray>
#include <QString>

// Byte counts of the machine's memory, in this order.
struct QMMemoryStatistics
{
    quint64 free = 0;
    quint64 active = 0;
    quint64 inactive = 0;
    quint64 wired = 0;
    quint64 purgeable = 0;
    quint64 compressed = 0;
};

// Facts about the machine: model, processor, uptime and memory.
class QMMacInfo
{
public:
    static QString macModelType();
    static QString processorInfo();
    static QString systemUptime();
    // The uptime text for u seconds since boot.
    static QString systemUptimeText(double u);

    static quint64 physicalMemory();
    static bool getMemoryStatistics(QMMemoryStatistics *statistics);
    // Reads the statistics from the text of /proc/meminfo.
    static bool memoryStatisticsFromMeminfo(const QByteArray &meminfo, QMMemoryStatistics *statistics);

    // Tests give the machine another physical memory; 0 goes back to the real figure.
    static void setPhysicalMemoryForTesting(quint64 bytes);
};
