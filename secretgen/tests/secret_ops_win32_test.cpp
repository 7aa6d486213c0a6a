// The real file calls under the core, with the random source replaced where a test needs to
// choose the bytes or make it fail: binary writing, exclusive creation, removal after failure.
#include "secretgen/secret_ops_win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Bytes a text-mode stream would translate or stop at, among others.
const std::vector<std::uint8_t> kAwkwardBytes = {0x0A, 0x0D, 0x1A, 0x00, 0x0D, 0x0A, 0xFF, 0x0A};

std::vector<std::uint8_t> awkward_secret() {
    std::vector<std::uint8_t> secret(kSecretSize);
    for (std::size_t i = 0; i < secret.size(); ++i) {
        secret[i] = kAwkwardBytes[i % kAwkwardBytes.size()];
    }
    return secret;
}

int fill_awkward(void*, std::uint8_t* buffer, std::uint32_t length) {
    const std::vector<std::uint8_t> secret = awkward_secret();
    for (std::uint32_t i = 0; i < length; ++i) {
        buffer[i] = secret[i % secret.size()];
    }
    return kCryptSuccess;
}

std::vector<std::uint8_t> read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Each test runs in a directory of its own, made fresh and removed afterwards.
class SecretOpsWin32 : public testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        dir_ = fs::temp_directory_path() / ("secretgen-" + std::to_string(GetCurrentProcessId()) +
                                            "-" + std::to_string(counter++));
        fs::create_directories(dir_);
        previous_ = fs::current_path();
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        fs::remove_all(dir_);
    }

    Win32SecretState state_;
    SecretOps ops_ = win32_secret_ops(state_);
    fs::path dir_;
    fs::path previous_;
};

TEST_F(SecretOpsWin32, BytesATextStreamWouldTranslateAreWrittenUnchanged) {
    ops_.generate_random = fill_awkward;
    ASSERT_EQ(write_secret(ops_), kExitWritten);
    EXPECT_EQ(read_all(kSecretFileName), awkward_secret());
}

TEST_F(SecretOpsWin32, AFailedAcquisitionLeavesNoFile) {
    ops_.acquire_provider = [](void*) { return 0; };
    ASSERT_EQ(write_secret(ops_), kExitAcquireFailed);
    EXPECT_FALSE(fs::exists(kSecretFileName));
}

TEST_F(SecretOpsWin32, AFailedGenerationLeavesNoFile) {
    ops_.generate_random = [](void*, std::uint8_t*, std::uint32_t) { return 0; };
    ASSERT_EQ(write_secret(ops_), kExitGenerateFailed);
    EXPECT_FALSE(fs::exists(kSecretFileName));
}

TEST_F(SecretOpsWin32, ExclusiveCreationRefusesAnExistingFileAndLeavesItAlone) {
    std::ofstream(kSecretFileName, std::ios::binary) << "kept";
    EXPECT_EQ(ops_.create_exclusive(ops_.context, kSecretFileName), CreateResult::already_exists);
    EXPECT_EQ(read_all(kSecretFileName), (std::vector<std::uint8_t>{'k', 'e', 'p', 't'}));
}

TEST_F(SecretOpsWin32, AnUnreadableSecretCountsAsExisting) {
    // A directory cannot be opened for reading, even by root: only the exclusive creation
    // can catch it.
    fs::create_directory(kSecretFileName);
    ASSERT_FALSE(ops_.opens_for_reading(ops_.context, kSecretFileName));
    EXPECT_EQ(write_secret(ops_), kExitAlreadyExists);
    EXPECT_TRUE(fs::is_directory(kSecretFileName));
}

}  // namespace
