#include "QMBrowserLayouts.h"
#include "QMDesktopEntry.h"
#include "QMTemporaryDir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLocale>

namespace {
bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}
} // namespace

TEST(QMDesktopEntry, ReadsTheMainGroupOnly)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.path() + QStringLiteral("/app.desktop");
    ASSERT_TRUE(writeFile(path, "# comment\n"
                                "[Desktop Entry]\n"
                                "Type=Application\n"
                                "Name=Fox\\sBrowser\n"
                                "Name[de]=Fuchs\n"
                                "Icon = fox\n"
                                "[Desktop Action new-window]\n"
                                "Name=New Window\n"
                                "Icon=other\n"));
    QMDesktopEntry entry;
    ASSERT_TRUE(entry.load(path));
    EXPECT_EQ(entry.name(), QStringLiteral("Fox Browser"));
    EXPECT_EQ(entry.icon(), QStringLiteral("fox"));
    EXPECT_TRUE(entry.value(QStringLiteral("Exec")).isNull());

    // German falls back from de_DE to de.
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(entry.name(), QStringLiteral("Fuchs"));
    QLocale::setDefault(saved);

    ASSERT_TRUE(writeFile(path, "[Desktop Action x]\nName=Only an action\n"));
    EXPECT_FALSE(entry.load(path));
    EXPECT_FALSE(entry.load(dir.path() + QStringLiteral("/missing.desktop")));
}

TEST(QMDesktopEntry, UserEntriesComeFirst)
{
    QMTest::ApplicationsRoot root;
    const QString user = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/applications");
    ASSERT_TRUE(QDir().mkpath(user));
    ASSERT_TRUE(writeFile(user + QStringLiteral("/quilmo-test-b.desktop"), "[Desktop Entry]\nName=User B\n"));
    // The system's entries, in $XDG_DATA_DIRS under the applications root.
    const QString system = root.at(QStringLiteral("/usr/share/applications"));
    ASSERT_TRUE(QDir().mkpath(system));
    ASSERT_TRUE(writeFile(system + QStringLiteral("/quilmo-test-a.desktop"), "[Desktop Entry]\nName=System A\n"));

    QMDesktopEntry entry;
    EXPECT_TRUE(entry.loadFirst({QStringLiteral("quilmo-test-a.desktop"), QStringLiteral("quilmo-test-b.desktop")}));
    EXPECT_EQ(entry.name(), QStringLiteral("User B"));
    EXPECT_TRUE(entry.loadFirst({QStringLiteral("quilmo-test-a.desktop")}));
    EXPECT_EQ(entry.name(), QStringLiteral("System A"));
    EXPECT_FALSE(entry.loadFirst({QStringLiteral("quilmo-test-none.desktop")}));
}
