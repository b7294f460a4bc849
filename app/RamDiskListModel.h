#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QPair>
#include <QPointer>
#include <QStringList>

#include <functional>

class QMRamDiskEntries;

// The list of RAM disks as the main window's table shows it: one row per RAM disk, in the
// store's order as of the last reload, each drawn by RamDiskConfigCell.
//
// A row is dragged with the MIME type named after the design's pasteboard type, carrying
// the RAM disk's identifier, and a second type naming the list it came from: a drop is
// taken only between rows, only as a move, and only from this same list.
class RamDiskListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    static QString pasteboardType(); // "application/x-kTableViewControllerPasteboardType"
    static QString originType();     // the list a drag came from

    explicit RamDiskListModel(QObject *parent = nullptr);

    void setEntries(QMRamDiskEntries *entries);
    // Re-reads the order of the store (a reset: selections are the caller's to restore).
    void reload();
    // Whether the rows are the store's records in the store's order.
    bool matchesEntries() const;
    // Redraws one RAM disk's row.
    void reloadRowOfIdentifier(const QString &identifier);

    // The progress a running action last reported (action, step), shown instead of the
    // record's live step so that each report shows its own moment; cleared at its end.
    void setProgress(const QString &identifier, qint64 action, qint64 actionInfo);
    void clearProgress(const QString &identifier);
    // The same for an action that another program runs on the RAM disk.
    void setOtherProgramProgress(const QString &identifier, qint64 action, qint64 actionInfo);
    void clearOtherProgramProgress(const QString &identifier);

    QString identifierAtRow(int row) const;
    int rowOfIdentifier(const QString &identifier) const;

    // The drop of a RAM disk (by identifier) into the gap before `row`; true when the store
    // moved it.
    using DropHandler = std::function<bool(int row, const QString &identifier)>;
    void setDropHandler(DropHandler handler) { _dropHandler = std::move(handler); }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;
    Qt::DropActions supportedDragActions() const override;
    Qt::DropActions supportedDropActions() const override;
    bool canDropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                         const QModelIndex &parent) const override;
    bool dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                      const QModelIndex &parent) override;

private:
    QByteArray originToken() const;

    QPointer<QMRamDiskEntries> _entries;
    QStringList _identifiers;
    DropHandler _dropHandler;
    QHash<QString, QPair<qint64, qint64>> _progress;
    QHash<QString, QPair<qint64, qint64>> _otherProgramProgress;
};
