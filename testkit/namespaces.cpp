// Private namespaces for a test.
#include "testkit/namespaces.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>

std::string enter_Private_Namespaces(int namespaces) {
    if (unshare(namespaces | CLONE_NEWNS) != 0)
        return std::string("unshare failed: ") + strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("making / private failed: ") + strerror(errno);
    return "";
}

std::string mount_Empty_Dirs(const std::vector<std::string>& dirs,
                             std::vector<std::string>* mounted) {
    for (const std::string& dir : dirs) {
        if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") != 0)
            return "mounting a tmpfs on " + dir + " failed: " + strerror(errno);
        if (mounted != nullptr)
            mounted->push_back(dir);
    }
    return "";
}
