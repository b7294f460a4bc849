// The volume tag: strings-file text, extended attributes and the tag round trip.
#include "QMExtendedAttributes.h"
#include "QMRamDiskDevice.h"
#include "QMStringsFile.h"
#include "QMTemporaryDir.h"

#include <gtest/gtest.h>

#include <QFile>

#include <cstdlib>
#include <cstring>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

QByteArray enc(const QString &path)
{
    return QFile::encodeName(path);
}

bool setRawTag(const QString &path, const QByteArray &value)
{
    return lsetxattr(enc(path).constData(), QMVolumeTagAttributeName, value.constData(),
                     static_cast<size_t>(value.size()), 0) == 0;
}

} // namespace

TEST(QMStringsFile, WritesOneQuotedEntryPerLineAndReadsItBack)
{
    const QVariantMap map{{QStringLiteral("identifier"), QStringLiteral("6F1C-AB")},
                          {QStringLiteral("deviceNode"), QStringLiteral("/dev/loop3")}};
    const QString text = QMStringsFile::textFromMap(map);
    EXPECT_EQ(text, QStringLiteral("\"deviceNode\" = \"/dev/loop3\";\n\"identifier\" = \"6F1C-AB\";\n"));
    QVariantMap back;
    ASSERT_TRUE(QMStringsFile::mapFromText(text, &back));
    EXPECT_EQ(back, map);
    EXPECT_TRUE(QMStringsFile::textFromMap({}).isEmpty());
}

TEST(QMStringsFile, EscapesQuotesAndBackslashesBothWays)
{
    const QString tricky = QStringLiteral("a \"quoted\" \\ path;\n= next");
    const QVariantMap map{{QStringLiteral("k\"ey"), tricky}};
    QVariantMap back;
    ASSERT_TRUE(QMStringsFile::mapFromText(QMStringsFile::textFromMap(map), &back));
    EXPECT_EQ(back.value(QStringLiteral("k\"ey")).toString(), tricky);
}

TEST(QMStringsFile, AcceptsWhatTheFormatAllows)
{
    QVariantMap m;
    ASSERT_TRUE(QMStringsFile::mapFromText(QStringLiteral("/* header */\n// line comment\n"
                                                          "  \"a\"=\"1\" ;\tb = two; \"c\" /* mid */ = \"\\U00e9\\n\\101\";\n"
                                                          "\"same\";"),
                                           &m));
    EXPECT_EQ(m.value(QStringLiteral("a")).toString(), QStringLiteral("1"));
    EXPECT_EQ(m.value(QStringLiteral("b")).toString(), QStringLiteral("two"));
    EXPECT_EQ(m.value(QStringLiteral("c")).toString(), QStringLiteral("\u00e9\nA"));
    EXPECT_EQ(m.value(QStringLiteral("same")).toString(), QStringLiteral("same"));

    // A later duplicate wins; empty text and comments alone are an empty strings file.
    ASSERT_TRUE(QMStringsFile::mapFromText(QStringLiteral("\"k\" = \"1\"; \"k\" = \"2\";"), &m));
    EXPECT_EQ(m.value(QStringLiteral("k")).toString(), QStringLiteral("2"));
    ASSERT_TRUE(QMStringsFile::mapFromText(QString(), &m));
    EXPECT_TRUE(m.isEmpty());
    ASSERT_TRUE(QMStringsFile::mapFromText(QStringLiteral(" /* only */ "), &m));
    EXPECT_TRUE(m.isEmpty());
}

TEST(QMStringsFile, RefusesAnythingElse)
{
    const char *bad[] = {
        "\"a\" = \"1\"",            // no semicolon
        "\"a\" = ;",                // no value
        "\"a\" \"1\";",             // no equals sign
        "\"a = \"1\";",             // unbalanced quotes
        "\"a\" = \"1\"; junk",      // trailing garbage
        "\"a\" = \"\\q\";",         // unknown escape
        "\"a\" = \"\\",             // escape at the end
        "/* open comment",          // unterminated comment
        "{ \"a\" = \"1\"; }",       // a dictionary, not a strings file
        "a b = c;",                 // two words for a key
        "\"a\" = \"\\U\";",         // \U without digits
        "= \"1\";",                 // no key
    };
    for (const char *text : bad) {
        QVariantMap m{{QStringLiteral("untouched"), 1}};
        EXPECT_FALSE(QMStringsFile::mapFromText(QString::fromUtf8(text), &m)) << text;
        EXPECT_TRUE(m.contains(QStringLiteral("untouched"))) << text;
    }
    QVariantMap m;
    EXPECT_FALSE(QMStringsFile::mapFromUtf8(QByteArray("\"a\" = \"\xff\xfe\";"), &m));
}

TEST(QMExtendedAttributes, SetGetAndRemoveWithoutFollowingLinks)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray path = enc(dir.path());
    const char *name = "user.org.quilmo.test";
    const char value[] = "abc\0def"; // bytes, not a C string
    ASSERT_TRUE(QMSetExtendedAttribute(value, 7, name, path.constData()));

    void *buffer = nullptr;
    size_t length = 0;
    ASSERT_TRUE(QMGetExtentedAttribute(&buffer, &length, name, path.constData()));
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(std::memcmp(buffer, value, 7), 0);
    std::free(buffer);

    // A link to the directory has no attribute of its own and is never followed.
    const QByteArray link = enc(dir.path() + QStringLiteral("/link"));
    ASSERT_EQ(symlink(path.constData(), link.constData()), 0);
    EXPECT_FALSE(QMGetExtentedAttribute(&buffer, &length, name, link.constData()));

    ASSERT_TRUE(QMSetExtendedAttribute(nullptr, 0, name, path.constData()));
    EXPECT_FALSE(QMGetExtentedAttribute(&buffer, &length, name, path.constData()));
    EXPECT_FALSE(QMSetExtendedAttribute(nullptr, 0, name, path.constData())) << "nothing left to remove";

    EXPECT_FALSE(QMSetExtendedAttribute(value, 3, nullptr, path.constData()));
    EXPECT_FALSE(QMGetExtentedAttribute(&buffer, &length, name, nullptr));
    EXPECT_FALSE(QMGetExtentedAttribute(&buffer, &length, name, "/nonexistent/quilmo"));
}

TEST(QMVolumeTag, RoundTripOfTheTwoEntries)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QVariantMap tag{{QStringLiteral("identifier"), QStringLiteral("0E9B7A52-1F8C-4B8E-9B39-2D6C1C2B5A11")},
                          {QStringLiteral("deviceNode"), QStringLiteral("/dev/loop7")}};
    ASSERT_TRUE(QMRamDiskDevice::setExtendedRamDiskInfos(tag, dir.path()));
    QVariantMap back;
    ASSERT_TRUE(QMRamDiskDevice::getExtentedRamDiskInfos(&back, dir.path()));
    EXPECT_EQ(back, tag);

    // Stored as the strings-file text itself, without a terminating zero.
    char raw[256] = {};
    const ssize_t n = lgetxattr(enc(dir.path()).constData(), "user.org.quilmo.ramdisk-info", raw, sizeof raw);
    ASSERT_GT(n, 0);
    EXPECT_NE(raw[n - 1], '\0');
}

TEST(QMVolumeTag, MissingEmptyOrForeignValuesAreNoTag)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QVariantMap out{{QStringLiteral("keep"), 1}};
    EXPECT_FALSE(QMRamDiskDevice::setExtendedRamDiskInfos({}, dir.path())) << "an empty map is never written";
    EXPECT_FALSE(QMRamDiskDevice::getExtentedRamDiskInfos(&out, dir.path())) << "no attribute";
    EXPECT_FALSE(QMRamDiskDevice::setExtendedRamDiskInfos({{QStringLiteral("a"), QStringLiteral("b")}}, QString()));
    EXPECT_FALSE(QMRamDiskDevice::getExtentedRamDiskInfos(&out, QString()));
    EXPECT_FALSE(QMRamDiskDevice::getExtentedRamDiskInfos(&out, dir.path() + QStringLiteral("/missing")));

    for (const QByteArray &value : {QByteArray(""), QByteArray("not a strings file"), QByteArray("/* nothing */"),
                                    QByteArray("bplist00\x01\x02", 10)}) {
        ASSERT_TRUE(setRawTag(dir.path(), value));
        EXPECT_FALSE(QMRamDiskDevice::getExtentedRamDiskInfos(&out, dir.path())) << value.constData();
    }
    EXPECT_TRUE(out.contains(QStringLiteral("keep")));
}
