// The secret generator's one pass: existence test, exclusive creation, 64 random bytes, write.
// Every platform call goes through SecretOps, so each failure path can be driven by a test.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kSecretSize = 64;
inline constexpr const char* kSecretFileName = "secret.txt";

// The exact texts users and scripts see; the open-failure one is printed without a line break.
inline constexpr const char* kAlreadyExistsMessage = "secret.txt already exists";
inline constexpr const char* kOpenFailedMessage = "Fatal error opening secret.txt for writing";
inline constexpr const char* kAcquireFailedMessage = "Fatal error with CryptAcquireContext()";
inline constexpr const char* kGenerateFailedMessage = "Fatal error with CryptGenRandom()";
inline constexpr const char* kWriteFailedMessage = "Fatal error writing secret.txt";

inline constexpr int kExitWritten = 0;
inline constexpr int kExitAcquireFailed = 1;
inline constexpr int kExitGenerateFailed = 2;
inline constexpr int kExitOpenFailed = 3;
inline constexpr int kExitAlreadyExists = 4;
inline constexpr int kExitWriteFailed = 5;

// The crypto calls succeed only when they return exactly this (TRUE); any other value fails.
inline constexpr int kCryptSuccess = 1;

enum class CreateResult { created, already_exists, failed };

// The platform, one call per operation. `context` is handed back to every call unchanged; the
// output file and the provider handle live behind it.
struct SecretOps {
    void* context;
    // Whether `name` can be opened for reading; the test stream is closed again at once.
    bool (*opens_for_reading)(void* context, const char* name);
    // Creates `name` for binary writing, failing rather than touching a file that is there.
    CreateResult (*create_exclusive)(void* context, const char* name);
    int (*acquire_provider)(void* context);
    int (*generate_random)(void* context, std::uint8_t* buffer, std::uint32_t length);
    void (*release_provider)(void* context);
    bool (*put_byte)(void* context, std::uint8_t byte);
    bool (*close_file)(void* context);
    void (*remove_file)(void* context, const char* name);
    // A message followed by a line break, and one printed as it is.
    void (*put_line)(void* context, const char* text);
    void (*print)(void* context, const char* text);
};

// Runs the whole tool once and returns its exit code. An existing secret is never touched; on
// every failure after the creation, the new file is closed and removed again.
int write_secret(const SecretOps& ops);
