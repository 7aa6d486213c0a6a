// secretgen.exe: writes 64 random bytes to "secret.txt" in the working directory, once.
// Arguments are ignored; the outcome is one line on standard output and the exit code.
#include "secretgen/secret_ops_win32.h"

int main() {
    Win32SecretState state;
    return write_secret(win32_secret_ops(state));
}
