// The inputs of the scaling figures, and the timing of repeated calls.

#include "workloads.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <unistd.h>

namespace figures {

std::string netplan_with_interfaces(int interfaces) {
    std::string doc = "network:\n  version: 2\n  renderer: networkd\n  ethernets:\n"
                      "    eth0:\n      dhcp4: false\n      addresses:\n        - 192.0.2.10/24\n"
                      "      routes:\n        - to: default\n          via: 192.0.2.1\n"
                      "      nameservers:\n        addresses:\n          - 1.1.1.1\n";
    char buf[512];
    for (int i = 1; i < interfaces; ++i) {
        int a = i / 250, b = i % 250;
        snprintf(buf, sizeof(buf),
                 "    eth%d:\n      dhcp4: false\n      addresses:\n        - 10.%d.%d.2/24\n"
                 "      routes:\n        - to: 172.16.%d.0/24\n          via: 10.%d.%d.1\n"
                 "      nameservers:\n        search: [site%d.example]\n"
                 "        addresses:\n          - 10.%d.%d.53\n",
                 i, a, b, b, a, b, i, a, b);
        doc += buf;
    }
    return doc;
}

std::string key_value_file(size_t bytes) {
    std::string text;
    text.reserve(bytes + 64);
    char line[64];
    for (int i = 0; text.size() + 40 < bytes; ++i) {
        snprintf(line, sizeof(line), "key_%06d=value_%06d\n", i, i);
        text += line;
    }
    return text + "target=initial\n";
}

double seconds_per_call(const std::function<bool()>& call, double min_seconds, int min_calls) {
    auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    int calls = 0;
    while (calls < min_calls || elapsed < min_seconds) {
        if (!call()) {
            return -1;
        }
        ++calls;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return elapsed / calls;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/pec-figures.XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
        path_ = pattern;
    }
}

TempDir::~TempDir() {
    if (ok()) {
        nftw(
            path_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); },
            8, FTW_DEPTH | FTW_PHYS);
    }
}

} // namespace figures
