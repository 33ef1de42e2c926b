// Runs a program from an argument vector (no shell), collecting its standard
// output and standard error through pipes, and stops it at a deadline.
//
//   RunResult r = runProgram({"/opt/kelto/bin/kelto_lumabar", "3", "name"}, 2200ms);
//   r.exited, r.exitStatus, r.out == "{\"name\":\"Front\"}\n", r.err == "status: 0\n"
#ifndef KELTO_WEB_PROCESS_H
#define KELTO_WEB_PROCESS_H

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kelto::web {

// Output kept per stream; a program that prints more has the rest dropped.
constexpr size_t OUTPUT_LIMIT_BYTES = 1 << 20;

struct RunResult {
    bool started = false;    // false: the program could not be started (startError)
    bool exited = false;     // it ended through exit(); exitStatus is valid
    int exitStatus = -1;     // 0 to 255
    int signal = 0;          // the signal that ended it, when it did not exit
    bool timedOut = false;   // it was killed at the deadline
    bool aborted = false;    // it was killed because the caller asked
    bool truncated = false;  // output beyond OUTPUT_LIMIT_BYTES was dropped
    std::string out, err, startError;
    double seconds = 0;  // wall time from start to end
};

// Called with each complete line of standard output (without its '\n') as it
// arrives, from the calling thread.
using LineSink = std::function<void(const std::string& line)>;

// Starts argv[0] (a path) with argv, the server's environment and standard
// input from /dev/null, in a process group of its own. Waits until it ends;
// at `limit` after the start, or as soon as *abort is true, the group is
// killed with SIGKILL.
RunResult runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                     const LineSink& onOutLine = {}, const std::atomic<bool>* abort = nullptr);

}  // namespace kelto::web

#endif
