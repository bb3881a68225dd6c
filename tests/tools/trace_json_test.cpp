// --trace-json of hbrun and hbsim: a file the timeline viewers load, holding
// the same requests as the text trace, even when the run ends early.
#include "process.h"

#include "../fileio/scratch_directory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace {

using hbtest::Finished;
using hbtest::Process;
using hbtest::ScratchDirectory;
using nlohmann::json;
using namespace std::chrono_literals;

const std::string kHbrun = HBRUN_PATH;
const std::string kHbsim = HBSIM_PATH;
const std::string kVp = VP_DIR;

// The names of the complete events per track ("pid/tid"), in file order,
// after checking every event for what the viewers need.
using Tracks = std::map<std::string, std::vector<std::string>>;

Tracks checkedTracks(const json& trace) {
    Tracks tracks;
    EXPECT_TRUE(trace.is_object());
    const json& events = trace.at("traceEvents");
    std::set<std::string> namedThreads, namedProcesses;
    std::map<std::string, double> trackEnd;
    for (const json& event : events) {
        const std::string phase = event.at("ph");
        const int pid = event.at("pid");
        if (phase == "M") {
            const std::string what = event.at("name");
            EXPECT_TRUE(event.at("args").at("name").is_string());
            if (what == "process_name")
                namedProcesses.insert(std::to_string(pid));
            else if (what == "thread_name")
                namedThreads.insert(std::to_string(pid) + "/" +
                                    std::to_string(event.at("tid").get<int>()));
            continue;
        }
        EXPECT_EQ(phase, "X") << event;
        const std::string track =
            std::to_string(pid) + "/" + std::to_string(event.at("tid").get<int>());
        const double ts = event.at("ts"), dur = event.at("dur");
        EXPECT_GE(dur, 0) << event;
        // One thread serves a track: its requests follow each other.
        if (trackEnd.count(track) != 0) {
            EXPECT_GE(ts + 1, trackEnd[track]) << "overlaps the previous request: " << event;
        }
        trackEnd[track] = ts + dur;
        EXPECT_TRUE(event.at("args").contains("result")) << event;
        EXPECT_TRUE(event.at("args").contains("error")) << event;
        EXPECT_TRUE(namedProcesses.count(std::to_string(pid)) != 0) << "unnamed board " << event;
        EXPECT_TRUE(namedThreads.count(track) != 0) << "unnamed thread " << event;
        tracks[track].push_back(event.at("name"));
    }
    return tracks;
}

json parsed(const std::string& path) {
    std::ifstream in(path);
    try {
        return json::parse(in);
    } catch (const json::exception& e) {
        ADD_FAILURE() << path << " does not load: " << e.what();
        return json::object({{"traceEvents", json::array()}});
    }
}

// The request names of the text-trace lines that start with `prefix`.
std::vector<std::string> textNames(const std::string& text, const std::string& prefix) {
    std::vector<std::string> names;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(prefix, 0) != 0)
            continue;
        std::istringstream words(line.substr(prefix.size()));
        std::string name;
        words >> name;
        names.push_back(name);
    }
    return names;
}

class TraceJson : public ::testing::Test {
  protected:
    ScratchDirectory work_;
};

TEST_F(TraceJson, HbrunJsonHoldsTheRequestsOfItsTextTrace) {
    const Finished done = hbtest::run({kHbrun, "--trace-file", work_ / "trace.txt", "--trace-json",
                                       work_ / "trace.json", kVp + "/hello.exe", "one"},
                                      work_.path());
    ASSERT_EQ(done.status, 0) << done.err;
    const json trace = parsed(work_ / "trace.json");
    Tracks tracks = checkedTracks(trace);
    const std::string text = work_.read("trace.txt");
    EXPECT_EQ(tracks["1/1"], textNames(text, "driver: "));
    EXPECT_EQ(tracks["1/2"], textNames(text, "fileio: "));
    EXPECT_GT(tracks["1/1"].size(), 10u);
    EXPECT_EQ(tracks.size(), 2u);

    bool sawWrite = false;
    for (const json& event : trace["traceEvents"]) {
        if (event.value("name", "") != "Write" || event["args"].value("fd", 0) != 1)
            continue;
        const json& args = event["args"];
        EXPECT_EQ(args["data"], "hello from the VP\n");
        EXPECT_EQ(args["count"], 18);
        EXPECT_EQ(args["result"], 18);
        EXPECT_EQ(args["error"], 0);
        sawWrite = true;
        break;
    }
    EXPECT_TRUE(sawWrite) << trace.dump(1);
}

TEST_F(TraceJson, APipeGetsAJsonTraceThatLoads) {
    // A pipe cannot be rewritten: the file is closed at the end instead.
    const std::string script = "'" + kHbrun + "' --trace-json /dev/fd/3 '" + kVp +
                               "/hello.exe' 3>&1 >/dev/null | cat > '" + work_ / "piped.json" +
                               "'; exit ${PIPESTATUS[0]}";
    const Finished done = hbtest::run({"/bin/bash", "-c", script}, work_.path());
    ASSERT_EQ(done.status, 0) << done.err;
    Tracks tracks = checkedTracks(parsed(work_ / "piped.json"));
    EXPECT_EQ(tracks["1/2"].back(), "Exit");
}

TEST_F(TraceJson, ToolsRefuseAJsonFileTheyCannotWriteWithOneLine) {
    const std::string file = work_ / "no/such/dir.json";
    Finished done = hbtest::run({kHbrun, "--trace-json", file, kVp + "/hello.exe"}, work_.path());
    EXPECT_EQ(done.status, 125);
    EXPECT_EQ(done.err,
              "hbrun: cannot open JSON trace file '" + file + "': error 3, path not found\n");
    EXPECT_EQ(done.out, "");

    done = hbtest::run({kHbsim, "--path", work_ / "dev", "--trace-json", file}, work_.path());
    EXPECT_EQ(done.status, 125);
    EXPECT_EQ(done.err.rfind("hbsim: cannot open JSON trace file '" + file + "': ", 0), 0u)
        << done.err;
    EXPECT_EQ(std::count(done.err.begin(), done.err.end(), '\n'), 1) << done.err;
}

TEST_F(TraceJson, HbsimJsonHoldsTheRequestsOfItsTextTraceBoardByBoard) {
    const std::string base = work_ / "dev";
    Process sim(
        {kHbsim, "--path", base, "--boards", "2", "--trace", "--trace-json", work_ / "sim.json"},
        work_.path());
    ASSERT_TRUE(sim.waitForOutput("hbsim: ready", 30s)) << sim.out();
    const Finished done = hbtest::run(
        {kHbrun, "--device", base, "--board", "1", kVp + "/behave.exe", "exit", "3"}, work_.path());
    EXPECT_EQ(done.status, 3) << done.err;
    sim.signal(SIGTERM);
    const Finished ended = sim.finish(30s);
    ASSERT_EQ(ended.status, 0) << ended.err;

    Tracks tracks = checkedTracks(parsed(work_ / "sim.json"));
    EXPECT_EQ(tracks["2/1"], textNames(ended.out, "board 1: "));
    EXPECT_GT(tracks["2/1"].size(), 10u);
    EXPECT_EQ(tracks.count("1/1"), 0u) << "board 0 received nothing";
}

// Waits until `path` holds `text`; false after `limit`.
bool waitForFileText(const std::string& path, const std::string& text, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        std::ifstream in(path);
        const std::string content(std::istreambuf_iterator<char>(in), {});
        if (content.find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

TEST_F(TraceJson, ARunEndedEarlyLeavesAJsonFileThatLoads) {
    struct Ending {
        const char* name;
        std::vector<std::string> options;
        const char* behaviour;
        int signal; // 0: the run ends by itself
        int status;
    };
    const std::vector<Ending> endings{
        {"timeout", {"--timeout", "1"}, "spin", 0, 124},
        {"fault", {}, "fault", 0, 125},
        {"SIGINT", {}, "spin", SIGINT, 128 + SIGINT},
        {"SIGTERM", {}, "spin", SIGTERM, 128 + SIGTERM},
        {"SIGKILL", {}, "spin", SIGKILL, 128 + SIGKILL},
    };
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.name);
        const std::string file = work_ / (std::string(ending.name) + ".json");
        std::vector<std::string> argv{kHbrun, "--trace-json", file};
        argv.insert(argv.end(), ending.options.begin(), ending.options.end());
        argv.insert(argv.end(), {kVp + "/behave.exe", ending.behaviour});
        Process run(argv, work_.path());
        // The program runs once it asked for its command line.
        ASSERT_TRUE(waitForFileText(file, "\"CommandLine\"", 30s));
        if (ending.signal != 0)
            run.signal(ending.signal);
        EXPECT_EQ(run.finish(30s).status, ending.status);
        const Tracks tracks = checkedTracks(parsed(file));
        EXPECT_EQ(tracks.at("1/2").front(), "CommandLine");
    }
}

} // namespace
