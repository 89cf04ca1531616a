// A system user made for one test and removed again, for cases across users (needs root).
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "process.h"

namespace testsupport {

class ScopedUser {
public:
    // The name is `stem`, this process's id and a count (stem at most 16 characters).
    explicit ScopedUser(const std::string& stem)
        : name(stem + "-" + std::to_string(getpid()) + "-" + std::to_string(NextSerial())) {
        if (geteuid() != 0) {
            error = "making the user " + name + " needs root";
            return;
        }
        // Other tests may be changing the password database at the same time: useradd then
        // finds it locked, and is tried again a bounded number of times.
        std::string output;
        int status = -1;
        for (int attempt = 0; attempt < 20; ++attempt) {
            status = Shell("useradd --system --no-create-home --shell /usr/sbin/nologin " +
                               Quote(name), &output);
            if (status == 0 || output.find("lock") == std::string::npos) break;
            usleep(250000);
        }
        if (status != 0) {
            error = "useradd " + name + " failed: " + output;
            return;
        }
        made = true;
        const passwd* entry = getpwnam(name.c_str());
        if (entry == nullptr) {
            error = "the new user " + name + " is not in the password database";
            return;
        }
        uid = entry->pw_uid;
        gid = entry->pw_gid;
    }
    ~ScopedUser() {
        if (!made) return;
        for (int attempt = 0; attempt < 20; ++attempt) {
            std::string output;
            if (Shell("userdel " + Quote(name), &output) == 0 ||
                output.find("lock") == std::string::npos)
                break;
            usleep(250000);
        }
    }
    ScopedUser(const ScopedUser&) = delete;
    ScopedUser& operator=(const ScopedUser&) = delete;

    // "" when the user exists, else why not.
    const std::string& Error() const { return error; }
    const std::string& Name() const { return name; }
    uid_t Uid() const { return uid; }
    gid_t Gid() const { return gid; }

private:
    static unsigned NextSerial() {
        static std::atomic<unsigned> serial{0};
        return serial++;
    }

    std::string name;
    std::string error;
    bool made = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

}  // namespace testsupport
