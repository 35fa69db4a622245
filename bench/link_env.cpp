#include "link_env.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "link_report.h"

extern char** environ;

namespace linkbench {

namespace {

// Where the value of "key" starts in a JSON text; nullptr when the key is missing.
const char* JsonValue(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\"");
    if (at == std::string::npos) return nullptr;
    const size_t colon = json.find(':', at);
    if (colon == std::string::npos) return nullptr;
    return json.c_str() + colon + 1;
}

}  // namespace

std::set<int> TaskIds() {
    std::set<int> ids;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error))
        ids.insert(std::atoi(entry.path().filename().c_str()));
    return ids;
}

double TaskCpuSeconds(int tid) {
    if (tid <= 0) return 0;
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    unsigned long long ns = 0;
    in >> ns;
    return static_cast<double>(ns) * 1e-9;
}

std::vector<uint8_t> RandomBytes(size_t size, std::mt19937& rng) {
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng() & 0xFF);
    return bytes;
}

uint32_t ReplyBytes(const qxsim::TranscriptEntry& e) {
    using qxsim::Outcome;
    if (e.outcome == Outcome::Refused) return 1;
    if (e.outcome != Outcome::Answered) return 0;
    const std::string& k = e.command;
    const auto count = [&](size_t at) -> uint32_t {
        if (e.bytes.size() <= at) return 0;
        return e.bytes[at] == 0 ? 256u : e.bytes[at];
    };
    if (k == "VV") return 3;
    if (k == "VSS") return 256;
    if (k == "NS") return 10;
    if (k == "DOLI") return 17;
    if (k == "HR") return count(2) + 1;
    if (k == "E") return count(1) + 1;
    if (k == "R") return count(1) + 1;
    if (k == "ZR") return (e.bytes.size() > 2 ? e.bytes[2] * 256u : 0u) + 1;
    if (k == "X") return 2;
    return 1;  // 'O' or a one-byte value: HW, e, S, B, 8, W, w, ZW
}

LineTraffic Traffic(const std::vector<qxsim::TranscriptEntry>& transcript) {
    LineTraffic t;
    for (const qxsim::TranscriptEntry& e : transcript) {
        const Exchange round{static_cast<uint32_t>(e.bytes.size()), ReplyBytes(e)};
        t.rounds.push_back(round);
        t.bytes += round.request + round.reply;
        if (e.outcome != qxsim::Outcome::Answered) {
            t.allAnswered = false;
        } else {
            ++t.answered;
            if (e.baud != 0)
                t.answeredWireSeconds += WireSeconds(round.request + round.reply, e.baud);
        }
    }
    return t;
}

bool LinkedDevice::Start(const qxsim::Config& config, int com) {
    sim = std::make_unique<qxsim::Simulator>(config);
    const std::set<int> before = TaskIds();
    if (!sim->Start(&error) || !sim->LinkAsCom(com, {}, &error)) return false;
    std::vector<int> started;
    for (int id : TaskIds())
        if (before.count(id) == 0) started.push_back(id);
    if (started.size() == 1) simThread = started[0];
    device = std::make_unique<qx::QXVorrel>();
    char name[qx::kModelNameCapacity] = {};
    uint8_t version[3] = {};
    if (device->OpenDeviceOnPort(static_cast<uint32_t>(com), name, sizeof name, version, 0) != 1 ||
        device->capabilities == 0) {
        error = "no device identified on COM" + std::to_string(com);
        return false;
    }
    return true;
}

LinkedDevice::~LinkedDevice() {
    if (device) device->ClosePort();
    if (sim) sim->Stop();
}

ProcessRun RunProcess(const std::vector<std::string>& args, const std::string& outFile) {
    ProcessRun run;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const auto start = Clock::now();
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return run;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.started = true;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(outFile);
    std::stringstream text;
    text << in.rdbuf();
    run.out = text.str();
    return run;
}

std::string DefaultQxtool() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return "qxtool";
    return (self.parent_path() / "qxtool").string();
}

long JsonNumber(const std::string& json, const std::string& key) {
    const char* value = JsonValue(json, key);
    return value ? std::strtol(value, nullptr, 10) : -1;
}

double JsonReal(const std::string& json, const std::string& key) {
    const char* value = JsonValue(json, key);
    return value ? std::strtod(value, nullptr) : std::nan("");
}

}  // namespace linkbench
