// The secret generator's checks, messages, exit codes and what each path leaves on disk, driven
// through a fake platform that can make any call fail, or stop the run before any call.
#include "secretgen/secret_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Calls = std::vector<std::string>;
using Names = std::vector<std::string>;

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();
constexpr const char* kTemporaryName = "secret.txt.tmp";

// What programs see, and what survives a power loss: only the bytes flushed so far.
struct FakeFile {
    Bytes content;
    Bytes on_disk;
};

// A working directory, a console and a scriptable random source. A run can be stopped before
// any call, as by a kill, and another program can make a secret before any call.
struct FakePlatform {
    // Set up by a test.
    std::map<std::string, FakeFile> files;
    bool create_fails = false;
    int acquire_result = kCryptSuccess;
    int generate_result = kCryptSuccess;
    std::size_t failing_put = kSecretSize;  // index of the first byte that fails; none by default
    bool flush_fails = false;
    bool close_fails = false;
    bool move_fails = false;
    Bytes random = Bytes(kSecretSize, 0x5A);  // delivered also when generation fails
    std::size_t stop_before = kNever;
    std::size_t secret_appears_before = kNever;

    // Observed.
    bool temporary_open = false;
    std::string console;
    Calls calls;
    std::uint32_t requested_length = 0;
    std::size_t steps = 0;
    const std::uint8_t* secret_buffer = nullptr;  // the run's own, still alive in every call
    bool secret_in_memory_at_close = false;
};

struct Stopped {};

const Bytes kOtherSecret = {'o', 't', 'h', 'e', 'r'};

// Every call is one step of the run.
FakePlatform& enter(void* context) {
    FakePlatform& f = *static_cast<FakePlatform*>(context);
    if (f.steps == f.secret_appears_before) {
        f.files[kSecretFileName] = FakeFile{kOtherSecret, kOtherSecret};
    }
    if (f.steps == f.stop_before) {
        throw Stopped{};
    }
    ++f.steps;
    return f;
}

SecretOps fake_ops(FakePlatform& platform) {
    return SecretOps{
        .context = &platform,
        .exists = [](void* c, const char* name) { return enter(c).files.contains(name); },
        .create_temporary =
            [](void* c) {
                FakePlatform& f = enter(c);
                f.calls.push_back("create");
                if (f.create_fails) {
                    return false;
                }
                f.files[kTemporaryName] = FakeFile{};
                f.temporary_open = true;
                return true;
            },
        .acquire_provider =
            [](void* c) {
                FakePlatform& f = enter(c);
                f.calls.push_back("acquire");
                return f.acquire_result;
            },
        .generate_random =
            [](void* c, std::uint8_t* buffer, std::uint32_t length) {
                FakePlatform& f = enter(c);
                f.calls.push_back("generate");
                f.requested_length = length;
                f.secret_buffer = buffer;
                for (std::uint32_t i = 0; i < length && i < f.random.size(); ++i) {
                    buffer[i] = f.random[i];
                }
                return f.generate_result;
            },
        .release_provider = [](void* c) { enter(c).calls.push_back("release"); },
        .put_byte =
            [](void* c, std::uint8_t byte) {
                FakePlatform& f = enter(c);
                if (f.calls.back() != "put") {
                    f.calls.push_back("put");
                }
                Bytes& content = f.files[kTemporaryName].content;
                if (!f.temporary_open || content.size() == f.failing_put) {
                    return false;
                }
                content.push_back(byte);
                return true;
            },
        .flush_file =
            [](void* c) {
                FakePlatform& f = enter(c);
                f.calls.push_back("flush");
                FakeFile& file = f.files[kTemporaryName];
                file.on_disk = file.content;
                return !f.flush_fails;
            },
        .close_file =
            [](void* c) {
                FakePlatform& f = enter(c);
                f.calls.push_back("close");
                f.temporary_open = false;
                f.secret_in_memory_at_close =
                    f.secret_buffer != nullptr &&
                    Bytes(f.secret_buffer, f.secret_buffer + kSecretSize) != Bytes(kSecretSize);
                return !f.close_fails;
            },
        .move_into_place =
            [](void* c, const char* name) {
                FakePlatform& f = enter(c);
                f.calls.push_back("move");
                // As on Windows, a file open without sharing cannot be renamed.
                if (f.move_fails || f.temporary_open) {
                    return MoveResult::failed;
                }
                if (f.files.contains(name)) {
                    return MoveResult::target_exists;
                }
                f.files[name] = f.files[kTemporaryName];
                f.files.erase(kTemporaryName);
                return MoveResult::moved;
            },
        .remove_temporary =
            [](void* c) {
                FakePlatform& f = enter(c);
                f.calls.push_back("remove");
                // As on Windows, a file that is still open stays where it is.
                if (!f.temporary_open) {
                    f.files.erase(kTemporaryName);
                }
            },
        .put_line = [](void* c, const char* text) { enter(c).console += std::string(text) + "\n"; },
        .print = [](void* c, const char* text) { enter(c).console += text; },
    };
}

Names names_in(const FakePlatform& platform) {
    Names names;
    for (const auto& [name, file] : platform.files) {
        names.push_back(name);
    }
    return names;
}

Bytes counting_bytes() {
    Bytes bytes(kSecretSize);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(0xC0 + i);
    }
    return bytes;
}

// The number of calls a successful run makes.
std::size_t steps_of_a_whole_run() {
    FakePlatform platform;
    write_secret(fake_ops(platform));
    return platform.steps;
}

using Arrange = void (*)(FakePlatform&);

// A run that succeeds, then one for every step that can fail.
const std::vector<std::pair<const char*, Arrange>> kEveryOutcome = {
    {"success", [](FakePlatform&) {}},
    {"create", [](FakePlatform& f) { f.create_fails = true; }},
    {"acquire", [](FakePlatform& f) { f.acquire_result = 0; }},
    {"generate", [](FakePlatform& f) { f.generate_result = 0; }},
    {"byte", [](FakePlatform& f) { f.failing_put = 10; }},
    {"flush", [](FakePlatform& f) { f.flush_fails = true; }},
    {"close", [](FakePlatform& f) { f.close_fails = true; }},
    {"move", [](FakePlatform& f) { f.move_fails = true; }},
};

TEST(SecretWriter, WritesTheRandomBytesInDeliveryOrderToTheDiskAndPrintsNothing) {
    FakePlatform platform;
    platform.random = counting_bytes();
    EXPECT_EQ(write_secret(fake_ops(platform)), kExitWritten);
    EXPECT_EQ(names_in(platform), Names{kSecretFileName});
    EXPECT_EQ(platform.files[kSecretFileName].content, platform.random);
    EXPECT_EQ(platform.files[kSecretFileName].on_disk, platform.random);
    EXPECT_EQ(platform.requested_length, kSecretSize);
    EXPECT_EQ(platform.console, "");
    EXPECT_FALSE(platform.secret_in_memory_at_close);
}

TEST(SecretWriter, CreatesBeforeAcquiringReleasesBeforeWritingAndFlushesBeforeTheMove) {
    FakePlatform platform;
    write_secret(fake_ops(platform));
    EXPECT_EQ(platform.calls,
              (Calls{"create", "acquire", "generate", "release", "put", "flush", "close", "move"}));
}

TEST(SecretWriter, ARunStoppedAtAnyPointLeavesNoSecretOrAWholeOneOnTheDisk) {
    const std::size_t steps = steps_of_a_whole_run();
    for (std::size_t stop = 0; stop <= steps; ++stop) {
        SCOPED_TRACE(testing::Message() << "stopped before call " << stop << " of " << steps);
        FakePlatform platform;
        platform.random = counting_bytes();
        platform.stop_before = stop;
        try {
            write_secret(fake_ops(platform));
        } catch (const Stopped&) {
        }
        const auto secret = platform.files.find(kSecretFileName);
        if (secret != platform.files.end()) {
            EXPECT_EQ(secret->second.content, platform.random);
            EXPECT_EQ(secret->second.on_disk, platform.random) << "lost with the power";
        }
        EXPECT_EQ(secret != platform.files.end(), stop == steps);
    }
}

// Whatever fails on the way, a secret made by someone else before the run reports is kept, and
// "already exists" is the answer.
TEST(SecretWriter, ASecretThatAppearsAtAnyPointIsKeptAndReportedWithNothingLeftBehind) {
    for (const auto& [outcome, arrange] : kEveryOutcome) {
        FakePlatform alone;
        arrange(alone);
        const bool whole = write_secret(fake_ops(alone)) == kExitWritten;
        // Before a whole run's last call, the move, or before a failure's message.
        const std::size_t last = whole ? alone.steps : alone.steps - 1;
        for (std::size_t appear = 0; appear < last; ++appear) {
            SCOPED_TRACE(testing::Message() << outcome << ", appeared before call " << appear);
            FakePlatform platform;
            arrange(platform);
            platform.secret_appears_before = appear;
            EXPECT_EQ(write_secret(fake_ops(platform)), kExitAlreadyExists);
            EXPECT_EQ(platform.console, "secret.txt already exists\n");
            EXPECT_EQ(names_in(platform), Names{kSecretFileName});
            EXPECT_EQ(platform.files[kSecretFileName].content, kOtherSecret);
        }
    }
}

TEST(SecretWriter, AnExistingSecretStopsTheRunBeforeAnythingThatCouldFail) {
    for (const auto& [outcome, arrange] : kEveryOutcome) {
        SCOPED_TRACE(outcome);
        FakePlatform platform;
        arrange(platform);
        platform.files[kSecretFileName] = FakeFile{kOtherSecret, kOtherSecret};
        EXPECT_EQ(write_secret(fake_ops(platform)), kExitAlreadyExists);
        EXPECT_EQ(platform.console, "secret.txt already exists\n");
        EXPECT_EQ(platform.calls, Calls{});
    }
}

TEST(SecretWriter, AFailedCreationPrintsItsMessageWithoutALineBreak) {
    FakePlatform platform;
    platform.create_fails = true;
    EXPECT_EQ(write_secret(fake_ops(platform)), kExitOpenFailed);
    EXPECT_EQ(platform.console, "Fatal error opening secret.txt for writing");
    EXPECT_EQ(platform.calls, Calls{"create"});
    EXPECT_EQ(names_in(platform), Names{});
}

// The random source's calls count as successful only when they return exactly TRUE.
struct CryptFailure {
    const char* name;
    int acquire_result;
    int generate_result;
    int exit_code;
    const char* console;
    Calls calls;
};

void PrintTo(const CryptFailure& failure, std::ostream* out) {
    *out << failure.name;
}

class SecretWriterCryptFailure : public testing::TestWithParam<CryptFailure> {};

TEST_P(SecretWriterCryptFailure, RemovesTheClosedTemporaryFileAndReports) {
    const CryptFailure& failure = GetParam();
    FakePlatform platform;
    platform.acquire_result = failure.acquire_result;
    platform.generate_result = failure.generate_result;
    EXPECT_EQ(write_secret(fake_ops(platform)), failure.exit_code);
    EXPECT_EQ(platform.console, failure.console);
    EXPECT_EQ(platform.calls, failure.calls);
    EXPECT_EQ(names_in(platform), Names{});
    EXPECT_FALSE(platform.secret_in_memory_at_close);
}

const Calls kAfterFailedAcquire = {"create", "acquire", "close", "remove"};
const Calls kAfterFailedGenerate = {"create", "acquire", "generate", "release", "close", "remove"};

INSTANTIATE_TEST_SUITE_P(
    Results, SecretWriterCryptFailure,
    testing::Values(CryptFailure{"AcquireReturnsFalse", 0, 1, kExitAcquireFailed,
                                 "Fatal error with CryptAcquireContext()\n", kAfterFailedAcquire},
                    CryptFailure{"AcquireReturnsTwo", 2, 1, kExitAcquireFailed,
                                 "Fatal error with CryptAcquireContext()\n", kAfterFailedAcquire},
                    CryptFailure{"GenerateReturnsFalse", 1, 0, kExitGenerateFailed,
                                 "Fatal error with CryptGenRandom()\n", kAfterFailedGenerate},
                    CryptFailure{"GenerateReturnsTwo", 1, 2, kExitGenerateFailed,
                                 "Fatal error with CryptGenRandom()\n", kAfterFailedGenerate}),
    [](const testing::TestParamInfo<CryptFailure>& info) { return info.param.name; });

TEST(SecretWriter, AFailedByteFlushCloseOrMoveRemovesTheTemporaryFileAndReports) {
    const std::vector<std::pair<const char*, void (*)(FakePlatform&)>> failures = {
        {"byte", [](FakePlatform& f) { f.failing_put = 10; }},
        {"flush", [](FakePlatform& f) { f.flush_fails = true; }},
        {"close", [](FakePlatform& f) { f.close_fails = true; }},
        {"move", [](FakePlatform& f) { f.move_fails = true; }},
    };
    for (const auto& [name, make_it_fail] : failures) {
        SCOPED_TRACE(name);
        FakePlatform platform;
        make_it_fail(platform);
        EXPECT_EQ(write_secret(fake_ops(platform)), kExitWriteFailed);
        EXPECT_EQ(platform.console, "Fatal error writing secret.txt\n");
        EXPECT_EQ(names_in(platform), Names{});
        EXPECT_FALSE(platform.secret_in_memory_at_close);
    }
}

}  // namespace
