#include "QMUpdateVersionDocument.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <limits>

using Doc = QMUpdateVersionDocument;

TEST(QMUpdateVersionDocument, MessagesOffersAndInvalidDocuments)
{
    Doc d = Doc::fromData("1|Hello");
    EXPECT_EQ(d.kind(), Doc::Kind::Message);
    EXPECT_TRUE(d.messageIsShown());
    EXPECT_EQ(d.messageText(), QStringLiteral("Hello"));
    // Only a first field reading 1 is shown; the editor's final line break is no part of it.
    EXPECT_FALSE(Doc::fromData("0|Hello").messageIsShown());
    EXPECT_FALSE(Doc::fromData("2|Hello").messageIsShown());
    EXPECT_TRUE(Doc::fromData(" 1|Hello\n").messageIsShown());
    EXPECT_EQ(Doc::fromData("1|Hello\n").messageText(), QStringLiteral("Hello"));

    for (const QByteArray &invalid : {QByteArray("Hello"), QByteArray(""), QByteArray("400\n")}) {
        const Doc bad = Doc::fromData(invalid);
        EXPECT_EQ(bad.kind(), Doc::Kind::Invalid) << invalid.constData();
        EXPECT_EQ(bad.text(), QString::fromUtf8(invalid));
    }

    d = Doc::fromData("412|2.0.1|https://quilmo.org/q.zip\r\n");
    ASSERT_EQ(d.kind(), Doc::Kind::Offer);
    EXPECT_EQ(d.build(), 412);
    EXPECT_EQ(d.displayVersion(), QStringLiteral("2.0.1"));
    EXPECT_EQ(d.downloadLink(), QStringLiteral("https://quilmo.org/q.zip"));
    EXPECT_FALSE(d.systemRequirement());

    // Fields beyond the fourth are ignored; a "|" more makes no message an offer.
    EXPECT_EQ(Doc::fromData("1|a|b").kind(), Doc::Kind::Offer);
    EXPECT_EQ(Doc::fromData("412|2.0|https://x/q.zip|6.1|later").systemRequirement()->minor, 1);
}

TEST(QMUpdateVersionDocument, TextThatIsNotUtf8IsReadByteForByte)
{
    const Doc d = Doc::fromData("1|caf\xe9");
    EXPECT_EQ(d.messageText(), QStringLiteral("caf\u00e9"));
    EXPECT_EQ(Doc::fromData("1|caf\xc3\xa9").messageText(), QStringLiteral("caf\u00e9"));
}

TEST(QMUpdateVersionDocument, SystemRequirementNeedsTwoParts)
{
    using V = Doc::SystemVersion;
    EXPECT_EQ(Doc::fromData("1|a|b|6.1").systemRequirement(), (V{6, 1, 0}));
    EXPECT_EQ(Doc::fromData("1|a|b|6.1.7").systemRequirement(), (V{6, 1, 7}));
    EXPECT_FALSE(Doc::fromData("1|a|b|6").systemRequirement());
    EXPECT_FALSE(Doc::fromData("1|a|b|").systemRequirement());
    EXPECT_LT((V{6, 1, 99}), (V{6, 2, 0}));
    EXPECT_LT((V{5, 99, 0}), (V{6, 0, 0}));
    EXPECT_FALSE((V{6, 1, 0}) < (V{6, 1, 0}));
}

TEST(QMUpdateVersionDocument, KernelReleaseIsTheRunningSystem)
{
    using V = Doc::SystemVersion;
    EXPECT_EQ(Doc::parseKernelRelease(QStringLiteral("6.1.0-18-amd64")), (V{6, 1, 0}));
    EXPECT_EQ(Doc::parseKernelRelease(QStringLiteral("6.18.44-fc-v1403")), (V{6, 18, 44}));
    EXPECT_EQ(Doc::parseKernelRelease(QStringLiteral("5.10")), (V{5, 10, 0}));
    EXPECT_FALSE(Doc::parseKernelRelease(QStringLiteral("linux")));
    const auto running = Doc::runningSystemVersion();
    ASSERT_TRUE(running);
    EXPECT_GE(running->major, 3);
}

TEST(QMUpdateVersionDocument, IntegerValue)
{
    EXPECT_EQ(Doc::integerValue(QStringLiteral("  42x")), 42);
    EXPECT_EQ(Doc::integerValue(QStringLiteral("-7")), -7);
    EXPECT_EQ(Doc::integerValue(QStringLiteral("+7")), 7);
    EXPECT_EQ(Doc::integerValue(QStringLiteral("")), 0);
    EXPECT_EQ(Doc::integerValue(QStringLiteral("x1")), 0);
    EXPECT_EQ(Doc::integerValue(QStringLiteral("99999999999999999999")), std::numeric_limits<qint64>::max());
    EXPECT_EQ(Doc::integerValue(QStringLiteral("-9223372036854775808")), std::numeric_limits<qint64>::min());
    EXPECT_EQ(Doc::integerValue(QStringLiteral("-99999999999999999999")), std::numeric_limits<qint64>::min());
}
