// The secret generator's real platform: the CryptoAPI random source, the security and file
// calls behind the private temporary file, and the C runtime's streams and console output,
// behind the SecretOps seam.
#pragma once

#include "secretgen/secret_writer.h"

#include <cstdio>

#include <windows.h>
// After windows.h, whose types it uses.
#include <wincrypt.h>

// What one run holds between the calls: the temporary file's name and stream, and the
// provider handle.
struct Win32SecretState {
    char temporary_name[MAX_PATH] = {};
    std::FILE* out = nullptr;
    HCRYPTPROV provider = 0;
};

SecretOps win32_secret_ops(Win32SecretState& state);
