// The secret generator's checks, messages, exit codes and what each path leaves on disk, driven
// through a fake platform that can make any call fail.
#include "secretgen/secret_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

// A working directory with at most one "secret.txt", a console and a scriptable random source.
struct FakePlatform {
    // Set up by a test.
    bool readable_file = false;
    CreateResult create_result = CreateResult::created;
    int acquire_result = kCryptSuccess;
    int generate_result = kCryptSuccess;
    std::size_t failing_put = kSecretSize;  // index of the first byte that fails; none by default
    bool close_fails = false;
    std::vector<std::uint8_t> random;

    // Observed.
    bool file_on_disk = false;
    bool file_open = false;
    std::vector<std::uint8_t> content;
    std::string console;
    std::vector<std::string> calls;
    std::uint32_t requested_length = 0;
};

FakePlatform& fake(void* context) {
    return *static_cast<FakePlatform*>(context);
}

SecretOps fake_ops(FakePlatform& platform) {
    return SecretOps{
        .context = &platform,
        .opens_for_reading = [](void* c, const char*) { return fake(c).readable_file; },
        .create_exclusive =
            [](void* c, const char*) {
                FakePlatform& f = fake(c);
                f.calls.push_back("create");
                f.file_on_disk = f.file_open = f.create_result == CreateResult::created;
                return f.create_result;
            },
        .acquire_provider =
            [](void* c) {
                fake(c).calls.push_back("acquire");
                return fake(c).acquire_result;
            },
        .generate_random =
            [](void* c, std::uint8_t* buffer, std::uint32_t length) {
                FakePlatform& f = fake(c);
                f.calls.push_back("generate");
                f.requested_length = length;
                for (std::uint32_t i = 0; i < length && i < f.random.size(); ++i) {
                    buffer[i] = f.random[i];
                }
                return f.generate_result;
            },
        .release_provider = [](void* c) { fake(c).calls.push_back("release"); },
        .put_byte =
            [](void* c, std::uint8_t byte) {
                FakePlatform& f = fake(c);
                if (f.calls.back() != "put") {
                    f.calls.push_back("put");
                }
                if (f.content.size() == f.failing_put) {
                    return false;
                }
                f.content.push_back(byte);
                return true;
            },
        .close_file =
            [](void* c) {
                FakePlatform& f = fake(c);
                f.calls.push_back("close");
                f.file_open = false;
                return !f.close_fails;
            },
        .remove_file =
            [](void* c, const char*) {
                FakePlatform& f = fake(c);
                f.calls.push_back("remove");
                // As on Windows, a file that is still open stays where it is.
                if (!f.file_open) {
                    f.file_on_disk = false;
                    f.content.clear();
                }
            },
        .put_line = [](void* c, const char* text) { fake(c).console += std::string(text) + "\n"; },
        .print = [](void* c, const char* text) { fake(c).console += text; },
    };
}

std::vector<std::uint8_t> counting_bytes() {
    std::vector<std::uint8_t> bytes(kSecretSize);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(0xC0 + i);
    }
    return bytes;
}

using Calls = std::vector<std::string>;

TEST(SecretWriter, WritesTheRandomBytesInDeliveryOrderAndPrintsNothing) {
    FakePlatform platform;
    platform.random = counting_bytes();
    EXPECT_EQ(write_secret(fake_ops(platform)), kExitWritten);
    EXPECT_EQ(platform.content, platform.random);
    EXPECT_EQ(platform.requested_length, kSecretSize);
    EXPECT_EQ(platform.console, "");
}

TEST(SecretWriter, CreatesBeforeAcquiringAndReleasesBeforeWriting) {
    FakePlatform platform;
    write_secret(fake_ops(platform));
    EXPECT_EQ(platform.calls, (Calls{"create", "acquire", "generate", "release", "put", "close"}));
    EXPECT_FALSE(platform.file_open);
}

TEST(SecretWriter, AReadableSecretStopsTheRunBeforeAnythingElse) {
    FakePlatform platform;
    platform.readable_file = true;
    EXPECT_EQ(write_secret(fake_ops(platform)), kExitAlreadyExists);
    EXPECT_EQ(platform.console, "secret.txt already exists\n");
    EXPECT_EQ(platform.calls, Calls{});
}

TEST(SecretWriter, ASecretTheReadTestMissedIsReportedAsExisting) {
    FakePlatform platform;
    platform.create_result = CreateResult::already_exists;
    EXPECT_EQ(write_secret(fake_ops(platform)), kExitAlreadyExists);
    EXPECT_EQ(platform.console, "secret.txt already exists\n");
    EXPECT_EQ(platform.calls, Calls{"create"});
}

TEST(SecretWriter, AFailedCreationPrintsItsMessageWithoutALineBreak) {
    FakePlatform platform;
    platform.create_result = CreateResult::failed;
    EXPECT_EQ(write_secret(fake_ops(platform)), kExitOpenFailed);
    EXPECT_EQ(platform.console, "Fatal error opening secret.txt for writing");
    EXPECT_EQ(platform.calls, Calls{"create"});
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

TEST_P(SecretWriterCryptFailure, RemovesTheClosedNewFileAndReports) {
    const CryptFailure& failure = GetParam();
    FakePlatform platform;
    platform.acquire_result = failure.acquire_result;
    platform.generate_result = failure.generate_result;
    EXPECT_EQ(write_secret(fake_ops(platform)), failure.exit_code);
    EXPECT_EQ(platform.console, failure.console);
    EXPECT_EQ(platform.calls, failure.calls);
    EXPECT_FALSE(platform.file_on_disk);
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

TEST(SecretWriter, AFailedByteRemovesTheFileAndReports) {
    FakePlatform platform;
    platform.failing_put = 10;
    EXPECT_EQ(write_secret(fake_ops(platform)), kExitWriteFailed);
    EXPECT_EQ(platform.console, "Fatal error writing secret.txt\n");
    EXPECT_FALSE(platform.file_on_disk);
}

TEST(SecretWriter, AFailedCloseRemovesTheFileAndReports) {
    FakePlatform platform;
    platform.close_fails = true;
    EXPECT_EQ(write_secret(fake_ops(platform)), kExitWriteFailed);
    EXPECT_EQ(platform.console, "Fatal error writing secret.txt\n");
    EXPECT_FALSE(platform.file_on_disk);
}

}  // namespace
