#pragma once

#include <QObject>

class QWidget;

// The running program as one of the user's login items.
class QMAppInLoginItem
{
public:
    // 1: a login item at this program's exact path; -1: only an entry of the same name
    // (the program was moved, or another copy is registered); 0: not a login item.
    static int loginItemStatus();

    // Adds this program to the login items when `flag` is true, removes it otherwise.
    static void setIsLoginItem(bool flag, QObject *sender);

    // Tells the user how to add the program by hand: a sheet on `window` when it is
    // shown, else an application-modal alert.
    static void showHowTo(QWidget *window);
};
