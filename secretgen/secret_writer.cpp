// The secret generator's one pass over its checks, in the order users rely on: an existing
// secret wins over everything, then creation, then the random source.
#include "secretgen/secret_writer.h"

namespace {

// A file that is closed before it is removed: Windows will not delete one that is still open.
void discard_temporary(const SecretOps& ops) {
    ops.close_file(ops.context);
    ops.remove_temporary(ops.context);
}

int fail(const SecretOps& ops, const char* message, int exit_code) {
    ops.put_line(ops.context, message);
    return exit_code;
}

// Writes every byte, flushes them to the disk and closes the file, whatever fails on the way;
// true when nothing did.
bool write_flush_and_close(const SecretOps& ops, const std::uint8_t* secret) {
    bool written = true;
    for (std::size_t i = 0; i < kSecretSize && written; ++i) {
        written = ops.put_byte(ops.context, secret[i]);
    }
    const bool flushed = written && ops.flush_file(ops.context);
    const bool closed = ops.close_file(ops.context);
    return flushed && closed;
}

}  // namespace

int write_secret(const SecretOps& ops) {
    if (ops.opens_for_reading(ops.context, kSecretFileName)) {
        return fail(ops, kAlreadyExistsMessage, kExitAlreadyExists);
    }
    if (!ops.create_temporary(ops.context)) {
        ops.print(ops.context, kOpenFailedMessage);
        return kExitOpenFailed;
    }

    if (ops.acquire_provider(ops.context) != kCryptSuccess) {
        discard_temporary(ops);
        return fail(ops, kAcquireFailedMessage, kExitAcquireFailed);
    }
    std::uint8_t secret[kSecretSize];
    const int generated = ops.generate_random(ops.context, secret, kSecretSize);
    // Released before anything is written, and also when generation failed.
    ops.release_provider(ops.context);
    if (generated != kCryptSuccess) {
        discard_temporary(ops);
        return fail(ops, kGenerateFailedMessage, kExitGenerateFailed);
    }

    if (!write_flush_and_close(ops, secret)) {
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
    return placed == MoveResult::target_exists
               ? fail(ops, kAlreadyExistsMessage, kExitAlreadyExists)
               : fail(ops, kWriteFailedMessage, kExitWriteFailed);
}
