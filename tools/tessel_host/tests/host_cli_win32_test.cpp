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

// Output goes to a file, not a pipe: Wine may start helper processes (its desktop, when the
// plug-in opens its window) that inherit the handle and would keep a pipe open.
HostRun run_host(const std::string& arguments) {
    HostRun run;
    const std::string log = temp_file("output.log");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE output = ::CreateFileA(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) return run;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    std::string command = quoted(path_beside_this_program("tessel-host.exe")) + " " + arguments;
    const BOOL started = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                          nullptr, nullptr, &startup, &process);
    ::CloseHandle(output);
    if (started) {
        if (::WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
            ::TerminateProcess(process.hProcess, 0xDEAD);  // a hung host fails, and goes
            ::WaitForSingleObject(process.hProcess, 5000);
        }
        ::GetExitCodeProcess(process.hProcess, &run.exit_code);
        ::CloseHandle(process.hProcess);
        ::CloseHandle(process.hThread);
    }
    run.output = read_bytes(log);
    std::remove(log.c_str());
    return run;
}

const std::string kPlugin = quoted(path_beside_this_program(kPluginDllName));

}  // namespace

TEST(TesselHost, RefusesADllWithoutTheUpdateExport) {
    const HostRun run =
        run_host(quoted(path_beside_this_program("fake_plugin_without_update.dll")));
    EXPECT_EQ(run.exit_code, 1u) << run.output;
    EXPECT_NE(run.output.find("missing export Corvane_Tessel_External_DLL_Update"),
              std::string::npos)
        << run.output;
}

TEST(TesselHost, RefusesAPlugInOfAnotherInterfaceVersion) {
    const HostRun run = run_host(quoted(path_beside_this_program("fake_plugin_version_3.dll")));
    EXPECT_EQ(run.exit_code, 1u) << run.output;
    EXPECT_NE(run.output.find("interface version 3; this host drives version 2"), std::string::npos)
        << run.output;
}

TEST(TesselHost, RefusesAFileThatIsNoDll) {
    const std::string path = temp_file("not-a-dll.dll");
    write_bytes(path, "plain text");
    const HostRun run = run_host(quoted(path));
    EXPECT_EQ(run.exit_code, 1u) << run.output;
    EXPECT_NE(run.output.find("cannot load"), std::string::npos) << run.output;
    std::remove(path.c_str());
}

TEST(TesselHost, RefusesTruncatedAndForeignReplayFilesBeforeLoadingThePlugIn) {
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
