#pragma once

// Owns a file descriptor and closes it when it goes. close() reports the close's own
// error; the destructor ignores it, for paths that have already failed.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_fd; }
    void reset(int fd = -1);
    int release();
    // Closes the descriptor; false with errno set when the close fails.
    bool close();

private:
    int m_fd;
};
