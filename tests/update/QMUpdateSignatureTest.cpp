// The signature check of update archives, with real Ed25519 keys made by the test.
#include "QMUpdateSignature.h"
#include "QMUpdateTestSupport.h"

#include <gtest/gtest.h>

using namespace QMUpdateTest;
using Outcome = QMUpdateSignature::Outcome;

TEST(QMUpdateSignature, OnlyTheReleaseKeysSignatureOfThisArchiveForThisBuildIsValid)
{
    const SigningKey release, other;
    const QByteArray archive = makeZip({{QStringLiteral("quilmo/bin/Quilmo"), "new"}});
    const QByteArray older = makeZip({{QStringLiteral("quilmo/bin/Quilmo"), "old"}});
    const QString key = release.publicKey();

    EXPECT_EQ(QMUpdateSignature::verify(archive, release.signBuild(archive, 374), 374, key), Outcome::Valid);
    EXPECT_EQ(QMUpdateSignature::verify(archive, release.sign(archive, "build:374", true), 374, key), Outcome::Valid)
        << "minisign's legacy form signs the archive itself";

    QString detail;
    EXPECT_EQ(QMUpdateSignature::verify(archive, other.signBuild(archive, 374), 374, key, &detail), Outcome::OtherKey);
    EXPECT_TRUE(detail.startsWith(QStringLiteral("key id "))) << detail.toStdString();
    // Another key that claims the release key's id is found out by its signature.
    QByteArray forged = other.signBuild(archive, 374);
    const QList<QByteArray> lines = forged.split('\n');
    QByteArray line = QByteArray::fromBase64(lines[1]);
    line.replace(2, 8, QByteArray::fromBase64(key.toLatin1()).mid(2, 8));
    forged = lines[0] + '\n' + line.toBase64() + '\n' + lines[2] + '\n' + lines[3] + '\n';
    EXPECT_EQ(QMUpdateSignature::verify(archive, forged, 374, key), Outcome::OtherKey);

    EXPECT_EQ(QMUpdateSignature::verify(archive, release.signBuild(older, 374), 374, key), Outcome::NotThisArchive);
    // A genuinely signed older build offered as a newer one.
    EXPECT_EQ(QMUpdateSignature::verify(older, release.signBuild(older, 360), 374, key), Outcome::OtherBuild);
    EXPECT_EQ(QMUpdateSignature::verify(archive, release.sign(archive, "build:3740"), 374, key), Outcome::OtherBuild);
    EXPECT_EQ(QMUpdateSignature::verify(archive, release.sign(archive, "build:374 build:999"), 999, key), Outcome::OtherBuild);
    EXPECT_EQ(QMUpdateSignature::verify(archive, release.sign(archive, "no build named"), 374, key), Outcome::OtherBuild);
    // The trusted comment cannot be changed afterwards: its signature no longer holds.
    QByteArray edited = release.signBuild(older, 360);
    edited.replace("build:360", "build:374");
    EXPECT_EQ(QMUpdateSignature::verify(older, edited, 374, key), Outcome::OtherKey);

    for (const QByteArray &text : {QByteArray(), QByteArray("<html>Not Found</html>"),
                                   QByteArray("untrusted comment: x\nRWQ!!!\ntrusted comment: build:374\nAAAA\n")})
        EXPECT_EQ(QMUpdateSignature::verify(archive, text, 374, key), Outcome::Malformed) << text.constData();
    EXPECT_EQ(QMUpdateSignature::verify(archive, release.signBuild(archive, 374), 374, QString()), Outcome::NoKey);
    EXPECT_EQ(QMUpdateSignature::verify(archive, release.signBuild(archive, 374), 374, QStringLiteral("RWQ")), Outcome::NoKey);
}
