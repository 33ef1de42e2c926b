// Firmware updates run in the background, one job each, so that the page can
// poll their progress; and the private files uploads are kept in.
#ifndef KELTO_WEB_JOBS_H
#define KELTO_WEB_JOBS_H

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace kelto::web {

// A file in the server's private directory, removed when the last owner lets
// go of it.
struct TempFile {
    std::string path;
    ~TempFile();
};

// Creates the private directory (mode 0700) under $TMPDIR or /tmp; false
// with `error` when it cannot. removeTempDir() removes it at the end.
bool makeTempDir(std::string& error);
void removeTempDir();

// Writes `content` to a new file (mode 0600) in the private directory.
std::shared_ptr<TempFile> saveTemp(const std::string& content, std::string& error);

// One firmware update. `info` is fixed when it starts; page counts up as
// the tool reports pages; run is its report once done.
struct Job {
    int id = 0;
    nlohmann::json info;
    std::atomic<int> pages{0};
    std::atomic<int> page{0};
    std::mutex mutex;
    bool done = false;
    nlohmann::json run;
};

// Registers a job and runs `work` for it on a thread of its own. The newest
// finished jobs are kept for polling; older ones are forgotten.
std::shared_ptr<Job> startJob(nlohmann::json info, std::function<nlohmann::json(Job&)> work);

// The job with this ID, or null.
std::shared_ptr<Job> findJob(int id);

// {"id", "state": "running" | "done", "pages", "page", "run" (null while
// running)} and the members of its info.
nlohmann::json jobDocument(Job& job);

// Set when the server is stopping: running tools are killed.
extern std::atomic<bool> SHUTTING_DOWN;

// Waits until every job thread has ended.
void waitForJobs();

}  // namespace kelto::web

#endif
