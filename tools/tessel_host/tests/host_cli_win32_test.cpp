// tessel-host.exe as a user runs it: what it refuses, and a real plug-in driven, recorded and
// replayed with its datagrams arriving.
#include "plugin/telemetry/g1_parse.h"
#include "testing/plugin_under_test_win32.h"
#include "tools/tessel_host/stream_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct HostRun {
    DWORD exit_code = 0xFFFFFFFF;
    std::string output;  // stdout and stderr together
};

std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

std::string temp_file(const std::string& name) {
    char dir[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + "tessel-host-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
           name;
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct StartedHost {
    PROCESS_INFORMATION process{};
    std::string log;
    bool started = false;
};

// Output goes to a file, not a pipe: Wine may start helper processes (its desktop, when the
// plug-in opens its window) that inherit the handle and would keep a pipe open.
StartedHost start_host(const std::string& arguments, const std::string& log_name = "output.log") {
    StartedHost host;
    host.log = temp_file(log_name);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE output =
        ::CreateFileA(host.log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) return host;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    std::string command = quoted(path_beside_this_program("tessel-host.exe")) + " " + arguments;
    host.started = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                    nullptr, &startup, &host.process) != 0;
    ::CloseHandle(output);
    return host;
}

HostRun finish_host(StartedHost& host) {
    HostRun run;
    if (host.started) {
        if (::WaitForSingleObject(host.process.hProcess, 60000) != WAIT_OBJECT_0) {
            ::TerminateProcess(host.process.hProcess, 0xDEAD);  // a hung host fails, and goes
            ::WaitForSingleObject(host.process.hProcess, 5000);
        }
        ::GetExitCodeProcess(host.process.hProcess, &run.exit_code);
        ::CloseHandle(host.process.hProcess);
        ::CloseHandle(host.process.hThread);
    }
    run.output = read_bytes(host.log);
    std::remove(host.log.c_str());
    return run;
}

HostRun run_host(const std::string& arguments) {
    StartedHost host = start_host(arguments);
    return finish_host(host);
}

std::string check_plugin(const std::string& name) {
    return path_beside_this_program("check-plugins\\" + name);
}

std::string last_line(const std::string& output) {
    const std::size_t end = output.find_last_not_of("\r\n");
    const std::size_t start = output.find_last_of('\n', end);
    return output.substr(start == std::string::npos ? 0 : start + 1, end - start);
}

const std::string kPlugin = quoted(path_beside_this_program(kPluginDllName));

}  // namespace

// Each flaw, one small DLL: --check names it, exits 1 and ends on the verdict; a run of the
// DLLs marked refuses them with the same finding. The sample plug-in is ready.
TEST(TesselHost, CheckNamesTheCauseOfEveryFlawAndPassesTheSamplePlugIn) {
    const std::string text_file = temp_file("not-a-dll.dll");
    write_bytes(text_file, "plain text");
    const struct {
        std::string dll;
        std::string finding;
        bool run_refuses;
        const char* options;
    } rows[] = {
        {text_file, "is not a Windows DLL: it does not start as a Windows DLL does", true, ""},
        {check_plugin("fake_plugin_32bit.dll"), "is built for 32-bit x86; the host is 64-bit", true,
         ""},
        {check_plugin("fake_plugin_needs_dependency.dll"),
         "fake_absent.dll is missing, needed by fake_middle.dll (fake_plugin_needs_dependency.dll "
         "> "
         "fake_middle.dll > fake_absent.dll); the loader looked in " +
             path_beside_this_program("check-plugins") + ";",
         true, ""},
        {check_plugin("fake_plugin_decorated_init.dll"),
         "the export Corvane_Tessel_External_DLL_Init is missing; the DLL exports "
         "_Corvane_Tessel_External_DLL_Init@4 instead: the calling convention decorated the name; "
         "list the plain name under EXPORTS in the .def file",
         false, ""},
        {check_plugin("fake_plugin_mangled_init.dll"),
         "the DLL exports _Z32Corvane_Tessel_External_DLL_InitPv instead: the C++ compiler mangled "
         "the name; declare the function extern \"C\"",
         false, ""},
        {check_plugin("fake_plugin_without_update.dll"),
         "the export Corvane_Tessel_External_DLL_Update is missing", false, ""},
        {check_plugin("fake_plugin_version_3.dll"),
         "GetInterfaceVersion returns 3; this host drives interface version 2", true, ""},
        {check_plugin("fake_plugin_init_false.dll"), "Init returned false", false, ""},
        {check_plugin("fake_plugin_init_throws.dll"),
         "Corvane_Tessel_External_DLL_Init let a C++ exception escape", false, ""},
        {check_plugin("fake_plugin_update_faults.dll"),
         "Corvane_Tessel_External_DLL_Update let an access violation (writing address 0x0) in "
         "fake_plugin_update_faults.dll+0x",
         true, ""},
        {check_plugin("fake_plugin_slow_update.dll"),
         "the typical Update is longer than a 60 Hz frame (16.7 ms)", false, " --frames 60"},
        {check_plugin("fake_plugin_thread_left.dll"), "Shutdown left 1 thread running", false, ""},
        {check_plugin("fake_plugin_window_left.dll"),
         "Shutdown left a window open (class \"Static\", title \"left open\")", false, ""},
        {check_plugin("fake_plugin_handle_leak.dll"), "handles grow", false, ""},
        {check_plugin("fake_plugin_memory_leak.dll"), "memory grows", false, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.dll);
        const HostRun check = run_host("--check " + quoted(row.dll) + row.options);
        EXPECT_EQ(check.exit_code, 1u) << check.output;
        EXPECT_NE(check.output.find("check: error: "), std::string::npos) << check.output;
        EXPECT_NE(check.output.find(row.finding), std::string::npos) << check.output;
        EXPECT_NE(last_line(check.output).find(" is not ready: "), std::string::npos)
            << check.output;
        if (row.run_refuses) {
            const HostRun run = run_host(quoted(row.dll) + " --seconds 1");
            EXPECT_EQ(run.exit_code, 1u) << run.output;
            EXPECT_NE(run.output.find(row.finding), std::string::npos) << run.output;
        }
    }
    std::remove(text_file.c_str());

    const HostRun sample = run_host("--check " + kPlugin);
    EXPECT_EQ(sample.exit_code, 0u) << sample.output;
    EXPECT_EQ(sample.output.find("check: error"), std::string::npos) << sample.output;
    EXPECT_EQ(last_line(sample.output),
              "check: " + kPlugin.substr(1, kPlugin.size() - 2) + " is ready")
        << sample.output;
}

TEST(TesselHost, RefusesTruncatedAndForeignReplayFilesAndTooManyCheckFramesBeforeLoading) {
    std::ostringstream image;
    stream_write_header(image);
    StreamBuilder b;
    b.doubles("Simulation.Time", {1.0});
    stream_write_frame(image, StreamFrame{kTestTimeStep, b.count, b.bytes});
    const std::string truncated = temp_file("truncated.tstream");
    write_bytes(truncated, image.str().substr(0, image.str().size() - 10));
    HostRun run = run_host(kPlugin + " --replay " + quoted(truncated));
    EXPECT_EQ(run.exit_code, 2u) << run.output;
    EXPECT_NE(run.output.find("truncated: frame 1"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("interface version"), std::string::npos) << run.output;

    run = run_host(kPlugin + " --replay " + kPlugin);
    EXPECT_EQ(run.exit_code, 2u) << run.output;
    EXPECT_NE(run.output.find("not a stream file"), std::string::npos) << run.output;
    std::remove(truncated.c_str());

    run = run_host("--check " + kPlugin + " --frames 10000001");
    EXPECT_EQ(run.exit_code, 2u) << run.output;
    EXPECT_NE(run.output.find("at most 10000000 frames, not 10000001"), std::string::npos)
        << run.output;
}

TEST(TesselHost, FliesThePlugInAndReplaysTheRecordingFrameForFrame) {
    WinsockSession winsock;
    DatagramReceiver receiver;
    ASSERT_TRUE(receiver.bound());
    const std::string recording = temp_file("circuit.tstream");

    const HostRun flown =
        run_host(kPlugin + " --rate 30 --seconds 1 --record " + quoted(recording));
    ASSERT_EQ(flown.exit_code, 0u) << flown.output;
    std::vector<StreamFrame> frames;
    std::string error;
    ASSERT_TRUE(stream_file_load(recording, frames, error)) << error;
    EXPECT_GE(frames.size(), 20u);
    EXPECT_NE(flown.output.find("sent " + std::to_string(frames.size()) + " frames"),
              std::string::npos)
        << flown.output;
    const auto first = receiver.receive();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(g1_parse(*first).error, G1ParseError::None) << *first;
    EXPECT_EQ(receiver.drain() + 1, static_cast<int>(frames.size()));

    const std::string replayed_recording = temp_file("replayed.tstream");
    const HostRun replayed = run_host(kPlugin + " --replay " + quoted(recording) + " --record " +
                                      quoted(replayed_recording));
    ASSERT_EQ(replayed.exit_code, 0u) << replayed.output;
    EXPECT_EQ(receiver.drain(), static_cast<int>(frames.size()));
    EXPECT_EQ(read_bytes(replayed_recording), read_bytes(recording));
    std::remove(recording.c_str());
    std::remove(replayed_recording.c_str());
}

// The plug-in that needs a DLL through another, in a folder of its own with both beside it:
// loaded with the altered search path, they are found there, neither beside tessel-host.exe
// nor anywhere the loader would look otherwise.
TEST(TesselHost, CheckFindsTheDllsAPlugInShipsBesideIt) {
    const std::string folder = temp_file("own-dlls");
    ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
    const std::string dlls[] = {"fake_plugin_needs_dependency.dll", "fake_middle.dll",
                                "fake_absent.dll"};
    for (const std::string& dll : dlls) {
        const std::string from = check_plugin(dll == "fake_absent.dll" ? "absent\\" + dll : dll);
        ASSERT_TRUE(::CopyFileA(from.c_str(), (folder + "\\" + dll).c_str(), FALSE)) << from;
    }
    const HostRun check = run_host("--check " + quoted(folder + "\\" + dlls[0]));
    EXPECT_EQ(check.exit_code, 0u) << check.output;
    EXPECT_NE(last_line(check.output).find(" is ready"), std::string::npos) << check.output;
    for (const std::string& dll : dlls) std::remove((folder + "\\" + dll).c_str());
    ::RemoveDirectoryA(folder.c_str());
}

namespace {

// Waits until the host's output holds `text` after `from`; where it starts, or npos after 20 s.
std::size_t wait_for_output(const StartedHost& host, const std::string& text,
                            std::size_t from = 0) {
    const ULONGLONG until = ::GetTickCount64() + 20000;
    for (;;) {
        const std::size_t at = read_bytes(host.log).find(text, from);
        if (at != std::string::npos || ::GetTickCount64() > until) return at;
        ::Sleep(10);
    }
}

// "3.11 s, frame 186: reloaded" -> 186.
unsigned long frame_before(const std::string& output, std::size_t at) {
    const std::size_t frame = output.rfind("frame ", at);
    return frame == std::string::npos ? 0 : std::stoul(output.substr(frame + 6));
}

}  // namespace

// A build replaced during a flight: a broken one is refused and the flight goes on without a
// plug-in, the next good one is loaded, each within a second of the copy ending; the original
// is never locked; the witness plug-in notes that each instance had Shutdown and was unloaded.
// At the start, copies left by a process that is gone are removed, those of one running stay.
TEST(TesselHost, WatchReloadsEachNewBuildDuringTheFlightAndSurvivesABrokenOne) {
    const std::string plugin = temp_file("watched.dll");
    const std::string witness_log = temp_file("witness.log");
    const std::string good = check_plugin("fake_plugin_witness.dll");
    ASSERT_TRUE(::CopyFileA(good.c_str(), plugin.c_str(), FALSE));
    const std::string shadow = plugin.substr(0, plugin.size() - 4) + ".shadow-";
    const std::string running_copy = shadow + std::to_string(::GetCurrentProcessId()) + "-0.dll";
    const std::string gone_copy = shadow + "4294967292-0.dll";  // no process has this id
    for (const std::string& copy : {running_copy, gone_copy}) write_bytes(copy, "left");
    ::SetEnvironmentVariableA("TESSEL_WITNESS_LOG", witness_log.c_str());
    StartedHost host = start_host(quoted(plugin) + " --watch --seconds 8", "watch.log");
    ASSERT_TRUE(host.started);
    const std::size_t loaded = wait_for_output(host, ": loaded ");
    ASSERT_NE(loaded, std::string::npos) << read_bytes(host.log);
    EXPECT_NE(::GetFileAttributesA(running_copy.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(::GetFileAttributesA(gone_copy.c_str()), INVALID_FILE_ATTRIBUTES);

    const struct {
        std::string build;
        const char* line;
    } builds[] = {
        {check_plugin("fake_plugin_version_3.dll"), ": refused "},
        {good, ": reloaded "},
    };
    std::size_t from = loaded;
    for (const auto& b : builds) {
        SCOPED_TRACE(b.line);
        ASSERT_TRUE(::CopyFileA(b.build.c_str(), plugin.c_str(), FALSE));  // never locked
        const ULONGLONG copied = ::GetTickCount64();
        const std::size_t at = wait_for_output(host, b.line, from + 1);
        ASSERT_NE(at, std::string::npos) << read_bytes(host.log);
        EXPECT_LT(::GetTickCount64() - copied, 1000u) << read_bytes(host.log);
        const std::string output = read_bytes(host.log);
        EXPECT_GT(frame_before(output, at), frame_before(output, from)) << output;
        from = at;
    }
    const HostRun run = finish_host(host);
    EXPECT_EQ(run.exit_code, 0u) << run.output;
    EXPECT_NE(run.output.find("GetInterfaceVersion returns 3"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("the old one had Shutdown and was unloaded; flying on without a "
                              "plug-in until the next build"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("watch: 2 builds loaded, 1 refused"), std::string::npos)
        << run.output;
    const std::size_t sent = run.output.find("sent ");
    ASSERT_NE(sent, std::string::npos) << run.output;
    EXPECT_GT(std::stoul(run.output.substr(sent + 5)), frame_before(run.output, from))
        << run.output;

    // Two instances, each started, shut down and unloaded, from copies of their own.
    std::istringstream log(read_bytes(witness_log));
    std::vector<std::pair<std::string, std::string>> notes;
    for (std::string what, copy; log >> what >> copy;) notes.emplace_back(what, copy);
    ASSERT_EQ(notes.size(), 6u) << read_bytes(witness_log);
    const char* lifecycle[] = {"init", "shutdown", "unloaded"};
    for (std::size_t i = 0; i < notes.size(); ++i) {
        EXPECT_EQ(notes[i].first, lifecycle[i % 3]);
        EXPECT_EQ(notes[i].second, notes[i / 3 * 3].second);
    }
    EXPECT_NE(notes[0].second, notes[3].second);
    std::remove(plugin.c_str());
    std::remove(witness_log.c_str());
    std::remove(running_copy.c_str());
}
