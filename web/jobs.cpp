#include "jobs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

namespace kelto::web {

using nlohmann::json;

std::atomic<bool> SHUTTING_DOWN{false};

namespace {

constexpr size_t KEPT_FINISHED_JOBS = 16;

std::string tempDir;

std::mutex jobsMutex;
std::condition_variable jobsChanged;
std::map<int, std::shared_ptr<Job>> jobs;
int nextJobId = 1;
int runningJobs = 0;

// Forgets the oldest finished jobs beyond KEPT_FINISHED_JOBS; jobsMutex held.
void pruneJobs() {
    size_t finished = 0;
    for (auto& entry : jobs) {
        std::lock_guard<std::mutex> lock(entry.second->mutex);
        finished += entry.second->done;
    }
    for (auto it = jobs.begin(); it != jobs.end() && finished > KEPT_FINISHED_JOBS;) {
        bool done;
        {
            std::lock_guard<std::mutex> lock(it->second->mutex);
            done = it->second->done;
        }
        if (done) {
            it = jobs.erase(it);
            --finished;
        } else {
            ++it;
        }
    }
}

bool writeAll(int fd, const std::string& content) {
    size_t written = 0;
    while (written < content.size()) {
        ssize_t n = write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

TempFile::~TempFile() {
    if (!path.empty()) unlink(path.c_str());
}

bool makeTempDir(std::string& error) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kelto-web-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        error = "cannot create a private directory " + pattern + ": " + std::strerror(errno);
        return false;
    }
    tempDir = pattern;
    return true;
}

void removeTempDir() {
    if (!tempDir.empty()) rmdir(tempDir.c_str());
}

std::shared_ptr<TempFile> saveTemp(const std::string& content, std::string& error) {
    std::string path = tempDir + "/upload-XXXXXX.hex";
    int fd = mkstemps(path.data(), 4);
    if (fd < 0) {
        error = std::string("cannot create the upload file: ") + std::strerror(errno);
        return nullptr;
    }
    auto file = std::make_shared<TempFile>();
    file->path = path;
    bool ok = writeAll(fd, content);
    if (close(fd) != 0) ok = false;
    if (!ok) {
        error = std::string("cannot write the upload file: ") + std::strerror(errno);
        return nullptr;
    }
    return file;
}

std::shared_ptr<Job> startJob(json info, std::function<json(Job&)> work) {
    auto job = std::make_shared<Job>();
    job->info = std::move(info);
    {
        std::lock_guard<std::mutex> lock(jobsMutex);
        job->id = nextJobId++;
        jobs[job->id] = job;
        ++runningJobs;
    }
    std::thread([job, work = std::move(work)]() mutable {
        json run = work(*job);
        work = nullptr;  // what it holds (claims, the upload) goes before the job counts as ended
        {
            std::lock_guard<std::mutex> lock(job->mutex);
            job->run = std::move(run);
            job->done = true;
        }
        std::lock_guard<std::mutex> lock(jobsMutex);
        --runningJobs;
        pruneJobs();
        jobsChanged.notify_all();
    }).detach();
    return job;
}

std::shared_ptr<Job> findJob(int id) {
    std::lock_guard<std::mutex> lock(jobsMutex);
    auto it = jobs.find(id);
    return it == jobs.end() ? nullptr : it->second;
}

json jobDocument(Job& job) {
    json doc = job.info;
    doc["id"] = job.id;
    doc["pages"] = job.pages.load();
    doc["page"] = job.page.load();
    std::lock_guard<std::mutex> lock(job.mutex);
    doc["state"] = job.done ? "done" : "running";
    doc["run"] = job.done ? job.run : json();
    return doc;
}

void waitForJobs() {
    std::unique_lock<std::mutex> lock(jobsMutex);
    jobsChanged.wait(lock, [] { return runningJobs == 0; });
}

}  // namespace kelto::web
