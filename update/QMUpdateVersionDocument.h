#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// The one-line document on the vendor's server that announces a message or a newer build:
// fields separated by "|". Parsing never fails: what is not a message or an offer is
// invalid, and the caller logs it.
class QMUpdateVersionDocument
{
public:
    enum class Kind { Invalid, Message, Offer };

    struct SystemVersion
    {
        qint64 major = 0;
        qint64 minor = 0;
        qint64 patch = 0;
        auto operator<=>(const SystemVersion &) const = default;
    };

    static QMUpdateVersionDocument fromData(const QByteArray &data);

    Kind kind() const { return _kind; }
    // The decoded body as it arrived (what the invalid-document log line shows).
    QString text() const { return _text; }
    QStringList fields() const { return _fields; }

    // A message: shown to every user only when its first field reads 1.
    bool messageIsShown() const;
    QString messageText() const;

    // An offer: build (integer value of field 1), display version, download address and
    // the lowest system version the build needs, when field 4 names one.
    qint64 build() const;
    QString buildField() const;
    QString displayVersion() const;
    QString downloadLink() const;
    QString systemRequirementField() const;
    std::optional<SystemVersion> systemRequirement() const;

    // The integer value of a text, read the way the version document's writers expect:
    // leading blanks skipped, an optional sign, the digits up to the first other character,
    // 0 when there are none, clamped to the 64-bit range.
    static qint64 integerValue(const QString &text);

    // "major.minor" or "major.minor.patch"; a text with fewer than two dot-separated parts
    // names no version.
    static std::optional<SystemVersion> parseSystemVersion(const QString &text);

    // The running system: the kernel's release ("6.1.0-18-amd64" reads 6.1.0); none when it
    // cannot be read.
    static std::optional<SystemVersion> runningSystemVersion();
    static std::optional<SystemVersion> parseKernelRelease(const QString &release);

private:
    Kind _kind = Kind::Invalid;
    QString _text;
    QStringList _fields;
};
