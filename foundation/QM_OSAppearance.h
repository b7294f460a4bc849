#pragma once

#include <atomic>

// The user's appearance settings, as far as a Linux desktop has them.
class QM_OSAppearance
{
public:
    static QM_OSAppearance *sharedInstance();

    // Dark when the application palette's window colour is dark; recomputed on every call.
    static bool isDarkMode();
    static bool isDarkModeCached();
    static bool isGraphiteTheme();
    static bool hasReduceTransparency();

private:
    QM_OSAppearance() = default;
    // 0 not yet asked, 1 dark, -1 not dark.
    std::atomic<int> _isDarkMode{0};
};
