// Runs a program (the registry tool, cmake, systemd-analyze) with a given
// standard input and catches what it prints. Every run is bounded in time;
// a program still running then is killed, and only that one.
#pragma once

#include <string>
#include <vector>

struct RunResult {
    int status = -1;  // exit status; -1 killed, timed out or not started (err says which)
    std::string out, err;
};

// argv[0] is looked up in PATH when it holds no '/'. env adds NAME=value
// entries to the inherited environment. fileSizeLimit >= 0 sets
// RLIMIT_FSIZE in the child, so that its writes past it fail.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& input = "",
                     const std::vector<std::string>& env = {}, long fileSizeLimit = -1, int timeoutMs = 60000);

// The built registry tool with these arguments.
RunResult runTool(const std::vector<std::string>& args, const std::string& input = "", long fileSizeLimit = -1);
