// Usage text, the orderly exit and text utilities.
#include "tool.h"

#include <cstdio>
#include <cstdlib>

#include "daemon.h"
#include "logging.h"
#include "sdnotify.h"
#include "sighandler.h"

void showHelp() {
    printf("Usage: daemon [options] [config file]\n");
    printf("Options:\n");
    printf("   -d               Become a daemon\n");
    printf("   -h               Show this help\n");
    printf("Configuration is read from %s\n", "sensomarkUSB.conf");
    printf("or the given config file.\n");
    fflush(stdout);
}

void shutdown(int exitCode) {
    requestShutdown();
    notifySend("STOPPING=1");
    logEvent(LOG_CRITICAL, "ending daemon");
    logShutdown();
    reportStartup(exitCode);
    exit(exitCode);
}

void stringTokenize(const std::string& str, std::vector<std::string>& tokens,
                    const std::string& delimiters) {
    std::string::size_type lastPos = str.find_first_not_of(delimiters, 0);
    std::string::size_type pos = str.find_first_of(delimiters, lastPos);
    while (pos != std::string::npos || lastPos != std::string::npos) {
        tokens.push_back(str.substr(lastPos, pos - lastPos));
        lastPos = str.find_first_not_of(delimiters, pos);
        pos = str.find_first_of(delimiters, lastPos);
    }
}

std::string itoa(int i) {
    char buffer[16];
    snprintf(buffer, sizeof(buffer), "%d", i);
    return buffer;
}
