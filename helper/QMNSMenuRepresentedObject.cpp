#include "QMNSMenuRepresentedObject.h"

QMNSMenuRepresentedObject::QMNSMenuRepresentedObject(const QString &title, QWidget *parent) : QMenu(title, parent) {}
