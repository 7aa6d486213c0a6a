// The real file calls under the core, with the random source replaced where a test needs to
// choose the bytes, make it fail or look around while the secret is being made: binary writing,
// the owner-only and unshared temporary file, the move that replaces nothing, removal after
// failure.
#include "secretgen/secret_ops_win32.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
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

std::set<std::string> entries() {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(".")) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

const std::set<std::string> kOnlyTheSecret = {kSecretFileName};

// Made as another program would make it, while the run generates its bytes.
int make_a_secret_meanwhile(void*, std::uint8_t*, std::uint32_t) {
    std::ofstream(kSecretFileName, std::ios::binary) << "kept";
    return kCryptSuccess;
}

// Whether another program could open the file being written, even when it allows all sharing.
DWORD g_open_error = ERROR_SUCCESS;
std::string g_temporary_name;

int try_to_open_the_temporary_file(void*, std::uint8_t*, std::uint32_t) {
    const std::string name = g_temporary_name = *entries().begin();
    const HANDLE file = ::CreateFileA(name.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    g_open_error = file == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
    if (file != INVALID_HANDLE_VALUE) {
        ::CloseHandle(file);
    }
    return kCryptSuccess;
}

std::string sid_text(PSID sid) {
    char* text = nullptr;
    EXPECT_TRUE(::ConvertSidToStringSidA(sid, &text));
    std::string result = text != nullptr ? text : "";
    ::LocalFree(text);
    return result;
}

std::string running_user() {
    HANDLE token = nullptr;
    EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    std::vector<std::uint8_t> buffer(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE);
    DWORD length = 0;
    EXPECT_TRUE(::GetTokenInformation(token, TokenUser, buffer.data(), buffer.size(), &length));
    ::CloseHandle(token);
    return sid_text(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

// Everyone the file's access list lets in, by SID.
std::set<std::string> allowed_in(const char* name) {
    DWORD length = 0;
    ::GetFileSecurityA(name, DACL_SECURITY_INFORMATION, nullptr, 0, &length);
    std::vector<std::uint8_t> descriptor(length);
    std::set<std::string> sids;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ACL* acl = nullptr;
    if (!::GetFileSecurityA(name, DACL_SECURITY_INFORMATION, descriptor.data(), length, &length) ||
        !::GetSecurityDescriptorDacl(descriptor.data(), &present, &acl, &defaulted)) {
        ADD_FAILURE() << "cannot read the access list of " << name;
        return sids;
    }
    if (!present || acl == nullptr) {
        return {"everyone: no access list"};
    }
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (::GetAce(acl, i, &ace) &&
            static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            sids.insert(sid_text(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart));
        }
    }
    return sids;
}

// Wine lists the system itself beside the owner of every file it reports on.
constexpr const char* kLocalSystem = "S-1-5-18";

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
    EXPECT_EQ(entries(), kOnlyTheSecret);
    EXPECT_EQ(std::string(state_.stream_buffer, kSecretSize), std::string(kSecretSize, '\0'))
        << "the stream's copy of the secret is not wiped";
}

TEST_F(SecretOpsWin32, AFailedAcquisitionLeavesNothing) {
    ops_.acquire_provider = [](void*) { return 0; };
    ASSERT_EQ(write_secret(ops_), kExitAcquireFailed);
    EXPECT_EQ(entries(), std::set<std::string>{});
}

TEST_F(SecretOpsWin32, AFailedGenerationLeavesNothing) {
    ops_.generate_random = [](void*, std::uint8_t*, std::uint32_t) { return 0; };
    ASSERT_EQ(write_secret(ops_), kExitGenerateFailed);
    EXPECT_EQ(entries(), std::set<std::string>{});
}

TEST_F(SecretOpsWin32, ASecretMadeMeanwhileIsKeptAndTheTemporaryFileRemoved) {
    ops_.generate_random = make_a_secret_meanwhile;
    EXPECT_EQ(write_secret(ops_), kExitAlreadyExists);
    EXPECT_EQ(read_all(kSecretFileName), (std::vector<std::uint8_t>{'k', 'e', 'p', 't'}));
    EXPECT_EQ(entries(), kOnlyTheSecret);
}

TEST_F(SecretOpsWin32, AnUnreadableSecretCountsAsExisting) {
    // A directory cannot be opened for reading, even by root; it is found before anything is
    // made, so an unwritable directory still reports it.
    fs::create_directory(kSecretFileName);
    ASSERT_EQ(std::fopen(kSecretFileName, "rb"), nullptr);
    ops_.create_temporary = [](void*) { return false; };
    EXPECT_EQ(write_secret(ops_), kExitAlreadyExists);
    EXPECT_TRUE(fs::is_directory(kSecretFileName));
    EXPECT_EQ(entries(), kOnlyTheSecret);
}

TEST_F(SecretOpsWin32, NoOneElseCanOpenTheFileWhileTheSecretIsMade) {
    ops_.generate_random = try_to_open_the_temporary_file;
    ASSERT_EQ(write_secret(ops_), kExitWritten);
    EXPECT_EQ(g_open_error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Wherever "secret.txt" fits within the path limit, so does the file that becomes it.
    EXPECT_LE(g_temporary_name.size(), std::strlen(kSecretFileName)) << g_temporary_name;
}

TEST_F(SecretOpsWin32, TheSecretLetsInItsOwnerAndNoOtherUser) {
    ASSERT_EQ(write_secret(ops_), kExitWritten);
    std::set<std::string> allowed = allowed_in(kSecretFileName);
    EXPECT_EQ(allowed.erase(running_user()), 1u);
    allowed.erase(kLocalSystem);
    EXPECT_EQ(allowed, std::set<std::string>{});
}

}  // namespace
