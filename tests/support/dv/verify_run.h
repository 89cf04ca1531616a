// tamsel-stripe --verify-file as the tape-check tests run it: the exit status, what it printed on
// each stream, and its JSON report. Header-only test support; no threads.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace dvtest {

struct Verdict {
    int status = -1;
    std::string out, err;
    nlohmann::json json;
};

// The shell command checking `file` with the further options `args`.
inline std::string VerifyCommand(const std::string& file, const std::string& args) {
    return testsupport::Quote(testsupport::BuildFile("tamsel-stripe")) + " --verify-file " +
           testsupport::Quote(file) + " " + args;
}

// Runs tamsel-stripe --verify-file on `file` with `args`, its standard error kept in a file of
// its own in the state directory; with --json among `args`, parses stdout.
inline Verdict Verify(const std::string& file, const std::string& args = "") {
    static int run = 0;
    const std::string err = testsupport::StateDir() + "/verify." + std::to_string(++run) + ".err";
    Verdict v;
    v.status =
        testsupport::Shell(VerifyCommand(file, args) + " 2>" + testsupport::Quote(err), &v.out);
    v.err = testsupport::ReadFile(err);
    if (args.find("--json") != std::string::npos) {
        try {
            v.json = nlohmann::json::parse(v.out);
        } catch (const nlohmann::json::exception& e) {
            ADD_FAILURE() << "not JSON (" << e.what() << "):\n" << v.out;
        }
    }
    return v;
}

}  // namespace dvtest
