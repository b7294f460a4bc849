#include "DTLimits.h"

#include "DTState.h"
#include "QMVolumeRules.h"

namespace dt {

namespace {

std::string bytesText(uint64_t bytes)
{
    return std::to_string(bytes) + " bytes (" + sizeText(bytes) + ")";
}

std::string disksText(size_t count)
{
    return std::to_string(count) + (count == 1 ? " RAM disk" : " RAM disks");
}

} // namespace

std::string sizeRefusal(uint64_t sectors)
{
    if (sectors == 0)
        return "the size of the RAM disk is 0";
    const uint64_t memory = physicalMemory();
    if (memory == 0 || sectors > memory / 512)
        return "the size of the RAM disk is beyond the machine's memory";
    return {};
}

Commitment commitmentOf(const std::vector<RamDeviceListing> &devices, uid_t caller)
{
    Commitment c;
    for (const auto &d : devices) {
        // A device without a record is being made or given back by root; its owner and its
        // size are not known for certain.
        if (!d.recorded)
            continue;
        const uint64_t bytes = d.sectors * 512;
        c.allBytes += bytes;
        ++c.allDevices;
        if (d.released) {
            c.releasedBytes += bytes;
            ++c.releasedDevices;
        } else if (d.owner == caller) {
            c.callerBytes += bytes;
            ++c.callerDevices;
        }
    }
    return c;
}

bool checkCommitmentLimits(State &state, uid_t caller, uint64_t additionalBytes, bool newDevice, std::string *why)
{
    const uint64_t memory = physicalMemory();
    if (memory == 0) {
        *why = "cannot tell the machine's memory";
        return false;
    }
    std::vector<RamDeviceListing> devices;
    if (!listRamDevices(&state, &devices, why))
        return false;
    const Commitment c = commitmentOf(devices, caller);

    if (caller != 0 && newDevice && c.callerDevices >= QMVolumeRules::kMaxDevicesPerUser) {
        *why = "this user has " + disksText(c.callerDevices) + " already, the most one user may have";
        return false;
    }
    const uint64_t all = QMVolumeRules::memoryForAllRamDisks(memory);
    if (caller != 0) {
        const uint64_t share = QMVolumeRules::memoryPerUser(memory);
        if (c.callerBytes + additionalBytes > share) {
            *why = "this user's RAM disks would take " + bytesText(c.callerBytes + additionalBytes) + ", more than the "
                + bytesText(share) + " one user may have (half of the " + std::to_string(all)
                + " bytes that all RAM disks together may take); committed now: " + bytesText(c.callerBytes) + " in "
                + disksText(c.callerDevices) + " of this user";
            return false;
        }
    }
    if (c.allBytes + additionalBytes > all) {
        std::string released;
        if (c.releasedDevices > 0)
            released = ", of which " + bytesText(c.releasedBytes) + " in " + disksText(c.releasedDevices)
                + " released, waiting for the kernel";
        *why = "all RAM disks together would take " + bytesText(c.allBytes + additionalBytes) + ", more than the "
            + bytesText(all) + " the machine can give them (its memory less a reserve of "
            + std::to_string(QMVolumeRules::memoryReserve(memory)) + " bytes); committed now: "
            + bytesText(c.allBytes) + " in " + disksText(c.allDevices) + " of all users" + released;
        return false;
    }
    return true;
}

} // namespace dt
