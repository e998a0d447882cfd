#!/bin/sh
# Checks the build dependencies (g++, cmake, make, GoogleTest) and installs the
# missing ones with apt-get when run as root; otherwise says what to install.
missing=""
command -v g++ >/dev/null 2>&1 || missing="$missing g++"
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
# MQTT publishing: the client library and the JSON header of the discovery messages.
[ -f /usr/include/mosquitto.h ] || missing="$missing libmosquitto-dev"
[ -f /usr/include/nlohmann/json.hpp ] || missing="$missing nlohmann-json3-dev"

# Tools of `make package` (dpkg-shlibdeps computes the Depends field) and of
# the man page check, installed when root. Without them the package lists its
# Depends by hand and the packaging test skips what they check.
optional=""
command -v dpkg-shlibdeps >/dev/null 2>&1 || optional="$optional dpkg-dev"
command -v groff >/dev/null 2>&1 || optional="$optional groff-base"
# The broker and clients the MQTT tests run (they skip without them).
command -v mosquitto >/dev/null 2>&1 || [ -x /usr/sbin/mosquitto ] || optional="$optional mosquitto"
command -v mosquitto_sub >/dev/null 2>&1 || optional="$optional mosquitto-clients"
if [ -n "$optional" ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing packaging tools:$optional"
    DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
            $optional >/dev/null ||
        echo "apt-get could not install:$optional (their checks are skipped)" >&2
fi

[ -n "$missing" ] || exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing build dependencies:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null && apt-get install -y -q $missing >/dev/null || {
        echo "apt-get could not install:$missing" >&2
        exit 1
    }
    exit 0
fi
echo "missing build dependencies; install them with:" >&2
echo "    sudo apt-get install$missing" >&2
exit 1
