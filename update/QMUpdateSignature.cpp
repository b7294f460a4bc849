#include "QMUpdateSignature.h"

#include <QList>
#include <QRegularExpression>

#include <openssl/evp.h>

#include <memory>

namespace {

constexpr qsizetype kKeyIdSize = 8;
constexpr qsizetype kPublicKeySize = 32;
constexpr qsizetype kSignatureSize = 64;

QString &testKey()
{
    static QString key;
    return key;
}

// The Ed25519 check itself, by OpenSSL.
bool ed25519Verify(const QByteArray &publicKey, const QByteArray &signature, const QByteArray &message)
{
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(publicKey.constData()),
                                    size_t(publicKey.size())),
        &EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!key || !context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                            size_t(signature.size()), reinterpret_cast<const unsigned char *>(message.constData()),
                            size_t(message.size()))
           == 1;
}

QByteArray blake2b512(const QByteArray &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.constData(), size_t(data.size()), digest, &length, EVP_blake2b512(), nullptr) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), int(length));
}

QByteArray strictBase64(const QByteArray &text)
{
    const auto decoded = QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? *decoded : QByteArray();
}

} // namespace

QString QMUpdateSignature::builtInPublicKey()
{
#ifdef QUILMO_UPDATE_PUBLIC_KEY
    return QStringLiteral(QUILMO_UPDATE_PUBLIC_KEY).trimmed();
#else
    return QString();
#endif
}

QString QMUpdateSignature::publicKey()
{
    return testKey().isNull() ? builtInPublicKey() : testKey();
}

void QMUpdateSignature::setPublicKeyForTesting(const QString &key)
{
    testKey() = key;
}

QMUpdateSignature::Outcome QMUpdateSignature::verify(const QByteArray &archive, const QByteArray &signature,
                                                     qint64 build, const QString &publicKey, QString *detail)
{
    QString unused;
    if (!detail)
        detail = &unused;
    const QByteArray key = strictBase64(publicKey.toLatin1());
    if (key.size() != 2 + kKeyIdSize + kPublicKeySize || !key.startsWith("Ed")) {
        *detail = QStringLiteral("no public key");
        return Outcome::NoKey;
    }

    // untrusted comment, signature line, trusted comment, global signature line.
    const QList<QByteArray> lines = signature.split('\n');
    QList<QByteArray> content;
    for (const QByteArray &line : lines)
        if (!line.trimmed().isEmpty())
            content << (line.endsWith('\r') ? line.chopped(1) : line);
    static const QByteArray trustedPrefix("trusted comment: ");
    if (content.size() != 4 || !content[0].startsWith("untrusted comment:") || !content[2].startsWith(trustedPrefix)) {
        *detail = QStringLiteral("not a minisign signature file");
        return Outcome::Malformed;
    }
    const QByteArray sig = strictBase64(content[1]);
    const QByteArray globalSig = strictBase64(content[3]);
    const QByteArray algorithm = sig.left(2);
    if (sig.size() != 2 + kKeyIdSize + kSignatureSize || (algorithm != "Ed" && algorithm != "ED")
        || globalSig.size() != kSignatureSize) {
        *detail = QStringLiteral("malformed signature lines");
        return Outcome::Malformed;
    }
    const QByteArray rawKey = key.mid(2 + kKeyIdSize);
    if (sig.mid(2, kKeyIdSize) != key.mid(2, kKeyIdSize)) {
        *detail = QStringLiteral("key id %1, not %2").arg(QString::fromLatin1(sig.mid(2, kKeyIdSize).toHex()),
                                                           QString::fromLatin1(key.mid(2, kKeyIdSize).toHex()));
        return Outcome::OtherKey;
    }
    const QByteArray signatureBytes = sig.mid(2 + kKeyIdSize);
    const QByteArray trustedComment = content[2].mid(trustedPrefix.size());
    // The trusted comment is signed together with the signature: it cannot be changed.
    if (!ed25519Verify(rawKey, globalSig, signatureBytes + trustedComment)) {
        *detail = QStringLiteral("the trusted comment's signature does not verify");
        return Outcome::OtherKey;
    }
    const QByteArray message = algorithm == "ED" ? blake2b512(archive) : archive;
    if (message.isEmpty() || !ed25519Verify(rawKey, signatureBytes, message)) {
        *detail = QStringLiteral("the signature does not verify against this archive");
        return Outcome::NotThisArchive;
    }
    static const QRegularExpression buildField(QStringLiteral("(?:^|\\s)build:(\\d+)(?=\\s|$)"));
    const QString comment = QString::fromUtf8(trustedComment);
    const QRegularExpressionMatch match = buildField.match(comment);
    if (!match.hasMatch() || match.captured(1).toLongLong() != build || buildField.match(comment, match.capturedEnd()).hasMatch()) {
        *detail = QStringLiteral("trusted comment \"%1\" does not name build %2").arg(comment).arg(build);
        return Outcome::OtherBuild;
    }
    return Outcome::Valid;
}
