// Sole owner of one file descriptor: closed when the owner goes, moved but never copied.
#pragma once

#include <string>

class CVioDescriptor {
public:
    CVioDescriptor() = default;
    explicit CVioDescriptor(int fd) : m_fd(fd) {}
    ~CVioDescriptor() { reset(); }
    CVioDescriptor(CVioDescriptor&& other) noexcept : m_fd(other.release()) {}
    CVioDescriptor& operator=(CVioDescriptor&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    CVioDescriptor(const CVioDescriptor&) = delete;
    CVioDescriptor& operator=(const CVioDescriptor&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    explicit operator bool() const { return valid(); }
    // Gives the descriptor up without closing it.
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes the held descriptor (errno is kept) and takes `fd`.
    void reset(int fd = -1);
    // Writes all of `text`, resuming after short writes; 0, or the errno of the failed write.
    int writeAll(const std::string& text) const;

private:
    int m_fd = -1;
};
