#include "QMError.h"
#include "QMLog.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

namespace {

// Captures log entries for the lifetime of the object.
struct LogCapture
{
    LogCapture()
    {
        previous = QMLog::setSink([this](const QString &e) { entries << e; });
    }
    ~LogCapture() { QMLog::setSink(previous); }
    QStringList entries;
    QMLog::Sink previous;
};

QString address(const QMError::Ptr &e)
{
    return QStringLiteral("0x") + QString::number(reinterpret_cast<quintptr>(e.get()), 16);
}

} // namespace

TEST(QMError, OneLineDescriptionWithoutReasonOrCause)
{
    LogCapture log;
    const auto e = QMError::errorWithMessage(QStringLiteral("Unable to create RamDisk"), QString());
    EXPECT_EQ(e->description(),
              QStringLiteral("<QMError %1 message:Unable to create RamDisk reason:(null)>").arg(address(e)));
    EXPECT_FALSE(e->description().contains(QLatin1Char('\n')));
}

TEST(QMError, ChainOfThreePrintsNestedAndIsLoggedOnceEach)
{
    LogCapture log;
    const auto c = QMError::errorWithMessage(QStringLiteral("C"), QStringLiteral("rc"));
    const auto b = QMError::errorWithMessage(QStringLiteral("B"), QStringLiteral("rb"), c);
    const auto a = QMError::errorWithMessage(QStringLiteral("A"), QStringLiteral("ra"), b);
    const QString expected = QStringLiteral("<QMError %1 message:A reason:ra\n\tDepends:"
                                            "<QMError %2 message:B reason:rb\n\tDepends:"
                                            "<QMError %3 message:C reason:rc>>>")
                                 .arg(address(a), address(b), address(c));
    EXPECT_EQ(a->description(), expected);

    // Every created error is logged once, at ERROR, with the method convention and its chain.
    ASSERT_EQ(log.entries.size(), 3);
    EXPECT_TRUE(log.entries[2].startsWith(QStringLiteral("ERROR errorWithMessage(")));
    EXPECT_TRUE(log.entries[2].endsWith(QStringLiteral(") QMError ") + expected));

    // Serial numbers grow by one per error.
    EXPECT_EQ(b->errorCount(), c->errorCount() + 1);
    EXPECT_EQ(a->errorCount(), b->errorCount() + 1);
    EXPECT_EQ(QMError::currentErrorCount(), a->errorCount());
}

TEST(QMError, InfosKeepOrderAndShowTheNullMarker)
{
    LogCapture log;
    const auto e = QMError::errorWithMessage(QStringLiteral("m"), QStringLiteral("r"));
    e->addInfo(QStringLiteral("/tmp/x"), QStringLiteral("path"));
    e->addInfo(QVariant(), QStringLiteral("missing"));
    const auto infos = e->infos();
    ASSERT_EQ(infos.size(), 2);
    EXPECT_EQ(infos[0].key, QStringLiteral("path"));
    EXPECT_FALSE(infos[1].info.isValid());
    EXPECT_TRUE(e->description().endsWith(
        QStringLiteral("reason:r\n\tInfos[path]:{/tmp/x\n}\n\tInfos[missing]:{<null>\n}>")));
}

TEST(QMError, InitialErrorFollowsOnlyChainsOfErrors)
{
    LogCapture log;
    const auto c = QMError::errorWithMessage(QStringLiteral("root cause"), QString());
    const auto b = QMError::errorWithMessage(QStringLiteral("B"), QString(), c);
    const auto a = QMError::errorWithMessage(QStringLiteral("A"), QString(), b);
    EXPECT_EQ(a->initialError(), c);
    EXPECT_EQ(a->initialErrorMessage(), QStringLiteral("root cause"));
    EXPECT_EQ(b->initialError(), c);
    EXPECT_EQ(c->initialError(), nullptr);

    // A chain that ends in a text or a platform error has no initial error.
    const auto text = QMError::errorWithMessage(QStringLiteral("T"), QString(), QStringLiteral("stderr text"));
    EXPECT_EQ(text->initialError(), nullptr);
    const auto viaText = QMError::errorWithMessage(QStringLiteral("V"), QString(), text);
    EXPECT_EQ(viaText->initialError(), nullptr);
    EXPECT_TRUE(viaText->initialErrorMessage().isNull());
    const auto platform = QMError::errorWithMessage(QStringLiteral("P"), QString(), QMError::Cause::fromErrno(ENOENT));
    EXPECT_EQ(platform->initialError(), nullptr);
    EXPECT_TRUE(platform->description().contains(QStringLiteral("Depends:Error Domain=NSPOSIXErrorDomain Code=2")));
}

TEST(QMError, AlertTextsAndTheFullStopRule)
{
    EXPECT_EQ(QMError::stringWithFullStop(QStringLiteral("Done")), QStringLiteral("Done."));
    EXPECT_EQ(QMError::stringWithFullStop(QStringLiteral("Really?")), QStringLiteral("Really?"));
    EXPECT_EQ(QMError::stringWithFullStop(QStringLiteral("Wait") + QChar(0x2026)), QStringLiteral("Wait") + QChar(0x2026));
    EXPECT_EQ(QMError::stringWithFullStop(QStringLiteral("Note:")), QStringLiteral("Note:"));
    EXPECT_EQ(QMError::stringWithFullStop(QStringLiteral("Stop!")), QStringLiteral("Stop!"));
    EXPECT_EQ(QMError::stringWithFullStop(QString()), QString());
    EXPECT_EQ(QMError::stringWithFullStop(QStringLiteral("")), QStringLiteral(""));

    LogCapture log;
    // No title, chain ends in a platform error: the message is the title, nothing informative.
    const auto e = QMError::errorWithMessage(QStringLiteral("Unable to eject"), QString(), QMError::Cause::fromErrno(EBUSY));
    EXPECT_EQ(e->alertMessageText(QString()), QStringLiteral("Unable to eject."));
    EXPECT_TRUE(e->alertInformativeText(QString()).isEmpty());
    // With a title, the message becomes the informative text.
    EXPECT_EQ(e->alertMessageText(QStringLiteral("RamDisk")), QStringLiteral("RamDisk."));
    EXPECT_EQ(e->alertInformativeText(QStringLiteral("RamDisk")), QStringLiteral("Unable to eject."));
    // No title, chain of errors: the informative text is the deepest message.
    const auto root = QMError::errorWithMessage(QStringLiteral("Device busy"), QString());
    const auto top = QMError::errorWithMessage(QStringLiteral("Unable to eject"), QString(), root);
    EXPECT_EQ(top->alertInformativeText(QString()), QStringLiteral("Device busy."));
}
