// Child processes for the tool tests: standard input from a file, output
// and errors to files, read back once the child has ended.
#include "programa.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace

RunResult runProgram(const std::vector<std::string>& argv, const std::string& input,
                     const std::vector<std::string>& env, long fileSizeLimit, int timeoutMs) {
    RunResult r;
    char dir[] = "/tmp/quelta-run-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        r.err = "mkdtemp failed";
        return r;
    }
    const std::string in = std::string(dir) + "/in", out = std::string(dir) + "/out", err = std::string(dir) + "/err";
    {
        std::ofstream f(in, std::ios::binary);
        f << input;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int i = open(in.c_str(), O_RDONLY), o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
            e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (i < 0 || o < 0 || e < 0)
            _exit(126);
        dup2(i, 0);
        dup2(o, 1);
        dup2(e, 2);
        if (fileSizeLimit >= 0) {
            rlimit lim{rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        for (const std::string& kv : env)
            putenv(const_cast<char*>(kv.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) {
        r.err = "fork failed";
    } else {
        int status = 0;
        bool ended = false;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!ended && std::chrono::steady_clock::now() < deadline) {
            ended = waitpid(pid, &status, WNOHANG) == pid;
            if (!ended)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        r.out = slurp(out);
        r.err = slurp(err);
        if (ended && WIFEXITED(status))
            r.status = WEXITSTATUS(status);
        else
            r.err += ended ? "[killed by a signal]" : "[timed out]";
    }
    unlink(in.c_str());
    unlink(out.c_str());
    unlink(err.c_str());
    rmdir(dir);
    return r;
}

RunResult runTool(const std::vector<std::string>& args, const std::string& input, long fileSizeLimit) {
    std::vector<std::string> argv{QUELTA_REGISTRY_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, input, {}, fileSizeLimit);
}
