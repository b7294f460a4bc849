#pragma once

// The rules a volume name and a mount path must follow, in plain C++: quilmo-disktool
// (which runs as root and links no Qt) enforces them, and QMRamDiskManager's checks apply
// the very same ones beforehand, so that nothing the tool will refuse is ever started.
// Every text here is an English sentence; the manager uses it as a translation key, the
// tool prints it as it stands.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace QMVolumeRules {

// ext4: a file name holds at most 255 bytes, a volume label 16 (the label is the name cut
// to that on a character boundary).
inline constexpr std::size_t kNameMaxBytes = 255;
inline constexpr std::size_t kLabelMaxBytes = 16;
// A whole path as the kernel takes it (PATH_MAX, with its terminating zero).
inline constexpr std::size_t kPathMaxBytes = 4095;

// Why a volume name is refused; nullptr when it is acceptable. A name must be valid UTF-8
// of 1 to 255 bytes without control characters (C0, DEL, C1) or "/", must not begin with
// "-" (a tool would read it as an option) and must not be "." or "..".
const char *nameProblem(std::string_view utf8Name);

// The first bytes of a UTF-8 text that fit in maxBytes without cutting a character.
std::string utf8Prefix(std::string_view text, std::size_t maxBytes);

// Why the text of a path is refused as a mount place; nullptr when it is acceptable. Fills
// *normalized (repeated, "." and trailing slashes removed) on success. Refused: a path
// that is not absolute, contains "..", a control character, begins with "-" or is longer
// than the kernel takes.
const char *pathTextProblem(std::string_view path, std::string *normalized);

// True when a normalized absolute path is "/" or lies in one of the system directories
// (the other platform's and Linux's own; users' homes under /home stay usable).
bool isInSystemDirectory(std::string_view normalized);

// The memory a machine keeps for itself beside its RAM disks: 256000000 bytes with at most
// 4 GiB of physical memory, 1024000000 above.
std::uint64_t memoryReserve(std::uint64_t physicalMemory);

// What all RAM disks of all users together may hold: the physical memory less the reserve.
std::uint64_t memoryForAllRamDisks(std::uint64_t physicalMemory);
// What one user's RAM disks together may hold (half of what all may hold), and how many
// devices one user may have. Root has no share of its own: only the total holds for it.
std::uint64_t memoryPerUser(std::uint64_t physicalMemory);
inline constexpr std::size_t kMaxDevicesPerUser = 16;

// The texts of the refusals that depend on the file system rather than on the text.
inline constexpr const char *kSymbolicLink = "The mount path passes through a symbolic link.";
inline constexpr const char *kSystemDirectory = "The mount directory can not be a system directory.";
inline constexpr const char *kNotADirectory = "The mount path is not a directory.";
inline constexpr const char *kNotOwned = "The mount path is not owned by the calling user.";
inline constexpr const char *kForeignMount = "Another volume is mounted at the mount path.";

} // namespace QMVolumeRules
