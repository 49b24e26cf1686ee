#include "reader/file_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace reader {

std::string writeFileBytes(const std::string& path, const void* bytes, std::size_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return std::generic_category().message(errno);
    }
    const auto* data = static_cast<const unsigned char*>(bytes);
    std::size_t written = 0;
    int error = 0;
    while (written < size) {
        const ssize_t n = write(fd, data + written, size - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        (void)unlink(path.c_str());
        return std::generic_category().message(error);
    }
    return {};
}

}  // namespace reader
