#pragma once

#include <unistd.h>

#include <utility>

// Owns a file descriptor and closes it when it goes.
class QMUniqueFd
{
public:
    QMUniqueFd() = default;
    explicit QMUniqueFd(int fd) : _fd(fd) {}
    ~QMUniqueFd() { reset(); }
    QMUniqueFd(QMUniqueFd &&other) noexcept : _fd(std::exchange(other._fd, -1)) {}
    QMUniqueFd &operator=(QMUniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other._fd, -1));
        return *this;
    }
    QMUniqueFd(const QMUniqueFd &) = delete;
    QMUniqueFd &operator=(const QMUniqueFd &) = delete;

    int get() const { return _fd; }
    bool isValid() const { return _fd >= 0; }
    int release() { return std::exchange(_fd, -1); }
    void reset(int fd = -1)
    {
        if (_fd >= 0)
            ::close(_fd);
        _fd = fd;
    }

private:
    int _fd = -1;
};
