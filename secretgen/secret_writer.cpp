// The secret generator's one pass over its checks, in the order users rely on: an existing
// secret wins over everything, then creation, then the random source.
#include "secretgen/secret_writer.h"

namespace {

// A file that is closed before it is removed: Windows will not delete one that is still open.
void discard_temporary(const SecretOps& ops) {
    ops.close_file(ops.context);
    ops.remove_temporary(ops.context);
}

int already_exists(const SecretOps& ops) {
    ops.put_line(ops.context, kAlreadyExistsMessage);
    return kExitAlreadyExists;
}

// Looks for the secret once more first: one that another run made since the first look wins
// over whatever failed here meanwhile, so "already exists" is the answer in every order.
int fail(const SecretOps& ops, const char* message, int exit_code) {
    if (ops.exists(ops.context, kSecretFileName)) {
        return already_exists(ops);
    }
    // The open failure's message alone goes without a line break, as users have always seen it.
    if (exit_code == kExitOpenFailed) {
        ops.print(ops.context, message);
    } else {
        ops.put_line(ops.context, message);
    }
    return exit_code;
}

// Hands every byte to the file's stream, stopping at the first that fails; true when none did.
bool put_bytes(const SecretOps& ops, const std::uint8_t* secret) {
    for (std::size_t i = 0; i < kSecretSize; ++i) {
        if (!ops.put_byte(ops.context, secret[i])) {
            return false;
        }
    }
    return true;
}

// Flushes what was written to the disk and closes the file, whatever fails on the way; true
// when the bytes were all written and nothing failed.
bool flush_and_close(const SecretOps& ops, bool written) {
    const bool flushed = written && ops.flush_file(ops.context);
    const bool closed = ops.close_file(ops.context);
    return flushed && closed;
}

// Stores through a volatile pointer: the buffer is never read again, so the compiler would
// otherwise be free to drop plain stores to it.
void wipe(std::uint8_t* bytes, std::size_t size) {
    volatile std::uint8_t* target = bytes;
    for (std::size_t i = 0; i < size; ++i) {
        target[i] = 0;
    }
}

}  // namespace

int write_secret(const SecretOps& ops) {
    if (ops.exists(ops.context, kSecretFileName)) {
        return already_exists(ops);
    }
    if (!ops.create_temporary(ops.context)) {
        return fail(ops, kOpenFailedMessage, kExitOpenFailed);
    }

    if (ops.acquire_provider(ops.context) != kCryptSuccess) {
        discard_temporary(ops);
        return fail(ops, kAcquireFailedMessage, kExitAcquireFailed);
    }
    std::uint8_t secret[kSecretSize] = {};
    const bool generated = ops.generate_random(ops.context, secret, kSecretSize) == kCryptSuccess;
    // Released before anything is written, and also when generation failed.
    ops.release_provider(ops.context);
    const bool written = generated && put_bytes(ops, secret);
    // Every path passes here: once the stream holds the bytes, or whatever a failed generation
    // left in the buffer, this copy has nothing more to do.
    wipe(secret, sizeof secret);
    if (!generated) {
        discard_temporary(ops);
        return fail(ops, kGenerateFailedMessage, kExitGenerateFailed);
    }

    if (!flush_and_close(ops, written)) {
        // Closed already: a short or unflushed secret must not be left for anyone to use.
        ops.remove_temporary(ops.context);
        return fail(ops, kWriteFailedMessage, kExitWriteFailed);
    }
    // Only now does "secret.txt" appear, complete; one that appeared meanwhile is kept.
    const MoveResult placed = ops.move_into_place(ops.context, kSecretFileName);
    if (placed == MoveResult::moved) {
        return kExitWritten;
    }
    ops.remove_temporary(ops.context);
    return placed == MoveResult::target_exists ? already_exists(ops)
                                               : fail(ops, kWriteFailedMessage, kExitWriteFailed);
}
