// The name and mount-path rules that the disk tool enforces and the manager applies first.
#include "QMVolumeRules.h"

#include <gtest/gtest.h>

#include <string>

using namespace QMVolumeRules;

TEST(QMVolumeRules, NamesAreValidUtf8WithinTheByteLimit)
{
    EXPECT_EQ(nameProblem("My Disk"), nullptr);
    EXPECT_EQ(nameProblem(" spaced "), nullptr);
    EXPECT_EQ(nameProblem("Ärger \xE2\x82\xAC \xF0\x9F\x98\x80"), nullptr); // two, three and four bytes
    EXPECT_EQ(nameProblem(std::string(255, 'a')), nullptr);
    EXPECT_STREQ(nameProblem(std::string(256, 'a')), "The name is longer than 255 bytes.");
    EXPECT_STREQ(nameProblem(""), "The name is empty.");
    EXPECT_STREQ(nameProblem("-rf"), "The name begins with \"-\".");
    EXPECT_EQ(nameProblem("a-"), nullptr);
    EXPECT_STREQ(nameProblem("."), "The name can not be \".\" or \"..\".");
    EXPECT_STREQ(nameProblem(".."), "The name can not be \".\" or \"..\".");
    EXPECT_EQ(nameProblem("..."), nullptr);
    EXPECT_STREQ(nameProblem("a/b"), "The name contains \"/\".");
    for (const char *control : {"a\tb", "a\nb", "a\x7f", "\x1b[31m", "a\xC2\x85" "b", "a\xC2\x9F"})
        EXPECT_STREQ(nameProblem(control), "The name contains a control character.") << control;
    EXPECT_EQ(nameProblem("a\xC2\xA0" "b"), nullptr); // U+00A0 is not a control character
    // Truncated, stray continuation, overlong, surrogate, beyond U+10FFFF, invalid lead bytes.
    for (const char *bad : {"\xE2\x82", "a\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",
                            "\xFF", "\xC1\xBF"})
        EXPECT_STREQ(nameProblem(bad), "The name is not valid UTF-8.") << bad;
    EXPECT_STREQ(nameProblem(std::string("a\0b", 3)), "The name contains a control character.");
}

TEST(QMVolumeRules, LabelsAreCutOnACharacterBoundary)
{
    EXPECT_EQ(utf8Prefix("short", kLabelMaxBytes), "short");
    EXPECT_EQ(utf8Prefix(std::string(20, 'x'), kLabelMaxBytes), std::string(16, 'x'));
    // 15 bytes of ASCII and a two-byte character: the character does not fit whole.
    EXPECT_EQ(utf8Prefix(std::string(15, 'x') + "\xC3\xA4", kLabelMaxBytes), std::string(15, 'x'));
    EXPECT_EQ(utf8Prefix("\xE2\x82\xAC\xE2\x82\xAC", 5), "\xE2\x82\xAC");
}

TEST(QMVolumeRules, PathTexts)
{
    std::string normalized;
    EXPECT_EQ(pathTextProblem("/home/u//Disks/./R/", &normalized), nullptr);
    EXPECT_EQ(normalized, "/home/u/Disks/R");
    EXPECT_EQ(pathTextProblem("/", &normalized), nullptr);
    EXPECT_EQ(normalized, "/");
    EXPECT_STREQ(pathTextProblem("home/u", &normalized), "The mount path is not absolute.");
    EXPECT_STREQ(pathTextProblem("", &normalized), "The mount path is not absolute.");
    EXPECT_STREQ(pathTextProblem("-o", &normalized), "The mount path begins with \"-\".");
    EXPECT_STREQ(pathTextProblem("/home/u/../root", &normalized), "The mount path contains \"..\".");
    EXPECT_STREQ(pathTextProblem("/home/u/..", &normalized), "The mount path contains \"..\".");
    EXPECT_EQ(pathTextProblem("/home/u/..x", &normalized), nullptr);
    EXPECT_STREQ(pathTextProblem("/home/u\n/x", &normalized), "The mount path contains a control character.");
    EXPECT_EQ(pathTextProblem("/" + std::string(kPathMaxBytes - 1, 'a'), &normalized), nullptr);
    EXPECT_STREQ(pathTextProblem("/" + std::string(kPathMaxBytes, 'a'), &normalized), "The mount path is too long.");
}

TEST(QMVolumeRules, EverySystemDirectoryAndWhatLiesInIt)
{
    const char *systemDirectories[] = {
        "/.Trashes", "/Applications", "/bin", "/cores", "/dev", "/etc", "/Library", "/net", "/Network", "/private",
        "/sbin", "/System", "/tmp", "/usr", "/var", "/boot", "/lib", "/lib32", "/lib64", "/libx32", "/opt",
        "/proc", "/root", "/run", "/srv", "/sys", "/snap", "/media"};
    EXPECT_TRUE(isInSystemDirectory("/"));
    for (const std::string dir : systemDirectories) {
        EXPECT_TRUE(isInSystemDirectory(dir)) << dir;
        EXPECT_TRUE(isInSystemDirectory(dir + "/inside/deeper")) << dir;
        // A name that merely begins like one is somewhere else.
        EXPECT_FALSE(isInSystemDirectory(dir + "x")) << dir;
        EXPECT_FALSE(isInSystemDirectory("/home" + dir)) << dir;
    }
    EXPECT_FALSE(isInSystemDirectory("/home"));
    EXPECT_FALSE(isInSystemDirectory("/home/u/Disks"));
    EXPECT_FALSE(isInSystemDirectory("/mnt/disks"));
}

TEST(QMVolumeRules, MemoryReserveAndPerUserShare)
{
    EXPECT_EQ(memoryReserve(4294967296ULL), 256000000ULL);
    EXPECT_EQ(memoryReserve(4294967297ULL), 1024000000ULL);
    EXPECT_EQ(memoryForAllRamDisks(8589934592ULL), 8589934592ULL - 1024000000ULL);
    EXPECT_EQ(memoryPerUser(8589934592ULL), (8589934592ULL - 1024000000ULL) / 2);
    EXPECT_EQ(memoryForAllRamDisks(200000000ULL), 0u);
    EXPECT_EQ(memoryPerUser(200000000ULL), 0u);
}
