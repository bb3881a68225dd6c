// hbrun, hbsim, hbpe and gdb as a user runs them: started as processes with
// a time limit, judged by their exit status, their output and their files.
#include "../fileio/scratch_directory.h"
#include "support/pe_image_writer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <regex>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {

using namespace hb::test;
using namespace std::chrono_literals;
using nlohmann::json;

const std::string kHbrun = HBRUN_PATH, kHbsim = HBSIM_PATH, kHbpe = HBPE_PATH, kVp = VP_DIR;
const std::string kGdb = GDB_PATH;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether the file at `path` holds `text` within 30 s.
bool waitFor(const std::string& path, const std::string& text) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    for (; readFile(path).find(text) == std::string::npos; std::this_thread::sleep_for(20ms))
        if (std::chrono::steady_clock::now() > end)
            return false;
    return true;
}

struct Finished {
    int status = -1; // exit status, or 128 + signal; -1 when there was no process
    std::string out, err;
};

// A tool started with stdout and stderr going to files in `directory`; one
// that still runs at the end is killed.
class Process {
  public:
    Process(const std::vector<std::string>& argv, const std::string& directory) {
        static int counter = 0;
        outPath_ = directory + "/process" + std::to_string(counter++) + ".out";
        errPath_ = outPath_.substr(0, outPath_.size() - 3) + "err";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT, 0644);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        // The tools run the emulator; its own leaks are not theirs.
        ::setenv("LSAN_OPTIONS", "print_suppressions=0:suppressions=" TOOLS_LSAN_SUPPRESSIONS, 1);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    Process(const Process&) = delete;
    ~Process() {
        signal(SIGKILL);
        finish();
    }
    bool waitForOutput(const std::string& text) const { return waitFor(outPath_, text); }
    bool waitForError(const std::string& text) const { return waitFor(errPath_, text); }
    void signal(int number) const {
        if (pid_ > 0)
            ::kill(pid_, number);
    }
    // Waits for the end, killing the process after `limit`.
    Finished finish(std::chrono::seconds limit = 60s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = 0;
        pid_t ended = 0;
        while (pid_ > 0 && (ended = ::waitpid(pid_, &status, WNOHANG)) == 0) {
            if (std::chrono::steady_clock::now() > end)
                signal(SIGKILL); // a hang fails the test instead of hanging it
            std::this_thread::sleep_for(10ms);
        }
        pid_ = -1;
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return {ended <= 0 ? -1 : code, out(), err()};
    }
    std::string out() const { return readFile(outPath_); }
    std::string err() const { return readFile(errPath_); }

  private:
    pid_t pid_ = -1;
    std::string outPath_, errPath_;
};

Finished runTool(const std::vector<std::string>& argv, const std::string& directory,
                 std::chrono::seconds limit = 60s) {
    return Process(argv, directory).finish(limit);
}

// Whether text[t..] is pattern[p..], in which "{hex}" stands for upper-case
// hex digits, "{...}" for any text within a line and "{*}" for any text.
bool matches(const std::string& text, const std::string& pattern, size_t t = 0, size_t p = 0) {
    if (p == pattern.size())
        return t == text.size();
    const std::pair<std::string, std::function<bool(char)>> wildcards[] = {
        {"{hex}", [](char c) { return std::isdigit(c) || (c >= 'A' && c <= 'F'); }},
        {"{...}", [](char c) { return c != '\n'; }},
        {"{*}", [](char) { return true; }}};
    for (const auto& [name, allowed] : wildcards) {
        if (pattern.compare(p, name.size(), name) == 0) {
            for (size_t end = t;; ++end) { // every length the wildcard may take
                if ((end > t || name != "{hex}") && matches(text, pattern, end, p + name.size()))
                    return true;
                if (end == text.size() || !allowed(text[end]))
                    return false;
            }
        }
    }
    return t < text.size() && text[t] == pattern[p] && matches(text, pattern, t + 1, p + 1);
}

class Tools : public ::testing::Test {
  protected:
    Finished hbrun(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), kHbrun);
        return runTool(arguments, work_.path());
    }
    // hbsim serving `base`, once it says it is ready.
    std::unique_ptr<Process> hbsim(const std::string& base, std::vector<std::string> options = {}) {
        options.insert(options.begin(), {kHbsim, "--path", base});
        auto sim = std::make_unique<Process>(options, work_.path());
        EXPECT_TRUE(sim->waitForOutput("hbsim: ready")) << sim->out() << sim->err();
        return sim;
    }
    hbtest::ScratchDirectory work_;
};

// The port of the last "127.0.0.1:PORT" in `text`.
std::string portIn(const std::string& text) {
    return std::to_string(std::stoi(text.substr(text.rfind("127.0.0.1:") + 10)));
}

// Runs of the tools: the words of the command line ('' is an empty word; $VP,
// $W, $PORT and $LONG stand for the VP programs' folder, the scratch folder, a
// port in use and the letters that make "hbrun $VP/hello.exe $LONG" one byte
// longer than the command-line slot), then the status, stderr and stdout expected.
const struct {
    int status;
    const char* command;
    const char* err;
    const char* out = "";
} kRuns[] = {
    {0, "hbrun $VP/hello.exe $LONG", "hbrun: warning: the command line is cut to 255 bytes\n",
     "{*}"},
    {2, "hbrun $VP/fault.exe bogus", "fault: unknown way bogus\n", "fault: bogus\n"},
    {1, "hbrun --root $W/root $VP/cat.exe inside.txt ../secret.txt $W/secret.txt",
     "cat: ../secret.txt: cannot open (error 5)\ncat: $W/secret.txt: cannot open (error 5)\n",
     "inside\n"},
    // hbrun's own failures: 125, and 124 when its time-out runs out.
    {125, "hbrun none.exe", "hbrun: cannot open image 'none.exe': error 3, path not found\n"},
    {125, "hbrun $W/text.exe", "hbrun: image '$W/text.exe' is not a valid image: {...}\n"},
    {125, "hbrun --device $W/none $VP/hello.exe", "hbrun: cannot open board 0 of device{...}\n"},
    {125, "hbrun --root $W/none $VP/hello.exe", "hbrun: cannot confine file access to{...}\n"},
    {125, "hbrun $VP/fault.exe write",
     "hbrun: VP fault: unmapped write at eip 0x{hex}, address 0x40000000\n", "fault: write\n"},
    {124, "hbrun --timeout 1 $VP/fault.exe loop", "hbrun: the VP program did not exit{...}\n",
     "fault: loop\n"},
    {125, "hbrun --board-type 27 --width 4 $VP/hello.exe",
     "hbrun: cannot serve a program on this board kind: {...}(bus type 1, bus width 4)\n"},
    {125, "hbrun --device $W/silent --timeout 0.3 $VP/hello.exe",
     "hbrun: the board monitor did not answer while loading{...}: error 1460, time-out\n"},
    {125, "hbrun --trace-json $W/no/dir.json $VP/hello.exe",
     "hbrun: cannot open JSON trace file '$W/no/dir.json'{...}\n"},
    {125, "hbrun --gdb $PORT $VP/hello.exe",
     "hbrun: cannot listen for gdb on 127.0.0.1:$PORT: Address already in use\n"},
    {125, "hbpe check $W/root", "hbpe: cannot read '$W/root': it is a directory\n"},
    // The loader's refusals: 1, a line each; fix cures what it can; warnings leave 0.
    {1, "hbpe check $W/early.exe", "$W/early.exe: e_lfanew is 120; {...}(hbpe fix cures this)\n"},
    {0, "hbpe fix $W/early.exe -o $W/fixed.exe", ""},
    {0, "hbpe check $W/fixed.exe", ""},
    {1, "hbpe fix $W/text.exe -o $W/none.exe", "$W/text.exe: no MS-DOS header{...}\n"},
    {0, "hbpe check $W/odd.exe", "hbpe: $W/odd.exe: warning: e_lfanew 868 {...}\n"},
    // Usage errors: 2, one line naming the option and what it takes; nothing
    // runs. Values out of range: a few options stand for the rest.
    {2, "hbrun", "hbrun: image is required (see --help)\n"},
    {2, "hbrun --root '' x.exe", "hbrun: --root: '' is empty; give a name (see --help)\n"},
    {2, "hbrun --gdb 0 --device $W/none x.exe", "hbrun: --device excludes --gdb (see --help)\n"},
    {2, "hbrun --timeout nan x.exe",
     "hbrun: --timeout: 'nan' is not a number from 0.001 to 1000000 (see --help)\n"},
    {2, "hbrun --gdb 65536 x.exe",
     "hbrun: --gdb: '65536' is not a whole number from 0 to 65535 (see --help)\n"},
    {2, "hbsim", "hbsim: --path is required (see --help)\n"},
    {2, "hbsim --path $W/x --boards 17",
     "hbsim: --boards: '17' is not a whole number from 1 to 16 (see --help)\n"},
    {2, "hbsim --path $W/x --monitor-context-length 3", "hbsim: --monitor-context-length: {...}\n"},
    {2, "hbsim --path $W/x --transport pigeon",
     "hbsim: --transport: pigeon not in {mapped,socket} (see --help)\n"},
    {2, "hbsim --path $W/x --fault x@fail:any", "hbsim: --fault 'x@fail:any': board 'x' {...}\n"},
    {2, "hbsim --path $W/x --boards 2 --gdb 2@0", "hbsim: --gdb '2@0': board '2' {...}(0 to 1)\n"},
    {2, "hbsim --path $W/x --gdb 0@70000", "hbsim: --gdb '0@70000': '70000' is no TCP port{...}\n"},
    {2, "hbpe check", "hbpe: a mode (check or fix) and an image are required{...}\n"},
    {2, "hbpe fix x.exe --lfanew -1", "hbpe: --lfanew: '-1' is not a whole number{...}\n"},
    {2, "hbpe fix $W/early.exe -o", "hbpe: {...}'-o'{...}\n"}, // not a read past the arguments
    {2, "hbpe fix $W/early.exe --lfanew", "hbpe: {...}'--lfanew'{...}\n"},
};

TEST_F(Tools, EachRunEndsWithItsStatusAndOneLineSayingWhy) {
    std::filesystem::create_directory(work_ / "root");
    work_.write("root/inside.txt", "inside\n");
    work_.write("secret.txt", "secret\n");
    work_.write("text.exe", "this is no image");
    PeImage image = linkedProgram(); // its headers too early, then not on 8 bytes
    for (const auto& [name, lfanew] : {std::pair{"early.exe", 120u}, {"odd.exe", 868u}}) {
        image.eLfanew = lfanew;
        const auto bytes = image.build();
        work_.write(name, std::string(bytes.begin(), bytes.end()));
    }
    // A board holding a port; a board whose monitor is silent.
    const auto held = hbsim(work_ / "held", {"--gdb", "0"});
    const std::string port = portIn(held->out());
    const auto silent = hbsim(work_ / "silent", {"--never-answer"});
    const auto expand = [&](std::string text) {
        for (const auto& [name, value] : {std::pair{"$VP", kVp},
                                          {"$W", work_.path()},
                                          {"$PORT", port},
                                          {"$LONG", std::string(244 - kVp.size(), 'x')}}) {
            for (size_t at; (at = text.find(name)) != std::string::npos;)
                text.replace(at, std::strlen(name), value);
        }
        return text;
    };
    const std::map<std::string, std::string> tools{
        {"hbrun", kHbrun}, {"hbsim", kHbsim}, {"hbpe", kHbpe}};
    for (const auto& run : kRuns) {
        SCOPED_TRACE(run.command);
        std::vector<std::string> argv;
        std::istringstream words(expand(run.command));
        for (std::string word; words >> word;)
            argv.push_back(word == "''" ? "" : tools.contains(word) ? tools.at(word) : word);
        const Finished done = runTool(argv, work_.path(), 30s);
        EXPECT_EQ(done.status, run.status) << done.err;
        EXPECT_TRUE(matches(done.err, expand(run.err))) << done.err;
        EXPECT_TRUE(matches(done.out, run.out)) << done.out;
    }
    EXPECT_FALSE(std::filesystem::exists(work_ / "x1")) << "a refused hbsim served nothing";
}

// The names of the complete events per track ("pid/tid"), in file order,
// after checking every event for what the timeline viewers need.
std::map<std::string, std::vector<std::string>> checkedTracks(const std::string& path) {
    std::map<std::string, std::vector<std::string>> tracks;
    const json trace = json::parse(std::ifstream(path), nullptr, false);
    EXPECT_FALSE(trace.is_discarded()) << path << " does not load";
    std::set<std::string> named;
    std::map<std::string, double> trackEnd;
    for (const json& event : trace.value("traceEvents", json::array())) {
        const std::string pid = std::to_string(event.at("pid").get<int>());
        const std::string track = pid + "/" + std::to_string(event.value("tid", 0));
        if (event.at("ph") == "M") {
            EXPECT_TRUE(event.at("args").at("name").is_string());
            named.insert(event.at("name") == "process_name" ? pid : track);
            continue;
        }
        const double ts = event.at("ts"), dur = event.at("dur");
        EXPECT_TRUE(event.at("ph") == "X" && dur >= 0) << event;
        // One thread serves a track: its requests follow each other.
        EXPECT_GE(ts + 1, trackEnd[track]) << "overlaps the previous request: " << event;
        trackEnd[track] = ts + dur;
        EXPECT_TRUE(event.at("args").contains("result") && event.at("args").contains("error"));
        EXPECT_TRUE(named.contains(pid) && named.contains(track)) << "unnamed: " << event;
        tracks[track].push_back(event.at("name"));
    }
    return tracks;
}

// The request names of the text-trace lines that start with `prefix`.
std::vector<std::string> textNames(const std::string& text, const std::string& prefix) {
    std::vector<std::string> names;
    const std::regex line("(^|\n)" + prefix + "(\\w+)");
    for (auto m = std::sregex_iterator(text.begin(), text.end(), line); m != std::sregex_iterator();
         ++m)
        names.push_back((*m)[2]);
    return names;
}

// SIGTERM ends hbsim with status 0 and its sockets gone; on the way
// its boards replace what a crashed device left, refuse a second daemon, serve
// hbrun under a fault plan and monitor options of their own, and trace.
TEST_F(Tools, HbsimServesUntilASignalThenRemovesItsSockets) {
    const std::string base = work_ / "dev", hello = kVp + "/hello.exe";
    hbsim(base); // killed at once, its sockets left behind
    ASSERT_TRUE(std::filesystem::exists(base + "1"));
    const auto sim =
        hbsim(base, {"--boards", "2", "--trace", "--trace-json", work_ / "sim.json", "--fault",
                     "1@fail:SharedMemoryRead#1=1117", "--monitor-context-length", "40"});
    EXPECT_EQ(runTool({kHbsim, "--path", base}, work_.path()).err,
              "hbsim: " + base + "1 is already served by a live device\n");
    const std::vector<std::string> run{"--device", base, "--board", "1", hello};
    EXPECT_TRUE(matches(hbrun(run).err, "hbrun: the board monitor did not answer{...}\n"))
        << "the first read of board 1 fails";
    EXPECT_EQ(hbrun(run).status, 0) << "the board serves again after the failed run";
    sim->signal(SIGTERM);
    const Finished ended = sim->finish(30s);
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_TRUE(matches(ended.out, "{*}hbsim: SIGTERM, stopping\n"));
    EXPECT_TRUE(matches(ended.out, "{*}offset=0x8 length=40 {*}")) << "the short context reply";
    EXPECT_FALSE(std::filesystem::exists(base + "1") || std::filesystem::exists(base + "2"));
    const auto tracks = checkedTracks(work_ / "sim.json");
    EXPECT_EQ(tracks.at("2/1"), textNames(ended.out, "board 1: "));
    EXPECT_GT(tracks.at("2/1").size(), 10u);
    EXPECT_FALSE(tracks.contains("1/1")) << "board 0 received nothing";
}

// A board of hbsim (its memory mapped into each client) belongs to one
// process at a time: a second is refused with 170, a client killed while it
// holds the board releases it, and hbrun notices its device ending; the
// arguments of a run reach the program as given.
TEST_F(Tools, ABoardHasOneClientAtATimeAndHbrunNoticesItsDeviceEnding) {
    const std::string base = work_ / "shared";
    auto sim = hbsim(base, {"--transport", "mapped"});
    const std::vector<std::string> loop{kHbrun, "--device", base, kVp + "/fault.exe", "loop"};
    auto holder = std::make_unique<Process>(loop, work_.path());
    ASSERT_TRUE(holder->waitForOutput("fault: loop\n")) << holder->err();
    // Arguments reach the program as given: hbrun quotes them the way the VP
    // runtime splits them back.
    std::vector<std::string> hello{"--device",  base,   kVp + "/hello.exe", "-v",   "--trace",
                                   "two words", "",     "say \"hi\"",       "a\\b", "c\\\\\"d\\",
                                   "tab\there", "end\\"};
    std::string helloOut = "hello from the VP\nargv[0] = " + kVp + "/hello.exe\n";
    for (size_t i = 3; i < hello.size(); ++i)
        helloOut += "argv[" + std::to_string(i - 2) + "] = " + hello[i] + "\n";
    EXPECT_TRUE(matches(hbrun(hello).err, "hbrun: board 0 {...} is busy{...}(error 170, busy)\n"));
    holder->signal(SIGKILL);
    EXPECT_EQ(holder->finish().status, 128 + SIGKILL);
    const Finished after = hbrun(hello);
    EXPECT_EQ(after.status, 0) << after.err;
    EXPECT_EQ(after.out, helloOut + "HBVP_GREETING = (not set)\n");
    holder = std::make_unique<Process>(loop, work_.path());
    ASSERT_TRUE(holder->waitForOutput("fault: loop\n")) << holder->err();
    sim.reset(); // killed; what the program wrote before is kept
    const Finished lost = holder->finish(15s);
    EXPECT_EQ(lost.status, 125);
    EXPECT_EQ(lost.out, "fault: loop\n");
    EXPECT_TRUE(matches(lost.err, "hbrun: lost the device: {...}(error 1167, {...})\n"));
}

// The examples under README's "Running a VP program", run as written there
// from a folder where build/ is the build tree.
TEST_F(Tools, TheReadmesHbrunExamplesDoWhatItSays) {
    const std::string readme = readFile(README_PATH);
    std::filesystem::create_directory_symlink(BUILD_DIR, work_ / "build");
    // The line, its stdout and its stderr.
    const char* const examples[][3] = {
        {"build/tools/hbrun/hbrun build/vp/hello.exe one \"two words\" ''",
         "hello from the VP\nargv[0] = build/vp/hello.exe\nargv[1] = one\nargv[2] = two "
         "words\nargv[3] = \nHBVP_GREETING = (not set)\n",
         ""},
        {"printf 'a note\\n' > notes.txt && build/tools/hbrun/hbrun --trace build/vp/cat.exe "
         "notes.txt",
         "a note\n", "driver: {*}\nfileio: Open {...}notes.txt{*}\nfileio: Read {*}"},
        {"mkdir -p sandbox && touch sandbox/a.txt && build/tools/hbrun/hbrun --root sandbox "
         "build/vp/ls.exe '*'",
         "{...} a.txt\n1 entries\n", ""},
    };
    for (const auto& [line, out, err] : examples) {
        SCOPED_TRACE(line);
        EXPECT_NE(readme.find(std::string(line) + "   #"), std::string::npos) << "not in README";
        const Finished done =
            runTool({"/bin/bash", "-c", "cd '" + work_.path() + "' && " + line}, work_.path());
        EXPECT_EQ(done.status, 0) << done.err;
        EXPECT_TRUE(matches(done.out, out)) << done.out;
        EXPECT_TRUE(matches(done.err, err)) << done.err;
    }
}

TEST_F(Tools, HbrunTracesEveryRequestDecodedAsTextAndAsJson) {
    const Finished done = hbrun({"--trace-file", work_ / "trace.txt", "--trace-json",
                                 work_ / "trace.json", kVp + "/hello.exe"});
    ASSERT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.err, "") << "a trace file leaves the console to the program";
    const std::string trace = work_.read("trace.txt");
    EXPECT_TRUE(matches(trace, "{*}driver: ResetVp {*}\nfileio: CommandLine -> '" + kVp +
                                   "/hello.exe '{*}\nfileio: Write fd=1 count=18 data='hello from "
                                   "the VP\\n' -> 18 [{*}\nfileio: Exit status=0 -> 0 [{*}"))
        << trace;
    auto tracks = checkedTracks(work_ / "trace.json");
    EXPECT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks["1/1"], textNames(trace, "driver: "));
    EXPECT_EQ(tracks["1/2"], textNames(trace, "fileio: "));
    const json events = json::parse(std::ifstream(work_ / "trace.json"))["traceEvents"];
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const json& e) {
        return e["name"] == "Write" && e["args"].dump() == R"({"count":18,"data":"hello from the )"
                                                           R"(VP\n","error":0,"fd":1,"result":18})";
    }));
    // A pipe cannot be rewritten: the file is closed at the end instead.
    const std::string script = "'" + kHbrun + "' --trace-json /dev/fd/3 '" + kVp +
                               "/hello.exe' 3>&1 >/dev/null | cat > '" + work_ / "piped.json" +
                               "'; exit ${PIPESTATUS[0]}";
    ASSERT_EQ(runTool({"/bin/bash", "-c", script}, work_.path()).status, 0);
    EXPECT_EQ(checkedTracks(work_ / "piped.json")["1/2"].back(), "Exit");
}

TEST_F(Tools, ASignalledRunEndsWith128PlusItAndLeavesAJsonFileThatLoads) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(signal);
        const std::string file = work_ / (std::to_string(signal) + ".json");
        Process run({kHbrun, "--trace-json", file, kVp + "/fault.exe", "loop"}, work_.path());
        ASSERT_TRUE(run.waitForOutput("fault: loop\n")) << "the program runs";
        run.signal(signal);
        EXPECT_EQ(run.finish(30s).status, 128 + signal);
        EXPECT_EQ(checkedTracks(file)["1/2"].front(), "CommandLine");
    }
}

// The remote protocol by hand: `payload` framed with its checksum.
std::string packet(const std::string& payload) {
    unsigned sum = 0;
    for (const char c : payload)
        sum += uint8_t(c);
    char check[3];
    std::snprintf(check, sizeof check, "%02x", sum & 0xFF);
    return "$" + payload + "#" + check;
}

// A debugger's connection to 127.0.0.1:`port`, on receive time-outs.
class GdbClient {
  public:
    explicit GdbClient(const std::string& port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(std::stoi(port)));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const timeval limit{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~GdbClient() { ::close(fd_); }
    // Sends `bytes`; whether `reply` then comes (what came up to it is taken).
    bool exchange(const std::string& bytes, const std::string& reply) {
        ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        char buffer[4096];
        for (ssize_t got = 1; received_.find(reply) == std::string::npos && got > 0;)
            received_.append(buffer, std::max<ssize_t>(got = ::recv(fd_, buffer, 4096, 0), 0));
        const size_t at = received_.find(reply);
        received_.erase(0, at == std::string::npos ? std::string::npos : at + reply.size());
        return at != std::string::npos;
    }

  private:
    int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string received_;
};

// hbrun --gdb's stub: an interrupt (^C) stops the running program; a packet
// with a bad checksum is refused, an unknown, malformed or overlong one
// answered, and the stub serves on until a kill ends hbrun.
TEST_F(Tools, GdbStubStopsARunningProgramOnInterruptAndAnswersBadPacketsCleanly) {
    Process run({kHbrun, "--timeout", "60", "--gdb", "0", kVp + "/fault.exe", "loop"},
                work_.path());
    ASSERT_TRUE(run.waitForError("hbrun: waiting for gdb on 127.0.0.1:")) << run.err();
    GdbClient gdb(portIn(run.err()));
    ASSERT_TRUE(gdb.exchange(packet("?"), "+$T05"));
    ASSERT_TRUE(gdb.exchange(packet("c"), "+"));
    ASSERT_TRUE(run.waitForOutput("fault: loop\n")) << "the program runs";
    EXPECT_TRUE(gdb.exchange("\x03", "$T02")) << "no stop for the interrupt";
    const std::pair<std::string, std::string> bad[] = {
        {"$g#00", "-"},                       // a bad checksum
        {packet("vMustReplyEmpty"), "+$#00"}, // an unknown command
        {packet("m0,fffffffff"), "+$E01#"},   // malformed ones
        {packet("Z0,zz,1"), "+$E01#"},
        {packet("qSymbol:" + std::string(4089, '0')), "+$E01#"}, // a byte too long
        {packet("$m0,4") + packet("qC"), "+$QC1#"},              // an unfinished one
    };
    for (const auto& [sent, reply] : bad)
        EXPECT_TRUE(gdb.exchange(sent, reply)) << sent.substr(0, 20);
    EXPECT_TRUE(gdb.exchange(packet("vKill;1"), "+$OK#")); // gdb's kill
    const Finished killed = run.finish(30s);
    EXPECT_EQ(killed.status, 125);
    EXPECT_TRUE(matches(killed.err, "hbrun: waiting for gdb on {...}\n"
                                    "hbrun: the debugger killed the VP program at eip 0x{hex}\n"))
        << killed.err;
}

// A source-level session of Debian's gdb with the program hbrun --gdb holds:
// a breakpoint, memory and a register read and written, then the run to the
// end with what gdb wrote seen by the program.
TEST_F(Tools, GdbBreaksReadsAndWritesTheVpAndTheProgramRunsOnWithTheChanges) {
    if (kGdb.empty())
        GTEST_SKIP() << "no gdb (scripts/setup.sh installs it)";
    const std::string hello = kVp + "/hello.exe";
    Process run({kHbrun, "--timeout", "60", "--gdb", "0", hello, "one"}, work_.path());
    ASSERT_TRUE(run.waitForError("hbrun: waiting for gdb on 127.0.0.1:")) << run.err();
    std::vector<std::string> argv = {kGdb, "-nx", "-batch"};
    for (const std::string& command : std::vector<std::string>{
             "set confirm off", "target remote 127.0.0.1:" + portIn(run.err()), "break main",
             "continue", "print argv[1]", "set var argv[1][0] = 'J'", "set var $eax = 0x1234abcd",
             "print/x $eax", "continue"})
        argv.insert(argv.end(), {"-ex", command});
    argv.push_back(hello);
    const Finished session = runTool(argv, work_.path(), 60s);
    EXPECT_TRUE(std::regex_search(session.out, std::regex("Breakpoint 1, main \\(argc=2")))
        << session.out << session.err;
    EXPECT_NE(session.out.find("\"one\""), std::string::npos) << session.out;
    EXPECT_NE(session.out.find("= 0x1234abcd"), std::string::npos) << session.out;
    EXPECT_NE(session.out.find("exited normally"), std::string::npos) << session.out;
    const Finished ended = run.finish(30s);
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_NE(ended.out.find("argv[1] = Jne\n"), std::string::npos) << ended.out;
}

} // namespace
