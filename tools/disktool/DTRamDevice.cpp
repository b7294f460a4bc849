#include "DTRamDevice.h"

namespace dt {

std::vector<std::string> RamDevice::shownAt(const std::vector<MountEntry> &table) const
{
    std::vector<std::string> points;
    for (const auto &e : table) {
        if (isShownBy(e))
            points.push_back(e.mountPoint);
    }
    return points;
}

std::unique_ptr<RamDevice> openRamDevice(State &state, const std::string &name, uid_t caller, Purpose purpose,
                                         std::string *why, bool *recorded)
{
    if (recorded)
        *recorded = false;
    if (looksLikeOption(name)) {
        *why = "\"" + name + "\" would be read as an option, not a device";
        return nullptr;
    }
    // The name tells the realisation, as attach recorded it.
    std::unique_ptr<RamDevice> device = isMemoryInstanceName(name)
        ? openMemoryInstance(state, name, caller, purpose, why, recorded)
        : openLoopRamDevice(state, name, caller, purpose, why, recorded);
    if (device && purpose == Purpose::Use && device->released()) {
        *why = name + " was ejected and is released, waiting for the kernel";
        return nullptr;
    }
    return device;
}

bool listRamDevices(State *state, std::vector<RamDeviceListing> *devices, std::string *why)
{
    const auto table = readMountTable();
    return listLoopRamDevices(state, table, devices, why) && listMemoryInstances(state, table, devices, why);
}

} // namespace dt
