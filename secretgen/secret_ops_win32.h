// The secret generator's real platform: the CryptoAPI random source, the security and file
// calls behind the private temporary file, and the C runtime's streams and console output,
// behind the SecretOps seam.
#pragma once

#include "secretgen/secret_writer.h"

#include <cstdio>
#include <string_view>

#include <windows.h>
// After windows.h, whose types it uses.
#include <wincrypt.h>

// The temporary file's name, "sg" and four hexadecimal digits and ".tmp": no longer than the
// secret's own, so that wherever "secret.txt" fits within the path limit, so does this one.
inline constexpr const char* kTemporaryNameFormat = "sg%04x.tmp";
inline constexpr unsigned kTemporaryNameNumbers = 0x10000;
// The format is as long as the names it makes: "%04x" stands for its four digits.
static_assert(std::string_view(kTemporaryNameFormat).size() <=
              std::string_view(kSecretFileName).size());

// What one run holds between the calls: the temporary file's name and stream, the stream's
// buffer, which the file's close wipes, and the provider handle.
struct Win32SecretState {
    char temporary_name[MAX_PATH] = {};
    std::FILE* out = nullptr;
    char stream_buffer[kSecretSize] = {};
    HCRYPTPROV provider = 0;
};

SecretOps win32_secret_ops(Win32SecretState& state);
