#include "subprocess.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

pid_t StartProgram(const std::string& program, const std::vector<std::string>& args,
                   int* outputPipe) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    *outputPipe = fds[0];
    return pid;
}

int WaitProgram(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
    ProcessResult result;
    int output = -1;
    const pid_t pid = StartProgram(program, args, &output);
    if (pid < 0) return result;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(output, buffer, sizeof(buffer))) > 0) result.output.append(buffer, n);
    close(output);
    result.exitCode = WaitProgram(pid);
    return result;
}
