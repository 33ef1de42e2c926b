#include "server.h"

#include <httplib.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "jobs.h"
#include "operations.h"
#include "page_assets.h"

namespace kelto::web {

using nlohmann::json;

namespace {

constexpr int HEXCHECK_LIMIT_MS = 10000;
constexpr int HTTP_THREADS = 32;  // a page reads many rows at once, each waiting on a tool
constexpr size_t MULTIPART_OVERHEAD_BYTES = 16 * 1024;
constexpr int MAX_FILE_NAME_BYTES = 255;

ServerConfig config;

// --- claims: one run per device, one update on the bus ----------------------

std::mutex claimMutex;
std::set<std::pair<Kind, int>> busyDevices;
bool updateRunning = false;

// Held while a run uses its devices (and the bus, for an update).
struct Claim {
    Kind kind;
    std::vector<int> devices;
    bool update = false;
    ~Claim() {
        std::lock_guard<std::mutex> lock(claimMutex);
        for (int d : devices) busyDevices.erase({kind, d});
        if (update) updateRunning = false;
    }
};

// The claim, or null with `error` naming what is busy.
std::shared_ptr<Claim> claim(Kind kind, const std::vector<int>& devices, bool update,
                             std::string& error) {
    std::lock_guard<std::mutex> lock(claimMutex);
    if (update && updateRunning) {
        error = "a firmware update is already running on the bus; wait until it has finished";
        return nullptr;
    }
    for (int d : devices) {
        if (busyDevices.count({kind, d})) {
            error = std::string(toolInfo(kind).kind) + " " + std::to_string(d) +
                    " is busy with another request; try again when it has finished";
            return nullptr;
        }
    }
    auto c = std::make_shared<Claim>();
    c->kind = kind;
    c->devices = devices;
    c->update = update;
    for (int d : devices) busyDevices.insert({kind, d});
    updateRunning = updateRunning || update;
    return c;
}

// --- responses ----------------------------------------------------------------

void sendJson(httplib::Response& res, int status, const json& doc) {
    res.status = status;
    res.set_content(toText(doc), "application/json");
}

void sendError(httplib::Response& res, int status, const std::string& message) {
    sendJson(res, status, {{"error", message}});
}

std::string programPath(const std::string& program) {
    return config.toolsDir + "/" + program;
}

int limitMs(const Operation& op) {
    return op.mandatedMs + config.marginMs;
}

RunReport runOperation(const Operation& op, const LineSink& onLine = {}) {
    std::vector<std::string> argv = {programPath(toolInfo(op.kind).program)};
    argv.insert(argv.end(), op.args.begin(), op.args.end());
    int limit = limitMs(op);
    RunResult r = runProgram(argv, std::chrono::milliseconds(limit), onLine, &SHUTTING_DOWN);
    return reportRun(op, r, limit);
}

// --- the device API -----------------------------------------------------------

// Kind and device of /api/KIND[/ID]/...; false when the response is sent.
bool target(const httplib::Request& req, httplib::Response& res, Kind& kind, int& device) {
    std::optional<Kind> k = parseKind(req.matches[1]);
    if (!k) {
        sendError(res, 404,
                  "unknown device kind \"" + req.matches[1].str() + "\" (lumabar, torvexc)");
        return false;
    }
    kind = *k;
    device = 0;
    if (req.matches[2].matched) {
        std::optional<int> id = parseDeviceId(req.matches[2]);
        if (!id) {
            sendError(res, 400, "device ID \"" + req.matches[2].str() + "\": 1 to 59 is needed");
            return false;
        }
        device = *id;
    }
    return true;
}

void handleRun(const httplib::Request& req, httplib::Response& res, bool write) {
    Request rq;
    if (!target(req, res, rq.kind, rq.device)) return;
    rq.action = req.matches[3];
    rq.write = write;
    if (write) {
        rq.body = json::parse(req.body, nullptr, false);
        if (rq.body.is_discarded())
            return sendError(res, 400, "the request body is not valid JSON");
    }
    std::string error;
    std::optional<Operation> op = buildOperation(rq, error);
    if (!op) return sendError(res, 400, error);
    std::shared_ptr<Claim> held = claim(op->kind, op->devices, false, error);
    if (!held) return sendError(res, 409, error);
    RunReport report = runOperation(*op);
    sendJson(res, report.httpStatus, report.doc);
}

// --- uploads and firmware -----------------------------------------------------

// A file name as the browser gives it: a plain name, no directory part.
bool checkFileName(const std::string& name, std::string& error) {
    bool bad = name.empty() || name.size() > MAX_FILE_NAME_BYTES || name == "." || name == "..";
    for (unsigned char c : name) bad = bad || c == '/' || c == '\\' || c < 0x20 || c == 0x7F;
    if (bad) error = "the file name must be a plain name without a directory part";
    return !bad;
}

// The uploaded image of the multipart field "file"; false when the response
// is sent.
bool upload(const httplib::Request& req, httplib::Response& res, httplib::MultipartFormData& file) {
    if (!req.is_multipart_form_data() || !req.has_file("file")) {
        sendError(res, 400, "upload the image as the multipart form field \"file\"");
        return false;
    }
    file = req.get_file_value("file");
    std::string error;
    if (!checkFileName(file.filename, error)) {
        sendError(res, 400, error);
        return false;
    }
    if (file.content.size() > MAX_IMAGE_BYTES) {
        sendError(res, 413,
                  "the image is larger than " + std::to_string(MAX_IMAGE_BYTES) +
                      " bytes, the most the loader can place");
        return false;
    }
    return true;
}

// kelto_hexcheck on a saved image: 200 with its summary, 400 with the
// loader's message when it rejects the file.
RunReport hexcheck(const std::string& path) {
    RunResult r = runProgram({programPath("kelto_hexcheck"), path},
                             std::chrono::milliseconds(HEXCHECK_LIMIT_MS), {}, &SHUTTING_DOWN);
    json doc = {{"stdout", r.out}, {"stderr", r.err}};
    json summary = json::parse(r.out, nullptr, false);
    bool ok = r.exited && r.exitStatus == 0 && summary.is_object() && summary.contains("pages");
    if (ok) {
        doc["result"] = summary;
        return {200, doc};
    }
    bool rejected = r.exited && r.exitStatus == 1;
    size_t end = r.err.find_last_not_of("\r\n");
    doc["error"] = rejected    ? r.err.substr(0, end == std::string::npos ? 0 : end + 1)
                   : r.started ? "kelto_hexcheck failed on the image"
                               : r.startError;
    return {rejected ? 400 : 502, doc};
}

void handleHexcheck(const httplib::Request& req, httplib::Response& res) {
    httplib::MultipartFormData file;
    if (!upload(req, res, file)) return;
    std::string error;
    std::shared_ptr<TempFile> saved = saveTemp(file.content, error);
    if (!saved) return sendError(res, 500, error);
    RunReport report = hexcheck(saved->path);
    report.doc["file"] = file.filename;
    sendJson(res, report.httpStatus, report.doc);
}

// Follows the update's standard output: "Total pages: N", then "1" to "N".
void trackProgress(Job& job, const std::string& line) {
    const std::string total = "Total pages: ";
    if (line.compare(0, total.size(), total) == 0) {
        job.pages = std::atoi(line.c_str() + total.size());
    } else if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos &&
               line.size() < 9) {
        job.page = std::atoi(line.c_str());
    }
}

void handleFirmware(const httplib::Request& req, httplib::Response& res) {
    Kind kind;
    int device;
    if (!target(req, res, kind, device)) return;
    httplib::MultipartFormData file;
    if (!upload(req, res, file)) return;
    std::string error;
    std::vector<int> devices;
    if (device) devices.push_back(device);
    std::shared_ptr<Claim> held = claim(kind, devices, true, error);
    if (!held) return sendError(res, 409, error);
    std::shared_ptr<TempFile> saved = saveTemp(file.content, error);
    if (!saved) return sendError(res, 500, error);

    RunReport check = hexcheck(saved->path);
    if (check.httpStatus != 200) {
        check.doc["file"] = file.filename;
        return sendJson(res, check.httpStatus, check.doc);
    }
    int pages = check.doc["result"]["pages"].get<int>();
    Operation op = firmwareOperation(kind, device, saved->path, pages, config.recoverySearchMs);
    json info = {{"kind", toolInfo(kind).kind},
                 {"device", device ? json(device) : json()},
                 {"file", file.filename},
                 {"check", check.doc["result"]},
                 {"limit_ms", limitMs(op)}};
    std::shared_ptr<Job> job = startJob(info, [op, held, saved, pages](Job& j) {
        j.pages = pages;
        return runOperation(op, [&j](const std::string& line) { trackProgress(j, line); }).doc;
    });
    sendJson(res, 202, jobDocument(*job));
}

void handleJob(const httplib::Request& req, httplib::Response& res) {
    std::string text = req.matches[1];
    std::shared_ptr<Job> job = text.size() < 9 ? findJob(std::stoi(text)) : nullptr;
    if (!job)
        return sendError(res, 404, "no update " + text + " (finished updates are kept a while)");
    sendJson(res, 200, jobDocument(*job));
}

// --- the page and the footer ---------------------------------------------------

std::string busText() {
    const char* bus = std::getenv("KELTO_CAN_BUS");
    if (!bus || !*bus) return "embedded simulated bus (KELTO_CAN_BUS unset)";
    return std::string("KELTO_CAN_BUS=") + bus;
}

void handleInfo(const httplib::Request&, httplib::Response& res) {
    std::string error;
    Operation op = *buildOperation({Kind::Lumabar, 0, "version", false, {}}, error);
    RunReport version = runOperation(op);
    json lib =
        version.doc["result"].is_object() ? version.doc["result"].value("version", json()) : json();
    sendJson(res, 200,
             {{"bus", busText()},
              {"library_version", lib},
              {"server_version", "0.1.0"},
              {"max_image_bytes", MAX_IMAGE_BYTES},
              {"torvexc_settings", TORVEXC_SETTINGS}});
}

void servePage(httplib::Server& server) {
    for (const PageAsset& asset : PAGE_ASSETS) {
        std::string name = asset.name;
        auto handler = [asset](const httplib::Request&, httplib::Response& res) {
            res.set_content(asset.data, asset.size, asset.contentType);
            res.set_header("Cache-Control", "no-cache");
        };
        server.Get("/" + name, handler);
        if (name == "index.html") server.Get("/", handler);
    }
}

void routes(httplib::Server& server) {
    servePage(server);
    server.Get("/api/info", handleInfo);
    server.Post("/api/hexcheck", handleHexcheck);
    server.Get(R"(/api/jobs/([0-9]+))", handleJob);
    server.Post(R"(/api/([a-z]+)(?:/([^/]+))?/firmware)", handleFirmware);
    server.Get(
        R"(/api/([a-z]+)(?:/([^/]+))?/([a-z_]+))",
        [](const httplib::Request& req, httplib::Response& res) { handleRun(req, res, false); });
    server.Post(
        R"(/api/([a-z]+)(?:/([^/]+))?/([a-z_]+))",
        [](const httplib::Request& req, httplib::Response& res) { handleRun(req, res, true); });
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        if (res.status == 413)
            return sendError(res, 413,
                             "the upload is larger than " + std::to_string(MAX_IMAGE_BYTES) +
                                 " bytes, the most the loader can place");
        sendError(res, res.status,
                  res.status == 404 ? "no such page or API request"
                                    : "HTTP status " + std::to_string(res.status));
    });
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            std::string what = "internal error";
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                what = std::string("internal error: ") + e.what();
            } catch (...) {
            }
            sendError(res, 500, what);
        });
}

bool loopback(const std::string& host) {
    return host.rfind("127.", 0) == 0 || host == "::1" || host == "localhost";
}

// Stops the server on SIGINT or SIGTERM, which every other thread blocks.
void stopOnSignal(httplib::Server& server, sigset_t signals) {
    int sig = 0;
    sigwait(&signals, &sig);
    SHUTTING_DOWN = true;
    server.stop();
}

}  // namespace

int runServer(const ServerConfig& cfg) {
    config = cfg;
    signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::string error;
    if (!makeTempDir(error)) {
        std::fprintf(stderr, "kelto_web: %s\n", error.c_str());
        return 1;
    }
    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(HTTP_THREADS); };
    server.set_payload_max_length(MAX_IMAGE_BYTES + MULTIPART_OVERHEAD_BYTES);
    routes(server);

    if (!loopback(config.host))
        std::fprintf(stderr,
                     "kelto_web: warning: listening on %s, reachable from other machines; "
                     "there is no authentication\n",
                     config.host.c_str());
    int port = config.port == 0
                   ? server.bind_to_any_port(config.host)
                   : (server.bind_to_port(config.host, config.port) ? config.port : -1);
    if (port <= 0) {
        std::fprintf(stderr, "kelto_web: cannot listen on %s:%d\n", config.host.c_str(),
                     config.port);
        removeTempDir();
        return 1;
    }
    std::printf("kelto_web: serving http://%s:%d/ (%s)\n", config.host.c_str(), port,
                busText().c_str());
    std::fflush(stdout);

    std::thread stopper(stopOnSignal, std::ref(server), stopSignals);
    server.listen_after_bind();
    SHUTTING_DOWN = true;
    if (server.is_running()) server.stop();
    waitForJobs();
    removeTempDir();
    // The stopper waits for a signal that may never come when listening ended on its own.
    if (stopper.joinable()) {
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
    }
    return 0;
}

}  // namespace kelto::web
