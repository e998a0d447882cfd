#!/bin/sh
# Checks that clang++ can build libFuzzer targets and installs Debian's clang
# and libclang-rt-14-dev with apt-get when it cannot and we are root;
# otherwise says what to install.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
can_fuzz() {
    command -v clang++ >/dev/null 2>&1 || return 1
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
        >"$probe_dir/probe.cpp"
    clang++ -fsanitize=fuzzer,address,undefined "$probe_dir/probe.cpp" -o "$probe_dir/probe" \
        >/dev/null 2>&1
}
can_fuzz && exit 0

packages="clang libclang-rt-14-dev"
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing fuzzing tools: $packages"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends $packages \
        >/dev/null || {
        echo "apt-get could not install: $packages" >&2
        exit 1
    }
    can_fuzz && exit 0
    echo "clang++ still cannot build a libFuzzer target" >&2
    exit 1
fi
echo "libFuzzer is not available; install it with:" >&2
echo "    sudo apt-get install $packages" >&2
exit 1
