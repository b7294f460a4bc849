// The two formats under the entries file: property lists and keyed archives.
#include "QMKeyedArchiver.h"
#include "QMPropertyListSerialization.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPointF>

namespace {

using Uid = QMPropertyListSerialization::Uid;

QVariantMap everyKind()
{
    return {
        {QStringLiteral("string"), QStringLiteral("ünïcode & <xml> \"quotes\"")},
        {QStringLiteral("empty"), QStringLiteral("")},
        {QStringLiteral("int"), qint64(-42)},
        {QStringLiteral("big"), qint64(128000000000LL)},
        {QStringLiteral("real"), 2.5},
        {QStringLiteral("yes"), true},
        {QStringLiteral("no"), false},
        {QStringLiteral("data"), QByteArray("\0\x01\xff", 3)},
        // Whole seconds: XML dates hold no more.
        {QStringLiteral("date"), QDateTime::fromMSecsSinceEpoch(1700000000000LL, Qt::UTC)},
        {QStringLiteral("list"), QVariantList{qint64(1), QStringLiteral("two"), QVariantMap{{QStringLiteral("k"), true}}}},
        {QStringLiteral("uid"), QVariant::fromValue(Uid{7})},
    };
}

TEST(QMRamDiskEntriesCodec, PropertyListKeepsEveryKindInBothFormats)
{
    const QVariantMap original = everyKind();
    for (auto format : {QMPropertyListSerialization::Format::Xml, QMPropertyListSerialization::Format::Binary}) {
        const QByteArray data = QMPropertyListSerialization::toData(original, format);
        ASSERT_FALSE(data.isEmpty());
        const QVariantMap back = QMPropertyListSerialization::fromData(data).toMap();
        ASSERT_EQ(back.keys(), original.keys());
        for (const QString &key : original.keys()) {
            if (key == QLatin1String("uid"))
                EXPECT_EQ(back.value(key).value<Uid>().value, 7u);
            else if (key == QLatin1String("list"))
                EXPECT_EQ(back.value(key).toList().size(), 3);
            else
                EXPECT_EQ(back.value(key), original.value(key)) << key.toStdString();
        }
    }
    QString error;
    EXPECT_TRUE(QMPropertyListSerialization::toData(QVariant::fromValue(QPointF()), QMPropertyListSerialization::Format::Xml, &error).isEmpty());
    EXPECT_FALSE(error.isEmpty());
}

TEST(QMRamDiskEntriesCodec, DamagedPropertyListsAreRejectedNotCrashedOn)
{
    const QByteArray xml = QMPropertyListSerialization::toData(everyKind(), QMPropertyListSerialization::Format::Xml);
    const QByteArray bin = QMPropertyListSerialization::toData(everyKind(), QMPropertyListSerialization::Format::Binary);
    EXPECT_FALSE(QMPropertyListSerialization::fromData(QByteArray()).isValid());
    EXPECT_FALSE(QMPropertyListSerialization::fromData(QByteArray("garbage that is no plist at all")).isValid());
    // Every truncation of either format either fails or yields something, but never crashes.
    for (const QByteArray &whole : {xml, bin})
        for (qsizetype n = 1; n < whole.size(); n += 7)
            (void)QMPropertyListSerialization::fromData(whole.left(n));
    EXPECT_FALSE(QMPropertyListSerialization::fromData(bin.left(bin.size() - 10)).isValid());
    EXPECT_FALSE(QMPropertyListSerialization::fromData(xml.left(xml.size() / 2)).isValid());

    // Inputs on which libplist itself aborts the process: a dictionary key that is not a
    // string (a damaged binary entries file, found by fuzzing) and a zero character.
    QFile damaged(QStringLiteral(QUILMO_TEST_DATA_DIR "/entries/binary-key-not-a-string.bplist"));
    ASSERT_TRUE(damaged.open(QIODevice::ReadOnly));
    EXPECT_FALSE(QMPropertyListSerialization::fromData(damaged.readAll()).isValid());
    QByteArray zero = xml;
    zero.replace("<key>empty</key>", "<key>emp&#0;ty</key>");
    ASSERT_NE(zero, xml);
    EXPECT_FALSE(QMPropertyListSerialization::fromData(zero).isValid());
}

TEST(QMRamDiskEntriesCodec, DeepNestingIsRefused)
{
    const int depth = 200000;
    QByteArray xml("<?xml version=\"1.0\"?><plist version=\"1.0\">");
    xml += QByteArray("<array>").repeated(depth) + QByteArray("</array>").repeated(depth) + "</plist>";
    EXPECT_FALSE(QMPropertyListSerialization::fromData(xml).isValid());

    // The binary form of the same: each array holds a reference to the next.
    QByteArray bin("bplist00");
    QByteArray table;
    auto be32 = [](quint32 v) {
        const char bytes[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                               static_cast<char>(v)};
        return QByteArray(bytes, 4);
    };
    for (int i = 0; i < depth; ++i) {
        table += be32(static_cast<quint32>(bin.size()));
        bin += i + 1 < depth ? QByteArray(1, '\xA1') + be32(static_cast<quint32>(i + 1)) : QByteArray(1, '\xA0');
    }
    const quint32 tableOffset = static_cast<quint32>(bin.size());
    bin += table + QByteArray(6, '\0') + QByteArray("\x04\x04", 2) + QByteArray(4, '\0') + be32(depth)
           + QByteArray(8, '\0') + QByteArray(4, '\0') + be32(tableOffset);
    EXPECT_FALSE(QMPropertyListSerialization::fromData(bin).isValid());

    // Nesting as deep as real files is fine.
    QVariant nested = QVariantList{};
    for (int i = 0; i < 100; ++i)
        nested = QVariantList{nested};
    for (auto format : {QMPropertyListSerialization::Format::Xml, QMPropertyListSerialization::Format::Binary})
        EXPECT_TRUE(QMPropertyListSerialization::fromData(QMPropertyListSerialization::toData(nested, format)).isValid());
}

TEST(QMRamDiskEntriesCodec, FilesAreWrittenWholeAndReadBackWithTheirStatus)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("RamDiskEntries"));
    QVariantMap dict;
    EXPECT_EQ(QMPropertyListSerialization::readDictionary(path, &dict), QMPropertyListSerialization::ReadStatus::Missing);

    ASSERT_TRUE(QMPropertyListSerialization::writeFileAtomically(path, everyKind(), QMPropertyListSerialization::Format::Xml));
    ASSERT_EQ(QMPropertyListSerialization::readDictionary(path, &dict), QMPropertyListSerialization::ReadStatus::Ok);
    EXPECT_EQ(dict.value(QStringLiteral("big")).toLongLong(), 128000000000LL);
    // No temporary file is left beside it.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("RamDiskEntries")});

    ASSERT_TRUE(QMPropertyListSerialization::writeFileAtomically(path, QVariantList{qint64(1)}, QMPropertyListSerialization::Format::Xml));
    EXPECT_EQ(QMPropertyListSerialization::readDictionary(path, &dict), QMPropertyListSerialization::ReadStatus::NotADictionary);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("<?xml version=\"1.0\"?><plist><dict><key>a</key>");
    f.close();
    EXPECT_EQ(QMPropertyListSerialization::readDictionary(path, &dict), QMPropertyListSerialization::ReadStatus::NotAPropertyList);
    EXPECT_EQ(QMPropertyListSerialization::readDictionary(dir.path(), &dict), QMPropertyListSerialization::ReadStatus::NotARegularFile);

    QString error;
    EXPECT_FALSE(QMPropertyListSerialization::writeFileAtomically(dir.filePath(QStringLiteral("no/such/dir/file")), dict,
                                                     QMPropertyListSerialization::Format::Xml, &error));
    EXPECT_FALSE(error.isEmpty());
}

TEST(QMRamDiskEntriesCodec, KeyedArchiveRoundTripsObjectsWithTheirClasses)
{
    QMKeyedArchiver::Object a{QStringLiteral("QMRamDisk"), {}, {}};
    a.values = {{QStringLiteral("identifier"), QStringLiteral("A")},
                {QStringLiteral("name"), QStringLiteral("Shared")},
                {QStringLiteral("size"), qint64(512000000)},
                {QStringLiteral("createAtLogin"), true},
                {QStringLiteral("postCmdArgs"), QStringList{QStringLiteral("-v"), QStringLiteral("Shared")}}};
    QMKeyedArchiver::Object b{QStringLiteral("QMRamDiskEntry"), {QStringLiteral("QMRamDiskEntry"), QStringLiteral("QMRamDisk")}, {}};
    b.values = {{QStringLiteral("name"), QStringLiteral("Shared")}, {QStringLiteral("path"), QString()}};

    QString error;
    const QByteArray data =
        QMKeyedArchiver::archivedDataWithRootObject(QVariantList{QVariant::fromValue(a), QVariant::fromValue(b)}, &error);
    ASSERT_FALSE(data.isEmpty()) << error.toStdString();

    // The platform's layout: named archiver, top-level root reference, object table.
    const QVariantMap archive = QMPropertyListSerialization::fromData(data).toMap();
    EXPECT_EQ(archive.value(QStringLiteral("$archiver")).toString(), QStringLiteral("NSKeyedArchiver"));
    EXPECT_EQ(archive.value(QStringLiteral("$version")).toLongLong(), 100000);
    const QVariantList objects = archive.value(QStringLiteral("$objects")).toList();
    EXPECT_EQ(objects.value(0).toString(), QStringLiteral("$null"));
    EXPECT_EQ(objects.count(QVariant(QStringLiteral("Shared"))), 1); // strings are shared

    const QVariantList back = QMKeyedArchiver::unarchiveObjectWithData(data, &error).toList();
    ASSERT_EQ(back.size(), 2) << error.toStdString();
    const auto a2 = back.at(0).value<QMKeyedArchiver::Object>();
    const auto b2 = back.at(1).value<QMKeyedArchiver::Object>();
    EXPECT_EQ(a2.className, QStringLiteral("QMRamDisk"));
    EXPECT_EQ(a2.values.value(QStringLiteral("size")).toLongLong(), 512000000);
    EXPECT_EQ(a2.values.value(QStringLiteral("createAtLogin")), QVariant(true));
    EXPECT_EQ(a2.values.value(QStringLiteral("postCmdArgs")).toStringList(),
              (QStringList{QStringLiteral("-v"), QStringLiteral("Shared")}));
    EXPECT_EQ(b2.className, QStringLiteral("QMRamDiskEntry"));
    EXPECT_TRUE(b2.classHierarchy.contains(QStringLiteral("QMRamDisk")));
    EXPECT_FALSE(b2.values.contains(QStringLiteral("path"))); // nil stays absent
}

TEST(QMRamDiskEntriesCodec, MalformedArchivesAreErrors)
{
    auto archive = [](const QVariantList &objects, quint64 root) {
        return QMPropertyListSerialization::toData(QVariantMap{{QStringLiteral("$archiver"), QStringLiteral("NSKeyedArchiver")},
                                                  {QStringLiteral("$version"), qint64(100000)},
                                                  {QStringLiteral("$top"), QVariantMap{{QStringLiteral("root"), QVariant::fromValue(Uid{root})}}},
                                                  {QStringLiteral("$objects"), objects}},
                                      QMPropertyListSerialization::Format::Binary);
    };
    const QVariantMap arrayClass{{QStringLiteral("$classname"), QStringLiteral("NSArray")}};
    const QVariant self = QVariantMap{{QStringLiteral("NS.objects"), QVariantList{QVariant::fromValue(Uid{1})}},
                                      {QStringLiteral("$class"), QVariant::fromValue(Uid{2})}};
    const QVariant dangling = QVariantMap{{QStringLiteral("NS.objects"), QVariantList{QVariant::fromValue(Uid{99})}},
                                          {QStringLiteral("$class"), QVariant::fromValue(Uid{2})}};
    const QVariant classless = QVariantMap{{QStringLiteral("name"), QVariant::fromValue(Uid{0})}};

    const QList<QByteArray> bad = {
        QByteArray("not an archive"),
        QMPropertyListSerialization::toData(QVariantMap{{QStringLiteral("a"), qint64(1)}}, QMPropertyListSerialization::Format::Binary),
        archive({QStringLiteral("$null"), self, arrayClass}, 1),      // a cycle
        archive({QStringLiteral("$null"), dangling, arrayClass}, 1),  // a reference out of range
        archive({QStringLiteral("$null"), classless}, 1),             // an object without a class
        archive({QStringLiteral("$null")}, 5),                        // a root out of range
    };
    for (const QByteArray &data : bad) {
        QString error;
        EXPECT_FALSE(QMKeyedArchiver::unarchiveObjectWithData(data, &error).isValid());
        EXPECT_FALSE(error.isEmpty());
    }
}

} // namespace
