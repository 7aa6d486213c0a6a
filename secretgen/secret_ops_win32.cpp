// The secret generator's real platform calls, one small function per SecretOps entry.
#include "secretgen/secret_ops_win32.h"

#include <cstdint>

#include <fcntl.h>
#include <io.h>

namespace {

// Names tried for the temporary file before giving up; only files left by killed runs, and runs
// at the same moment, whose numbers this run happens to reuse stand in the way.
constexpr unsigned kTemporaryNameAttempts = 100;

// Read, write and delete: all the owner needs to use the secret and to get rid of it.
constexpr DWORD kOwnerAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;

Win32SecretState& state_of(void* context) {
    return *static_cast<Win32SecretState*>(context);
}

struct TokenHandle {
    HANDLE handle = nullptr;
    ~TokenHandle() {
        if (handle != nullptr) {
            ::CloseHandle(handle);
        }
    }
};

// A security descriptor whose one entry lets the running user in and no one else, and which
// takes nothing from the directory's inheritable entries. The descriptor points into the
// buffers beside it, so it is filled where it lives and never copied.
struct OwnerOnlySecurity {
    alignas(8) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    alignas(8) unsigned char acl[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
};

bool make_owner_only(OwnerOnlySecurity& security) {
    TokenHandle token;
    DWORD length = 0;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token.handle) ||
        !::GetTokenInformation(token.handle, TokenUser, security.user, sizeof security.user,
                               &length)) {
        return false;
    }
    PSID user = reinterpret_cast<TOKEN_USER*>(security.user)->User.Sid;
    auto* acl = reinterpret_cast<ACL*>(security.acl);
    if (!::InitializeAcl(acl, sizeof security.acl, ACL_REVISION) ||
        !::AddAccessAllowedAce(acl, ACL_REVISION, kOwnerAccess, user) ||
        !::InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&security.descriptor, TRUE, acl, FALSE) ||
        !::SetSecurityDescriptorControl(&security.descriptor, SE_DACL_PROTECTED,
                                        SE_DACL_PROTECTED)) {
        return false;
    }
    security.attributes = SECURITY_ATTRIBUTES{
        .nLength = sizeof(SECURITY_ATTRIBUTES),
        .lpSecurityDescriptor = &security.descriptor,
        .bInheritHandle = FALSE,
    };
    return true;
}

// The attributes need no access to the file itself. A name the system finds but will not
// describe (a file this user may not even look at, one pending deletion) is there all the same;
// any other failure, such as a network folder gone, is left to the steps that follow to report,
// and the move still replaces nothing.
bool exists(void*, const char* name) {
    if (::GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

// Opens a new file under the first free name counted from this process's number, so a leftover
// of a killed run, or another run's file, is neither touched nor in the way.
HANDLE create_new_file(Win32SecretState& state, SECURITY_ATTRIBUTES& attributes) {
    // Process numbers go in steps of four; the bits below carry nothing.
    const unsigned first = static_cast<unsigned>(::GetCurrentProcessId() / 4);
    for (unsigned attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        std::snprintf(state.temporary_name, sizeof state.temporary_name, kTemporaryNameFormat,
                      (first + attempt) % kTemporaryNameNumbers);
        const HANDLE file = ::CreateFileA(state.temporary_name, GENERIC_WRITE,
                                          0,  // no sharing while the secret is written
                                          &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                          nullptr);  // template file
        const DWORD error = ::GetLastError();
        if (file != INVALID_HANDLE_VALUE ||
            (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)) {
            return file;
        }
    }
    return INVALID_HANDLE_VALUE;
}

bool create_temporary(void* context) {
    Win32SecretState& state = state_of(context);
    OwnerOnlySecurity security;
    if (!make_owner_only(security)) {
        return false;
    }
    const HANDLE file = create_new_file(state, security.attributes);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    // The stream takes over the descriptor, and the descriptor the handle.
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd == -1) {
        ::CloseHandle(file);
        ::DeleteFileA(state.temporary_name);
        return false;
    }
    std::FILE* out = _fdopen(fd, "wb");
    if (out == nullptr) {
        _close(fd);
        ::DeleteFileA(state.temporary_name);
        return false;
    }
    // The stream's copy of the secret in a buffer of this run's own, which the close wipes,
    // rather than in one the runtime would free with the bytes still in it.
    if (std::setvbuf(out, state.stream_buffer, _IOFBF, sizeof state.stream_buffer) != 0) {
        std::fclose(out);
        ::DeleteFileA(state.temporary_name);
        return false;
    }
    state.out = out;
    return true;
}

int acquire_provider(void* context) {
    return ::CryptAcquireContextA(&state_of(context).provider, nullptr, nullptr, PROV_RSA_FULL,
                                  CRYPT_VERIFYCONTEXT);
}

int generate_random(void* context, std::uint8_t* buffer, std::uint32_t length) {
    return ::CryptGenRandom(state_of(context).provider, length, buffer);
}

void release_provider(void* context) {
    ::CryptReleaseContext(state_of(context).provider, 0);
}

bool put_byte(void* context, std::uint8_t byte) {
    return std::putc(byte, state_of(context).out) != EOF;
}

// The stream's buffer into the system, then the system's cache onto the disk.
bool flush_file(void* context) {
    std::FILE* out = state_of(context).out;
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    return std::fflush(out) == 0 && ::FlushFileBuffers(file);
}

bool close_file(void* context) {
    Win32SecretState& state = state_of(context);
    const bool closed = std::fclose(state.out) == 0;
    state.out = nullptr;
    ::SecureZeroMemory(state.stream_buffer, sizeof state.stream_buffer);
    return closed;
}

// Without MOVEFILE_REPLACE_EXISTING the rename fails when the name is taken, atomically; the
// write-through makes the new name itself part of what is on the disk when this returns.
MoveResult move_into_place(void* context, const char* name) {
    if (::MoveFileExA(state_of(context).temporary_name, name, MOVEFILE_WRITE_THROUGH)) {
        return MoveResult::moved;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? MoveResult::target_exists
                                                                       : MoveResult::failed;
}

void remove_temporary(void* context) {
    ::DeleteFileA(state_of(context).temporary_name);
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
        .exists = exists,
        .create_temporary = create_temporary,
        .acquire_provider = acquire_provider,
        .generate_random = generate_random,
        .release_provider = release_provider,
        .put_byte = put_byte,
        .flush_file = flush_file,
        .close_file = close_file,
        .move_into_place = move_into_place,
        .remove_temporary = remove_temporary,
        .put_line = put_line,
        .print = print,
    };
}
