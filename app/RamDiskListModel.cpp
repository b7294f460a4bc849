#include "RamDiskListModel.h"

#include "QMRamDiskEntries.h"
#include "QMRamDiskManager.h"
#include "RamDiskConfigCell.h"
#include "RamDiskConfigPresentation.h"

#include <QMimeData>

#include <unistd.h>

QString RamDiskListModel::pasteboardType()
{
    return QStringLiteral("application/x-kTableViewControllerPasteboardType");
}

QString RamDiskListModel::originType()
{
    return QStringLiteral("application/x-quilmo-list-origin");
}

RamDiskListModel::RamDiskListModel(QObject *parent) : QAbstractListModel(parent) {}

void RamDiskListModel::setEntries(QMRamDiskEntries *entries)
{
    _entries = entries;
    reload();
}

void RamDiskListModel::reload()
{
    beginResetModel();
    _identifiers.clear();
    if (_entries)
        for (const QMRamDisk::Ptr &r : _entries->ramDisks())
            _identifiers << r->identifier();
    endResetModel();
}

bool RamDiskListModel::matchesEntries() const
{
    QStringList identifiers;
    if (_entries)
        for (const QMRamDisk::Ptr &r : _entries->ramDisks())
            identifiers << r->identifier();
    return identifiers == _identifiers;
}

void RamDiskListModel::reloadRowOfIdentifier(const QString &identifier)
{
    const int row = rowOfIdentifier(identifier);
    if (row >= 0)
        emit dataChanged(index(row), index(row));
}

void RamDiskListModel::setProgress(const QString &identifier, qint64 action, qint64 actionInfo)
{
    _progress.insert(identifier, {action, actionInfo});
}

void RamDiskListModel::clearProgress(const QString &identifier)
{
    _progress.remove(identifier);
}

void RamDiskListModel::setOtherProgramProgress(const QString &identifier, qint64 action, qint64 actionInfo)
{
    _otherProgramProgress.insert(identifier, {action, actionInfo});
}

void RamDiskListModel::clearOtherProgramProgress(const QString &identifier)
{
    _otherProgramProgress.remove(identifier);
}

QString RamDiskListModel::identifierAtRow(int row) const
{
    return row >= 0 && row < _identifiers.size() ? _identifiers.at(row) : QString();
}

int RamDiskListModel::rowOfIdentifier(const QString &identifier) const
{
    return identifier.isNull() ? -1 : int(_identifiers.indexOf(identifier));
}

int RamDiskListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(_identifiers.size());
}

QVariant RamDiskListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || !_entries)
        return {};
    const QString identifier = identifierAtRow(index.row());
    if (role == RamDiskConfigCell::IdentifierRole)
        return identifier;
    const QMRamDisk::Ptr ramDisk = _entries->ramDiskWithIdentifier(identifier);
    if (!ramDisk)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return ramDisk->displayName();
    case Qt::ToolTipRole:
        return RamDiskConfigPresentation::rowToolTip(ramDisk);
    case Qt::DecorationRole:
        return ramDisk->displayIcon(48);
    case RamDiskConfigCell::ImageOpacityRole:
        return ramDisk->status() == QMRamDiskStatus_mounted ? 1.0 : 0.33;
    case RamDiskConfigCell::SubInfoRole: {
        // The reports' own step until the window has handled the outcome: the worker may
        // be done, and the record idle, while its last reports still wait their turn.
        const qint64 action = ramDisk->action();
        if (_progress.contains(identifier)) {
            const QPair<qint64, qint64> step = _progress.value(identifier);
            return QMRamDiskManager::displayStringFromAction(step.first, step.second);
        }
        if (action == QMRamDiskAction_none && _otherProgramProgress.contains(identifier)) {
            const QPair<qint64, qint64> step = _otherProgramProgress.value(identifier);
            return QMRamDiskManager::displayStringFromAction(step.first, step.second);
        }
        const RamDiskConfigPresentation::Row row = RamDiskConfigPresentation::row(ramDisk);
        return row.subInfo.isNull() ? QVariant() : QVariant(row.subInfo);
    }
    case RamDiskConfigCell::UsageRole: {
        if (ramDisk->action() != QMRamDiskAction_none || ramDisk->status() != QMRamDiskStatus_mounted
            || _progress.contains(identifier) || _otherProgramProgress.contains(identifier))
            return -1.0;
        return ramDisk->diskUsage();
    }
    default:
        return {};
    }
}

Qt::ItemFlags RamDiskListModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::ItemIsDropEnabled;
    // Drop-enabled so that the view tells a drop on a row from one between rows; the
    // former is refused below.
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
}

QStringList RamDiskListModel::mimeTypes() const
{
    return {pasteboardType()};
}

QByteArray RamDiskListModel::originToken() const
{
    return QByteArray::number(static_cast<qint64>(getpid())) + ':'
           + QByteArray::number(reinterpret_cast<quintptr>(this), 16);
}

QMimeData *RamDiskListModel::mimeData(const QModelIndexList &indexes) const
{
    // Only a single row is dragged.
    if (indexes.size() != 1 || !indexes.first().isValid())
        return nullptr;
    auto *data = new QMimeData;
    data->setData(pasteboardType(), identifierAtRow(indexes.first().row()).toUtf8());
    data->setData(originType(), originToken());
    return data;
}

Qt::DropActions RamDiskListModel::supportedDragActions() const
{
    return Qt::MoveAction;
}

Qt::DropActions RamDiskListModel::supportedDropActions() const
{
    return Qt::MoveAction;
}

bool RamDiskListModel::canDropMimeData(const QMimeData *data, Qt::DropAction action, int row, int,
                                       const QModelIndex &parent) const
{
    Q_UNUSED(row);
    if (!data || action != Qt::MoveAction)
        return false;
    // Onto a row: refused; only the gaps between rows take a drop.
    if (parent.isValid())
        return false;
    if (data->data(originType()) != originToken())
        return false;
    return data->hasFormat(pasteboardType()) && !data->data(pasteboardType()).isEmpty();
}

bool RamDiskListModel::dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                                    const QModelIndex &parent)
{
    if (!canDropMimeData(data, action, row, column, parent) || !_dropHandler)
        return false;
    // Below the last row: the gap after it.
    const int gap = row < 0 ? rowCount() : row;
    return _dropHandler(gap, QString::fromUtf8(data->data(pasteboardType())));
}
