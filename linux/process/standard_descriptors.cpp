#include "linux/process/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

void HoldClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        const int opened = open("/dev/null", O_RDWR);
        if (opened != -1 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}
