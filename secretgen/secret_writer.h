// The secret generator's one pass: existence test, a private temporary file beside the secret,
// 64 random bytes written and flushed (and wiped from memory), then a move into place that never
// replaces a file.
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

enum class MoveResult { moved, target_exists, failed };

// The platform, one call per operation. `context` is handed back to every call unchanged; the
// temporary file, its name and the provider handle live behind it.
struct SecretOps {
    void* context;
    // Whether anything of that name is there, known without opening it: a secret that only its
    // owner may read, or that another program holds open, exists all the same.
    bool (*exists)(void* context, const char* name);
    // Creates a new file of a name of its own in the secret's directory, for binary writing,
    // readable and writable by its owner only and shared with no one while it is open.
    bool (*create_temporary)(void* context);
    int (*acquire_provider)(void* context);
    int (*generate_random)(void* context, std::uint8_t* buffer, std::uint32_t length);
    void (*release_provider)(void* context);
    bool (*put_byte)(void* context, std::uint8_t byte);
    // Returns once everything written so far is on the disk, not only in a cache.
    bool (*flush_file)(void* context);
    bool (*close_file)(void* context);
    // Renames the closed temporary file to `name`, on the disk before it returns; a file that
    // is there already, even one made a moment ago, is left as it is.
    MoveResult (*move_into_place)(void* context, const char* name);
    void (*remove_temporary)(void* context);
    // A message followed by a line break, and one printed as it is.
    void (*put_line)(void* context, const char* text);
    void (*print)(void* context, const char* text);
};

// Runs the whole tool once and returns its exit code. An existing secret is never touched, and
// one there before a failure is reported, even one made after the first look, gives 4 whatever
// else failed. "secret.txt" only ever appears complete: on every failure after the creation,
// the temporary file is closed and removed again, and a run stopped at any point leaves at most
// that file. The run's own copy of the random bytes is wiped as soon as it is in the stream.
int write_secret(const SecretOps& ops);
