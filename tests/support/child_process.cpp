#include "tests/support/child_process.h"

#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int run_in_child(const std::function<int()> &body) {
    fflush(NULL);
    pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
