#pragma once

#include <QPointF>
#include <QString>

// Validation routines report a refusal through an optional message slot.
inline bool QM_ReturnNoWithMessage(const QString &message, QString *outMessage)
{
    if (outMessage)
        *outMessage = message;
    return false;
}

template<typename T = void>
inline T *QM_ReturnNilWithMessage(const QString &message, QString *outMessage)
{
    if (outMessage)
        *outMessage = message;
    return nullptr;
}

inline std::nullptr_t QM_ReturnNULLWithMessage(const QString &message, QString *outMessage)
{
    if (outMessage)
        *outMessage = message;
    return nullptr;
}

template<typename T>
inline T QM_ReturnIntegerWithMessage(T value, const QString &message, QString *outMessage)
{
    if (outMessage)
        *outMessage = message;
    return value;
}

// With a tolerance of exactly 0 the points must be equal; otherwise each coordinate
// difference (a - b) lies within [-tolerance, +tolerance].
inline bool QM_IsEqualNSPoint(const QPointF &a, const QPointF &b, double tolerance)
{
    if (tolerance == 0)
        return a.x() == b.x() && a.y() == b.y();
    const double dx = a.x() - b.x();
    const double dy = a.y() - b.y();
    return dx >= -tolerance && dx <= tolerance && dy >= -tolerance && dy <= tolerance;
}
