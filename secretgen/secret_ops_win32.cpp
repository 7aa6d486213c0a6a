// The secret generator's real platform calls, one small function per SecretOps entry.
#include "secretgen/secret_ops_win32.h"

#include <cerrno>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace {

Win32SecretState& state_of(void* context) {
    return *static_cast<Win32SecretState*>(context);
}

bool opens_for_reading(void*, const char* name) {
    std::FILE* probe = std::fopen(name, "rb");
    if (probe == nullptr) {
        return false;
    }
    std::fclose(probe);
    return true;
}

// An exclusive open, so a file that the read test could not see (unreadable, or made in the
// meantime) is reported rather than truncated.
CreateResult create_exclusive(void* context, const char* name) {
    const int fd = _open(name, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd == -1) {
        return errno == EEXIST ? CreateResult::already_exists : CreateResult::failed;
    }
    std::FILE* out = _fdopen(fd, "wb");
    if (out == nullptr) {
        _close(fd);
        std::remove(name);
        return CreateResult::failed;
    }
    state_of(context).out = out;
    return CreateResult::created;
}

int acquire_provider(void* context) {
    return CryptAcquireContextA(&state_of(context).provider, nullptr, nullptr, PROV_RSA_FULL,
                                CRYPT_VERIFYCONTEXT);
}

int generate_random(void* context, std::uint8_t* buffer, std::uint32_t length) {
    return CryptGenRandom(state_of(context).provider, length, buffer);
}

void release_provider(void* context) {
    CryptReleaseContext(state_of(context).provider, 0);
}

bool put_byte(void* context, std::uint8_t byte) {
    return std::putc(byte, state_of(context).out) != EOF;
}

bool close_file(void* context) {
    Win32SecretState& state = state_of(context);
    const bool closed = std::fclose(state.out) == 0;
    state.out = nullptr;
    return closed;
}

void remove_file(void*, const char* name) {
    std::remove(name);
}

void put_line(void*, const char* text) {
    std::puts(text);
}

void print(void*, const char* text) {
    std::printf("%s", text);
}

}  // namespace

SecretOps win32_secret_ops(Win32SecretState& state) {
    return SecretOps{
        .context = &state,
        .opens_for_reading = opens_for_reading,
        .create_exclusive = create_exclusive,
        .acquire_provider = acquire_provider,
        .generate_random = generate_random,
        .release_provider = release_provider,
        .put_byte = put_byte,
        .close_file = close_file,
        .remove_file = remove_file,
        .put_line = put_line,
        .print = print,
    };
}
