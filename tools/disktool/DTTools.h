#pragma once

// The personalities of quilmo-disktool. Each takes the arguments after the program name,
// prints only what its contract says on success, and on failure prints one line on
// standard error and returns 1 without having changed anything.

#include <string>
#include <vector>

namespace dt {

using Args = std::vector<std::string>;

int hdiutil(const Args &args);
int newfsHfs(const Args &args);
int mountTool(const Args &args);
int umountTool(const Args &args);
int diskutil(const Args &args);
int mdutil(const Args &args);
int purge(const Args &args);

// Whether the personality, with these arguments, has to run as root.
bool needsRoot(const std::string &personality, const Args &args);

// Runs the personality; 2 for an unknown one.
int runPersonality(const std::string &personality, const Args &args);

// Reports a failure of the running personality: one line on standard error. Returns 1.
int fail(const std::string &message);
void setPersonalityForMessages(const std::string &personality);

} // namespace dt
