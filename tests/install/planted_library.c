// Stands for a library someone planted in a folder where a user runs a program: its constructor
// appends a line to $TAMSEL_PLANTED_MARKER, so a test can tell that the loader took it.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void Planted(void) {
    const char* marker = getenv("TAMSEL_PLANTED_MARKER");
    if (marker == NULL || marker[0] == '\0') return;
    const int fd = open(marker, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    static const char line[] = "planted library loaded\n";
    if (write(fd, line, strlen(line)) < 0) {
        // Nothing to do: a missing marker fails the test that looks for it.
    }
    close(fd);
}
