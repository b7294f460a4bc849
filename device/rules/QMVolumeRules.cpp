#include "QMVolumeRules.h"

namespace QMVolumeRules {

namespace {

// Length of the UTF-8 sequence starting at text[i]; 0 when it is not valid UTF-8
// (overlong forms, surrogates and values above U+10FFFF included).
std::size_t sequenceLength(std::string_view text, std::size_t i)
{
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80)
        return 1;
    std::size_t length = 0;
    if (c >= 0xC2 && c <= 0xDF)
        length = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        length = 3;
    else if (c >= 0xF0 && c <= 0xF4)
        length = 4;
    else
        return 0;
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    }
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second >= 0xA0) || (c == 0xF0 && second < 0x90)
        || (c == 0xF4 && second >= 0x90))
        return 0;
    return length;
}

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

} // namespace

const char *nameProblem(std::string_view name)
{
    if (name.empty())
        return "The name is empty.";
    if (name.size() > kNameMaxBytes)
        return "The name is longer than 255 bytes.";
    if (name.front() == '-')
        return "The name begins with \"-\".";
    if (name == "." || name == "..")
        return "The name can not be \".\" or \"..\".";
    for (std::size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        const std::size_t length = sequenceLength(name, i);
        if (length == 0)
            return "The name is not valid UTF-8.";
        // U+0080..U+009F (C1) are control characters as well.
        if (isControl(c) || (length == 2 && c == 0xC2 && static_cast<unsigned char>(name[i + 1]) < 0xA0))
            return "The name contains a control character.";
        if (c == '/')
            return "The name contains \"/\".";
        i += length;
    }
    return nullptr;
}

std::string utf8Prefix(std::string_view text, std::size_t maxBytes)
{
    std::size_t end = 0;
    while (end < text.size()) {
        std::size_t length = sequenceLength(text, end);
        if (length == 0)
            length = 1;
        if (end + length > maxBytes)
            break;
        end += length;
    }
    return std::string(text.substr(0, end));
}

const char *pathTextProblem(std::string_view path, std::string *normalized)
{
    if (!path.empty() && path.front() == '-')
        return "The mount path begins with \"-\".";
    if (path.empty() || path.front() != '/')
        return "The mount path is not absolute.";
    if (path.size() > kPathMaxBytes)
        return "The mount path is too long.";
    for (unsigned char c : path) {
        if (isControl(c))
            return "The mount path contains a control character.";
    }
    std::string out;
    std::size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/')
            ++i;
        std::size_t end = path.find('/', i);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view component = path.substr(i, end - i);
        i = end;
        if (component.empty() || component == ".")
            continue;
        if (component == "..")
            return "The mount path contains \"..\".";
        out += '/';
        out += component;
    }
    if (normalized)
        *normalized = out.empty() ? std::string("/") : out;
    return nullptr;
}

bool isInSystemDirectory(std::string_view normalized)
{
    // /media belongs to the volumes that the desktop (and we, through diskutil) mount
    // there; the mount tool admits only the calling user's own places in it.
    static constexpr std::string_view systemDirectories[] = {
        "/.Trashes", "/Applications", "/bin",  "/cores", "/dev",   "/etc",    "/Library", "/net",
        "/Network",  "/private",      "/sbin", "/System", "/tmp",  "/usr",    "/var",     "/boot",
        "/lib",      "/lib32",        "/lib64", "/libx32", "/opt", "/proc",   "/root",    "/run",
        "/srv",      "/sys",          "/snap", "/media"};
    if (normalized == "/")
        return true;
    for (const std::string_view dir : systemDirectories) {
        if (normalized.substr(0, dir.size()) == dir && (normalized.size() == dir.size() || normalized[dir.size()] == '/'))
            return true;
    }
    return false;
}

std::uint64_t memoryReserve(std::uint64_t physicalMemory)
{
    return physicalMemory <= 4294967296ULL ? 256000000ULL : 1024000000ULL;
}

std::uint64_t memoryForAllRamDisks(std::uint64_t physicalMemory)
{
    const std::uint64_t reserve = memoryReserve(physicalMemory);
    return physicalMemory > reserve ? physicalMemory - reserve : 0;
}

std::uint64_t memoryPerUser(std::uint64_t physicalMemory)
{
    return memoryForAllRamDisks(physicalMemory) / 2;
}

} // namespace QMVolumeRules
