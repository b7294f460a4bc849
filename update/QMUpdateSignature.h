#pragma once

#include <QByteArray>
#include <QString>

// The Ed25519 signature of an update archive, in the minisign format that release files
// commonly use: a public key line of base64("Ed" + key id + 32-byte key), and a signature
// file of an untrusted comment, base64("Ed"/"ED" + key id + 64-byte signature of the archive
// or of its BLAKE2b-512 hash), a trusted comment and the signature of signature + trusted
// comment. The trusted comment names the build the archive is ("build:374"), so that a
// signed archive of an older build cannot be offered as a newer one.
class QMUpdateSignature
{
public:
    enum class Outcome {
        Valid,
        NoKey,         // this build has no key: it installs nothing itself
        Malformed,     // not a signature file
        OtherKey,      // made with another key than Quilmo's
        NotThisArchive, // the signature is not one of this archive
        OtherBuild,    // signed, but for another build than the one offered
    };

    // The release key this build was made with (the base64 line); empty when none.
    static QString builtInPublicKey();
    // The key checked against: the built-in one, or a key set by a test.
    static QString publicKey();
    // Tests stand their own key in; a null key goes back to the built-in one.
    static void setPublicKeyForTesting(const QString &key);

    // Whether `signature` (the text of a .minisig file) is `publicKey`'s signature of
    // `archive` for build `build`. *detail says more for the log.
    static Outcome verify(const QByteArray &archive, const QByteArray &signature, qint64 build,
                          const QString &publicKey, QString *detail = nullptr);
};
