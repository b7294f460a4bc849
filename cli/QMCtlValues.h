#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The values quilmoctl reads from its arguments and the texts it prints for them.
class QMCtlValues
{
public:
    // "512M", "2G", "1.5G", "750MB", "128000000": decimal units (K, M, G, T, as the
    // windows count sizes); "Ki", "Mi", "Gi", "Ti" (with or without "B") are binary.
    static std::optional<quint64> parseSize(const QString &text);

    // The backup modes: "none", "default", "base", or a directory (mode 2).
    struct Backup
    {
        qint64 mode = 0;
        QString directory;
    };
    static std::optional<Backup> parseBackup(const QString &text);
    static QString backupText(qint64 mode, const QString &directory);

    // "default", "on", "off".
    static std::optional<qint64> parseIndexMode(const QString &text);
    static QString indexModeText(qint64 mode);

    static QString statusWord(qint64 status);

    // How often a RAM disk is saved: "off", or 5, 15, 30 or 60 (minutes); in seconds.
    static std::optional<qint64> parseAutoSave(const QString &text);
    // "off", "15 min"; an interval the menus do not offer is shown in seconds.
    static QString autoSaveText(qint64 seconds);

    // The words of the RAM-disk types on the command line: "custom", "safari", "firefox",
    // "chrome", "xcode-build", "ios-simulator", "core-simulator", "appcode". typeWord of an
    // unknown number is the number.
    static QString typeWord(qint64 type);
    static std::optional<qint64> parseType(const QString &text);
    // Every type, in the order the windows' type menu offers them.
    static QList<qint64> typesInMenuOrder();

    // Sizes as the windows show them: units of 1,000,000 bytes ("Mo" there, "MB" here).
    static QString sizeText(quint64 bytes);

    // Left-aligned columns separated by two spaces; the first row is the header.
    static QString table(const QList<QStringList> &rows);
};
