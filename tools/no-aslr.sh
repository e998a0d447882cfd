#!/bin/sh
# Runs the given command with address-space randomisation off when the system
# allows it (setarch -R), else as it is. The sanitizer runtimes of GCC 12 and
# Clang 14 cannot map their shadow memory on kernels with vm.mmap_rnd_bits > 28.
if setarch "$(uname -m)" -R true >/dev/null 2>&1; then
    exec setarch "$(uname -m)" -R "$@"
fi
exec "$@"
